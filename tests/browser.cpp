#include "browser.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <filesystem>

namespace browser {

namespace {

using Clock = std::chrono::steady_clock;

Clock::time_point after(double seconds) {
    return Clock::now() +
           std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Decodes base64 text.
std::string from_base64(const std::string& text) {
    static const std::string digits =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    uint32_t bits = 0;
    int have = 0;
    for (const char c : text) {
        const size_t v = digits.find(c);
        if (v == std::string::npos)
            continue;
        bits = (bits << 6) | static_cast<uint32_t>(v);
        have += 6;
        if (have >= 8) {
            have -= 8;
            out += static_cast<char>((bits >> have) & 0xFF);
        }
    }
    return out;
}

} // namespace

std::string chromium_path() {
    for (const char* p : {"/usr/bin/chromium", "/usr/bin/chromium-browser"}) {
        if (::access(p, X_OK) == 0)
            return p;
    }
    return {};
}

Browser::Browser(const std::string& scratch, int width, int height) : scratch_(scratch) {
    const std::string program = chromium_path();
    if (program.empty()) {
        error = "no chromium installed";
        return;
    }
    const std::string in = scratch + "/cdp-in", out = scratch + "/cdp-out";
    if (::mkfifo(in.c_str(), 0600) != 0 || ::mkfifo(out.c_str(), 0600) != 0) {
        error = "mkfifo failed";
        return;
    }
    const std::string command =
        "exec " + e2e::quoted(program) +
        " --headless --no-sandbox --disable-gpu --disable-quic --no-first-run"
        " --disable-background-networking --disable-component-update --disable-sync"
        " --disable-dev-shm-usage --user-data-dir=" +
        e2e::quoted(scratch + "/profile") + " --window-size=" + std::to_string(width) + "," +
        std::to_string(height) + " --remote-debugging-pipe about:blank 3<" + e2e::quoted(in) +
        " 4>" + e2e::quoted(out) + " 2>" + e2e::quoted(scratch + "/chromium.err");
    runner_ = std::thread([this, scratch, command] { ran_ = e2e::sh(scratch, command, 600); });
    // The browser's end of each pipe opens as soon as ours does; a browser that never starts
    // leaves the writing end closed, and the deadline ends the wait.
    from_ = ::open(out.c_str(), O_RDONLY | O_NONBLOCK);
    for (const auto until = after(30); from_ >= 0 && Clock::now() < until;) {
        to_ = ::open(in.c_str(), O_WRONLY | O_NONBLOCK);
        if (to_ >= 0)
            break;
        ::usleep(20'000);
    }
    if (to_ < 0) {
        error = "chromium did not open its pipe: " + e2e::read_file(scratch + "/chromium.err");
        // Lets a shell still waiting on the pipe go on, so that it ends.
        const int unblock = ::open(in.c_str(), O_RDWR | O_NONBLOCK);
        if (unblock >= 0)
            ::close(unblock);
        return;
    }
    ::fcntl(to_, F_SETFL, 0);
    if (call("Target.getTargets", nlohmann::json::object()).is_null() && error.empty())
        error = "chromium does not answer";
}

Browser::~Browser() {
    if (to_ >= 0) {
        call("Browser.close", nlohmann::json::object(), 10);
        ::close(to_);
    }
    if (from_ >= 0)
        ::close(from_);
    if (runner_.joinable())
        runner_.join();
}

nlohmann::json Browser::call(const std::string& method, const nlohmann::json& params,
                             double deadline) {
    if (to_ < 0)
        return nullptr;
    const int id = ++next_id_;
    nlohmann::json message = {{"id", id}, {"method", method}, {"params", params}};
    if (!session_.empty() && method.rfind("Target.", 0) != 0 && method.rfind("Browser.", 0) != 0)
        message["sessionId"] = session_;
    const std::string text = message.dump() + std::string(1, '\0');
    for (size_t done = 0; done < text.size();) {
        const ssize_t n = ::write(to_, text.data() + done, text.size() - done);
        if (n <= 0) {
            error = method + ": cannot write to chromium";
            return nullptr;
        }
        done += static_cast<size_t>(n);
    }
    const auto until = after(deadline);
    for (;;) {
        for (size_t end; (end = buffer_.find('\0')) != std::string::npos;) {
            const nlohmann::json reply =
                nlohmann::json::parse(buffer_.substr(0, end), nullptr, false);
            buffer_.erase(0, end + 1);
            if (!reply.is_object() || !reply.contains("id") || reply["id"] != id)
                continue; // an event, or the answer to a call given up on
            if (reply.contains("error")) {
                error = method + ": " + reply["error"].dump();
                return nullptr;
            }
            return reply.value("result", nlohmann::json::object());
        }
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now()).count();
        if (left <= 0) {
            error = method + ": no answer within the deadline";
            return nullptr;
        }
        pollfd p{from_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left)) <= 0)
            continue;
        char chunk[1 << 16];
        const ssize_t n = ::read(from_, chunk, sizeof chunk);
        if (n == 0) {
            error = method + ": chromium closed its pipe";
            return nullptr;
        }
        if (n > 0)
            buffer_.append(chunk, static_cast<size_t>(n));
    }
}

bool Browser::open(const std::string& url) {
    const nlohmann::json target = call("Target.createTarget", {{"url", "about:blank"}});
    if (target.is_null())
        return false;
    const nlohmann::json attached =
        call("Target.attachToTarget", {{"targetId", target["targetId"]}, {"flatten", true}});
    if (attached.is_null())
        return false;
    session_ = attached["sessionId"];
    return !call("Page.navigate", {{"url", url}}).is_null();
}

nlohmann::json Browser::eval(const std::string& expression, bool await) {
    const nlohmann::json r =
        call("Runtime.evaluate",
             {{"expression", expression}, {"returnByValue", true}, {"awaitPromise", await}});
    if (r.is_null())
        return nullptr;
    if (r.contains("exceptionDetails")) {
        error = "exception in: " + expression;
        return nullptr;
    }
    return r["result"].value("value", nlohmann::json());
}

std::string Browser::screenshot() {
    const nlohmann::json r =
        call("Page.captureScreenshot", {{"format", "png"}, {"captureBeyondViewport", true}});
    return r.is_null() ? std::string() : from_base64(r.value("data", ""));
}

} // namespace browser
