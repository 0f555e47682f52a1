// imgcover --serve over HTTP: the address it takes, what a client is sent after each look, the
// fixed read-only routes and their headers, and the attacks a served page must shrug off: a
// wrong Host, paths that climb out, writing methods, a huge header, hundreds of idle
// connections, a client that reads nothing. Every attack leaves the folder as it was.
#include <gtest/gtest.h>

#include <cerrno>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.hpp"
#include "page_state.hpp"
#include "serve.hpp"
#include "served.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using served::eventually;

namespace {

// A finished run to serve: the bundled example.
std::string example_run(const e2e::Workdir& w) {
    const std::string dir = w.path() + "/run";
    fs::copy(IMGREBUILD_TEST_DATA "/../../examples/basic", dir, fs::copy_options::recursive);
    return dir;
}

} // namespace

TEST(ListenAddress, ReadsAddressAndPortOrSaysWhatIsWrong) {
    const struct {
        const char* text;
        bool ok;
        const char* host;
        int port;
    } cases[] = {
        {"8080", true, "127.0.0.1", 8080},
        {"0", true, "127.0.0.1", 0},
        {"127.0.0.2:65535", true, "127.0.0.2", 65535},
        {"localhost:80", true, "localhost", 80},
        {"[::1]:8080", true, "::1", 8080},
        {"0.0.0.0:1", true, "0.0.0.0", 1},
        {"65536", false, "", 0},
        {"-1", false, "", 0},
        {"80x", false, "", 0},
        {"", false, "", 0},
        {":80", false, "", 0},
        {"::1:8080", false, "", 0},
        {"[::1]8080", false, "", 0},
        {"[nonsense]:80", false, "", 0},
        {"a/b:80", false, "", 0},
    };
    for (const auto& c : cases) {
        std::string host, error;
        int port = -1;
        EXPECT_EQ(imgcover::parse_listen_address(c.text, host, port, error), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(host, c.host) << c.text;
            EXPECT_EQ(port, c.port) << c.text;
        } else {
            EXPECT_NE(error.find("--serve"), std::string::npos) << c.text;
        }
    }
    for (const char* h : {"127.0.0.1", "127.9.9.9", "localhost", "LocalHost", "::1"})
        EXPECT_TRUE(imgcover::is_loopback(h)) << h;
    for (const char* h : {"0.0.0.0", "::", "10.0.0.1", "example.org", "128.0.0.1", "127.0.0"})
        EXPECT_FALSE(imgcover::is_loopback(h)) << h;
}

// A client is sent what changed since the version it has: everything at first, then only the
// rows that changed; one that fell behind gets the latest state in one go.
TEST(PageState, SendsOnlyWhatChangedAndNeverABacklog) {
    e2e::Workdir w;
    const std::string dir = example_run(w);
    imgcover::Analysis a;
    a.dir = dir;
    std::string error;
    ASSERT_TRUE(imgcover::analyse(a, error)) << error;
    ASSERT_GE(a.captures.size(), 2u);
    imgcover::PageState state;
    const imgcover::Header h = imgcover::make_header(a, {});
    state.update(a, h, true, true, {}, -1, false);
    const uint64_t v1 = state.version();
    const nlohmann::json all = nlohmann::json::parse(state.changes_since(0));
    EXPECT_EQ(all["v"], v1);
    EXPECT_EQ(all["count"], a.captures.size());
    EXPECT_EQ(all["rows"].size(), a.captures.size());
    EXPECT_EQ(all["header"]["covered"], a.covered_bytes);
    EXPECT_FALSE(all["report"].get<std::string>().empty());

    // The same look again changes nothing.
    state.update(a, h, true, false, {}, -1, false);
    EXPECT_EQ(state.version(), v1);
    EXPECT_EQ(nlohmann::json::parse(state.changes_since(v1)).size(), 1u); // only "v"

    // The second capture becomes the one received: its row and the header change, not the
    // first row.
    state.update(a, h, true, false, {}, 1, true);
    const uint64_t v2 = state.version();
    EXPECT_GT(v2, v1);
    const nlohmann::json d2 = nlohmann::json::parse(state.changes_since(v1));
    ASSERT_TRUE(d2.contains("rows"));
    EXPECT_EQ(d2["rows"].size(), 1u);
    EXPECT_TRUE(d2["rows"]["1"]["receiving"].get<bool>());
    EXPECT_EQ(d2["header"]["receiving"], 1);
    EXPECT_FALSE(d2.contains("count"));

    // Then the first: a client still at v1 gets both rows once, as they are now.
    state.update(a, h, true, false, {}, 0, true);
    const nlohmann::json behind = nlohmann::json::parse(state.changes_since(v1));
    EXPECT_EQ(behind["v"], state.version());
    EXPECT_TRUE(behind["rows"]["0"]["receiving"].get<bool>());
    EXPECT_FALSE(behind["rows"]["1"]["receiving"].get<bool>());

    // No analysis (file_info.txt gone): no rows, the count says so.
    imgcover::Header waiting = h;
    waiting.problem = "cannot open file_info.txt";
    state.update(imgcover::Analysis{}, waiting, false, true, {}, -1, false);
    const nlohmann::json gone = nlohmann::json::parse(state.changes_since(v2));
    EXPECT_EQ(gone["count"], 0);
    EXPECT_EQ(gone["header"]["problem"], "cannot open file_info.txt");
    EXPECT_FALSE(gone["header"]["analysed"].get<bool>());
}

// The fixed routes, each with the headers that keep a page safe, and every request that is
// not one of them refused: the folder is the same afterwards, and no answer holds its bytes.
TEST(Serve, FixedReadOnlyRoutesAndAttacksRefused) {
    e2e::Workdir w;
    const std::string dir = example_run(w);
    const auto before = served::folder(dir);
    const std::string info = e2e::read_file(dir + "/file_info.txt");
    served::Server s(w.path(), "--serve 0 --interval 0.2", dir);
    ASSERT_GT(s.port, 0) << e2e::read_file(w.path() + "/serve.err");
    EXPECT_EQ(s.url, "http://127.0.0.1:" + std::to_string(s.port) + "/");
    ASSERT_TRUE(eventually([&] { return served::get(s.port, "/plan.txt").status == 200; }))
        << "no analysis served";

    const served::Answer page = served::get(s.port, "/");
    EXPECT_EQ(page.status, 200);
    EXPECT_EQ(page.header("content-type"), "text/html; charset=utf-8");
    const std::string csp = page.header("content-security-policy");
    EXPECT_NE(csp.find("default-src 'none'"), std::string::npos);
    EXPECT_NE(csp.find("script-src 'self'"), std::string::npos);
    EXPECT_NE(csp.find("style-src 'self'"), std::string::npos);
    EXPECT_EQ(csp.find("unsafe"), std::string::npos);
    EXPECT_EQ(page.header("x-content-type-options"), "nosniff");
    EXPECT_EQ(page.header("access-control-allow-origin"), "");
    for (const char* path :
         {"/app.js", "/style.css", "/state.json", "/plan.txt", "/next-info.txt", "/report.txt"}) {
        const served::Answer a = served::get(s.port, path);
        EXPECT_EQ(a.status, 200) << path;
        EXPECT_FALSE(a.body.empty()) << path;
        EXPECT_EQ(a.header("access-control-allow-origin"), "") << path;
        EXPECT_NE(a.header("content-security-policy"), "") << path;
    }
    const std::string host = "Host: 127.0.0.1:" + std::to_string(s.port) + "\r\n";
    const struct {
        const char* what;
        std::string request;
        int status; // 0: any refusal (no answer, or 4xx)
    } attacks[] = {
        {"a wrong Host (DNS rebinding)",
         "GET / HTTP/1.1\r\nHost: attacker.example:" + std::to_string(s.port) +
             "\r\nConnection: close\r\n\r\n",
         421},
        {"a Host naming another machine's address",
         "GET /state.json HTTP/1.1\r\nHost: 10.1.2.3\r\nConnection: close\r\n\r\n", 421},
        {"no Host", "GET / HTTP/1.1\r\nConnection: close\r\n\r\n", 421},
        {"a rebinding name on /events",
         "GET /events HTTP/1.1\r\nHost: localhost.attacker.example\r\n\r\n", 421},
        {"/../file_info.txt", "GET /../file_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"/..%2ffile_info.txt", "GET /..%2ffile_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"/%2e%2e/file_info.txt", "GET /%2e%2e/file_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"/%2E%2E%2Ffile_info.txt", "GET /%2E%2E%2Ffile_info.txt HTTP/1.1\r\n" + host + "\r\n",
         404},
        {"/file_info.txt", "GET /file_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"/..\\file_info.txt", "GET /..\\file_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"//file_info.txt", "GET //file_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"/%252e%252e/file_info.txt", "GET /%252e%252e/file_info.txt HTTP/1.1\r\n" + host + "\r\n",
         404},
        {"a full URL", "GET http://127.0.0.1/../file_info.txt HTTP/1.1\r\n" + host + "\r\n", 0},
        {"/plan.txt/..", "GET /plan.txt/.. HTTP/1.1\r\n" + host + "\r\n", 404},
        {"/map.png/../../file_info.txt",
         "GET /map.png/../../file_info.txt HTTP/1.1\r\n" + host + "\r\n", 404},
        {"POST", "POST /plan.txt HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nhello", 405},
        {"PUT", "PUT /file_info.txt HTTP/1.1\r\n" + host + "Content-Length: 5\r\n\r\nhello", 405},
        {"DELETE", "DELETE /file_info.txt HTTP/1.1\r\n" + host + "\r\n", 405},
        {"OPTIONS (no CORS)",
         "OPTIONS / HTTP/1.1\r\n" + host + "Origin: http://attacker.example\r\n\r\n", 405},
        {"PATCH", "PATCH / HTTP/1.1\r\n" + host + "Content-Length: 1\r\n\r\nx", 405},
    };
    for (const auto& attack : attacks) {
        const served::Answer a = served::ask(s.port, attack.request);
        if (attack.status != 0) {
            EXPECT_EQ(a.status, attack.status) << attack.what;
        } else {
            EXPECT_TRUE(a.status == 0 || (a.status >= 400 && a.status < 500))
                << attack.what << ": " << a.status;
        }
        EXPECT_EQ(a.body.find(info.substr(0, 40)), std::string::npos) << attack.what;
        EXPECT_EQ(a.header("access-control-allow-origin"), "") << attack.what;
        if (a.status == 405) {
            EXPECT_EQ(a.header("allow"), "GET, HEAD") << attack.what;
        }
    }
    // HEAD is a GET without the body.
    const served::Answer head =
        served::ask(s.port, "HEAD /app.js HTTP/1.1\r\n" + host + "Connection: close\r\n\r\n");
    EXPECT_EQ(head.status, 200);
    EXPECT_TRUE(head.body.empty());

    // A header of 1 MB: refused once the request passes its bound; the server's memory does
    // not grow by it, and it goes on answering.
    const long rss_before = served::resident_kib(s.pid);
    for (int k = 0; k < 4; ++k) {
        const served::Answer big = served::ask(
            s.port,
            "GET / HTTP/1.1\r\n" + host + "X-Big: " + std::string(1 << 20, 'a') + "\r\n\r\n", 10);
        EXPECT_TRUE(big.status == 0 || big.status == 400 || big.status == 431) << big.status;
        std::string lines;
        for (int i = 0; i < 16384; ++i)
            lines += "X-Line-" + std::to_string(i) + ": 0123456789012345678901234567890123456\r\n";
        const served::Answer many =
            served::ask(s.port, "GET / HTTP/1.1\r\n" + host + lines + "\r\n", 10);
        EXPECT_TRUE(many.status == 0 || many.status == 400 || many.status == 431) << many.status;
    }
    EXPECT_LT(served::resident_kib(s.pid) - rss_before, 4 * 1024);
    EXPECT_EQ(served::get(s.port, "/").status, 200);

    const e2e::Ran ran = s.stop();
    EXPECT_EQ(ran.status, 1) << ran.err; // the example misses bytes: as the one-shot says
    EXPECT_EQ(served::folder(dir), before);
}

// Hundreds of connections that send nothing, held open: the next client still gets the page
// and its updates, and the server's threads stay bounded.
TEST(Serve, IdleConnectionsHeldOpenDoNotShutOutTheNextClient) {
    e2e::Workdir w;
    const std::string dir = example_run(w);
    const auto before = served::folder(dir);
    served::Server s(w.path(), "--serve 0 --interval 0.2", dir);
    ASSERT_GT(s.port, 0);
    std::vector<int> idle;
    for (int k = 0; k < 500; ++k) {
        const int fd = served::connect_to(s.port);
        if (fd >= 0)
            idle.push_back(fd);
    }
    EXPECT_EQ(idle.size(), 500u);
    // The page at once: an idle connection makes room for it (without that, it would wait
    // for the first idle one to time out, 5 s).
    const auto start = served::Clock::now();
    EXPECT_EQ(served::get(s.port, "/").status, 200);
    EXPECT_LT(std::chrono::duration<double>(served::Clock::now() - start).count(), 2.0);
    for (const char* path : {"/app.js", "/style.css", "/state.json"})
        EXPECT_EQ(served::get(s.port, path).status, 200) << path;
    const int fd = served::connect_to(s.port);
    ASSERT_GE(fd, 0);
    served::send_all(fd, "GET /events HTTP/1.1\r\nHost: localhost:" + std::to_string(s.port) +
                             "\r\n\r\n");
    const std::string events = served::receive(fd, 10, [](const std::string& got) {
        return got.find("event: state") != std::string::npos;
    });
    ::close(fd);
    EXPECT_NE(events.find("event: state"), std::string::npos);
    EXPECT_LT(std::chrono::duration<double>(served::Clock::now() - start).count(), 10.0);
    // The threads the server runs stay bounded whatever the number of connections.
    const std::string status = e2e::read_file("/proc/" + std::to_string(s.pid) + "/status");
    const size_t at = status.find("Threads:");
    ASSERT_NE(at, std::string::npos);
    EXPECT_LE(std::atoi(status.c_str() + at + 8), 80);
    for (const int f : idle)
        ::close(f);
    s.stop();
    EXPECT_EQ(served::folder(dir), before);
}

// During a pass, a client that opens the updates and reads nothing for a minute: the looks keep
// their interval for another client, the server's memory stays flat, and the stalled
// connection is let go. The folder ends as framesim alone leaves it.
TEST(Serve, AClientThatReadsNothingHoldsNothingUp) {
    e2e::Workdir w;
    const std::string dir = w.path() + "/run", reference = w.path() + "/reference";
    const std::string sim = " --image-size 300000 --pages-per-file 8 --loss 0.03 --seed 5";
    ASSERT_EQ(e2e::sh(w.path(), e2e::kFramesim + " --out reference" + sim + " >/dev/null").status,
              0);
    std::thread pass([&] {
        e2e::sh(w.path(), e2e::kFramesim + " --out run --live 35" + sim + " >/dev/null", 300);
    });
    ASSERT_TRUE(eventually([&] { return fs::exists(dir + "/file_info.txt"); }));
    served::Server s(w.path(), "--serve 0 --interval 0.2", dir);
    ASSERT_GT(s.port, 0);
    const std::string request =
        "GET /events HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(s.port) + "\r\n\r\n";
    const int stalled = served::connect_to(s.port, 2048);
    ASSERT_GE(stalled, 0);
    served::send_all(stalled, request);
    const int healthy = served::connect_to(s.port);
    ASSERT_GE(healthy, 0);
    served::send_all(healthy, request);

    // A minute in which the stalled client reads nothing; the healthy one notes when each
    // update arrives, and the server's memory is sampled.
    std::vector<double> arrivals;
    std::vector<long> memory;
    const auto start = served::Clock::now();
    const auto seconds = [&] {
        return std::chrono::duration<double>(served::Clock::now() - start).count();
    };
    std::string seen;
    size_t counted = 0;
    while (seconds() < 60) {
        seen += served::receive(healthy, 0.2);
        for (size_t at; (at = seen.find("event: state", counted)) != std::string::npos;) {
            arrivals.push_back(seconds());
            counted = at + 1;
        }
        if (memory.size() < static_cast<size_t>(seconds()))
            memory.push_back(served::resident_kib(s.pid));
    }
    pass.join();
    ASSERT_GT(arrivals.size(), 100u) << "the pass did not keep the updates coming";
    double gap = 0;
    for (size_t k = 1; k < arrivals.size(); ++k) {
        if (arrivals[k] < 55) // while framesim still sends
            gap = std::max(gap, arrivals[k] - arrivals[k - 1]);
    }
    EXPECT_LT(gap, 2.5) << "the looks were held up";
    ASSERT_GT(memory.size(), 20u);
    const long settled = *std::min_element(memory.begin() + 10, memory.end());
    const long most = *std::max_element(memory.begin() + 10, memory.end());
    // A sanitizer holds freed memory back in quarantine, so resident memory tells nothing there.
    if (!e2e::kUnderSanitizer) {
        EXPECT_LT(most - settled, 8 * 1024) << "memory grew while a client read nothing";
    }
    // The stalled connection was let go: what is left in its buffers ends in a close.
    const std::string drained = served::receive(stalled, 30);
    EXPECT_LT(drained.size(), 16u * 1024 * 1024);
    char byte;
    const ssize_t end = ::recv(stalled, &byte, 1, MSG_DONTWAIT);
    EXPECT_TRUE(end == 0 || (end < 0 && errno != EAGAIN && errno != EWOULDBLOCK))
        << "the stalled connection is still open";
    ::close(stalled);
    ::close(healthy);
    s.stop();
    EXPECT_EQ(served::folder(dir), served::folder(reference));
}

TEST(Serve, AddressErrorsAreUsageErrorsAndABusyPortIsSaid) {
    e2e::Workdir w;
    const std::string dir = example_run(w);
    const e2e::Ran bad = e2e::sh(dir, e2e::kImgcover + " --serve 99999 .", 30);
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("imgcover: --serve: the port must be a number from 0 to 65535"),
              std::string::npos)
        << bad.err;
    EXPECT_TRUE(bad.out.empty());
    const e2e::Ran json = e2e::sh(dir, e2e::kImgcover + " --serve 0 --json - .", 30);
    EXPECT_EQ(json.status, 2);
    served::Server s(w.path(), "--serve 0", dir);
    ASSERT_GT(s.port, 0);
    const e2e::Ran busy =
        e2e::sh(dir, e2e::kImgcover + " --serve " + std::to_string(s.port) + " .", 30);
    EXPECT_EQ(busy.status, 2);
    EXPECT_NE(busy.err.find("imgcover: --serve: cannot listen on 127.0.0.1 port " +
                            std::to_string(s.port)),
              std::string::npos)
        << busy.err;
    EXPECT_TRUE(busy.out.empty());
}
