// imgcover --serve as the tests run it: the program started on a free port with its output in
// files, the address it prints, a plain HTTP exchange over a socket of the test's own (to send
// exactly the bytes an attacker would), and a few things to watch it by. Everything waits with
// a deadline.
#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <string>
#include <thread>

#include "workdir.hpp"

namespace served {

using Clock = std::chrono::steady_clock;

inline Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Polls `ready` every 20 ms until it holds or `seconds` pass.
inline bool eventually(const std::function<bool()>& ready, double seconds = 30) {
    for (const auto until = after(seconds); !ready();) {
        if (Clock::now() > until)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

// A connection to 127.0.0.1:port; -1 when it cannot be made. `receive_buffer` > 0 makes the
// socket's receive buffer that small, for a client that reads nothing.
inline int connect_to(int port, int receive_buffer = 0) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    if (fd < 0)
        return -1;
    if (receive_buffer > 0)
        ::setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receive_buffer, sizeof receive_buffer);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends all of `bytes` (false when the peer stopped taking them).
inline bool send_all(int fd, const std::string& bytes) {
    for (size_t done = 0; done < bytes.size();) {
        const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Reads until the peer closes, `deadline` seconds pass, or `enough` holds of what came.
inline std::string receive(int fd, double deadline,
                           const std::function<bool(const std::string&)>& enough = nullptr) {
    std::string got;
    for (const auto until = after(deadline); !(enough && enough(got));) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0)
            break;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char buf[1 << 16];
        const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

// An HTTP answer, split: its status, headers (names in lower case) and body (de-chunked
// when it came in chunks).
struct Answer {
    int status = 0; // 0: no answer
    std::multimap<std::string, std::string> headers;
    std::string body;
    std::string header(const std::string& name) const {
        const auto it = headers.find(name);
        return it == headers.end() ? std::string() : it->second;
    }
};

inline Answer parse_answer(const std::string& raw) {
    Answer a;
    const size_t end = raw.find("\r\n\r\n");
    if (raw.rfind("HTTP/1.", 0) != 0 || end == std::string::npos)
        return a;
    a.status = std::atoi(raw.c_str() + 9);
    size_t at = raw.find("\r\n") + 2;
    while (at < end) {
        const size_t eol = raw.find("\r\n", at);
        const std::string line = raw.substr(at, eol - at);
        const size_t colon = line.find(':');
        if (colon != std::string::npos) {
            std::string name = line.substr(0, colon);
            for (char& c : name)
                c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
            a.headers.emplace(name, line.substr(line.find_first_not_of(' ', colon + 1)));
        }
        at = eol + 2;
    }
    std::string body = raw.substr(end + 4);
    if (a.header("transfer-encoding") == "chunked") {
        std::string plain;
        for (size_t p = 0; p < body.size();) {
            const size_t eol = body.find("\r\n", p);
            if (eol == std::string::npos)
                break;
            const size_t n = std::strtoul(body.c_str() + p, nullptr, 16);
            if (n == 0)
                break;
            plain += body.substr(eol + 2, n);
            p = eol + 2 + n + 2;
        }
        body = plain;
    }
    a.body = body;
    return a;
}

// True once `raw` holds a whole answer: its head, and its body as long as Content-Length says or
// up to the last chunk.
inline bool whole_answer(const std::string& raw) {
    const size_t end = raw.find("\r\n\r\n");
    if (end == std::string::npos)
        return false;
    const Answer head = parse_answer(raw.substr(0, end + 4));
    if (head.header("transfer-encoding") == "chunked")
        return raw.size() >= end + 9 && raw.compare(raw.size() - 5, 5, "0\r\n\r\n") == 0;
    const std::string length = head.header("content-length");
    return !length.empty() && raw.size() - end - 4 >= std::strtoull(length.c_str(), nullptr, 10);
}

// Sends `request` as it is and reads the answer: until it is whole, the server closes the
// connection, or `deadline` seconds pass.
inline Answer ask(int port, const std::string& request, double deadline = 20) {
    const int fd = connect_to(port);
    if (fd < 0)
        return {};
    send_all(fd, request);
    const bool head = request.rfind("HEAD ", 0) == 0;
    const std::string raw = receive(fd, deadline, [head](const std::string& got) {
        return head ? got.find("\r\n\r\n") != std::string::npos : whole_answer(got);
    });
    ::close(fd);
    return parse_answer(raw);
}

// GET `path` with the Host header `host`, closing the connection after the answer.
inline Answer get(int port, const std::string& path, const std::string& host = "") {
    const std::string h = host.empty() ? "127.0.0.1:" + std::to_string(port) : host;
    return ask(port, "GET " + path + " HTTP/1.1\r\nHost: " + h + "\r\nConnection: close\r\n\r\n");
}

// Resident memory of process `pid` in KiB (0 when it is gone).
inline long resident_kib(int pid) {
    const std::string status = e2e::read_file("/proc/" + std::to_string(pid) + "/status");
    const size_t at = status.find("VmRSS:");
    return at == std::string::npos ? 0 : std::atol(status.c_str() + at + 6);
}

// Every file under `dir` with its bytes, by its path inside `dir`.
inline std::map<std::string, std::string> folder(const std::string& dir) {
    std::map<std::string, std::string> files;
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string name = std::filesystem::relative(e.path(), dir).string();
        files[name] = e.is_regular_file() ? e2e::read_file(e.path().string()) : "(not a file)";
    }
    return files;
}

// `imgcover --serve 0 ARGS DIR` running, with its output in `scratch`.
class Server {
  public:
    Server(const std::string& scratch, const std::string& args, const std::string& dir)
        : scratch_(scratch) {
        const std::string command = "echo $$ >serve.pid; exec " + e2e::kImgcover + " " + args +
                                    " " + e2e::quoted(dir) + " >serve.out 2>serve.err";
        runner_ = std::thread([this, command] { ran_ = e2e::sh(scratch_, command, 600); });
        eventually([&] {
            const std::string out = e2e::read_file(scratch_ + "/serve.out");
            const size_t eol = out.find('\n');
            if (eol == std::string::npos)
                return !running_check();
            url = out.substr(0, eol);
            return true;
        });
        pid = std::atoi(e2e::read_file(scratch_ + "/serve.pid").c_str());
        const size_t colon = url.rfind(':');
        if (colon != std::string::npos)
            port = std::atoi(url.c_str() + colon + 1);
    }
    ~Server() { stop(); }
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    std::string url; // the first line printed
    int port = 0;
    int pid = 0;

    // Ends the server as Ctrl-C does and waits for it: its exit status, output and errors.
    e2e::Ran stop() {
        if (runner_.joinable()) {
            if (pid > 0)
                ::kill(pid, SIGINT);
            runner_.join();
            ran_.out = e2e::read_file(scratch_ + "/serve.out");
            ran_.err = e2e::read_file(scratch_ + "/serve.err");
        }
        return ran_;
    }

  private:
    std::string scratch_;
    std::thread runner_;
    e2e::Ran ran_{};

    bool running_check() const {
        // Still starting while the runner has not returned.
        return e2e::read_file(scratch_ + "/serve.err").empty();
    }
};

} // namespace served
