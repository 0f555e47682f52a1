// The view every watch can have: one plain line per look that found something new; the
// header's figures, formatted once for every view; and the choice of view for this process.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#ifdef _WIN32
#define WIN32_LEAN_AND_MEAN
#include <windows.h>
#else
#include <poll.h>
#include <unistd.h>
#endif

#include "view.hpp"

#include "text.hpp"

namespace imgcover {

namespace {

using Clock = std::chrono::steady_clock;

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

// The lines typed on standard input, read without ever blocking the watch: true once a line
// that is q (or Q) has come. The end of the input, or an input that cannot be read, only ends
// the reading.
class QuitLine {
  public:
    QuitLine() {
#ifdef _WIN32
        // No console call tells whether a whole line waits, so a thread of its own reads the
        // lines, into a state it shares (it may outlive the view); it reads the handle
        // directly, never through stdin's lock, so that the exit never waits on it.
        std::thread([typed = typed_] {
            const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
            char buf[256];
            DWORD n = 0;
            while (in != INVALID_HANDLE_VALUE && in != nullptr &&
                   ::ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0)
                typed->take(buf, n);
        }).detach();
#endif
    }

    // Waits up to `step` for input, reading what came; true once q and Enter were typed.
    bool wait(std::chrono::milliseconds step) {
#ifdef _WIN32
        std::this_thread::sleep_for(step);
        return typed_->quit;
#else
        // A watch in the background of a terminal leaves its input alone: reading it would stop
        // the watch (SIGTTIN), and a waiting line would wake the poll at once.
        const bool readable = open_ && (::isatty(0) == 0 || ::tcgetpgrp(0) == ::getpgrp());
        if (!readable) {
            std::this_thread::sleep_for(step);
            return typed_->quit;
        }
        pollfd p{0, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(step.count())) <= 0)
            return typed_->quit;
        char buf[256];
        const ssize_t n = (p.revents & (POLLIN | POLLHUP)) != 0 ? ::read(0, buf, sizeof buf) : -1;
        if (n <= 0)
            open_ = false;
        else
            typed_->take(buf, static_cast<size_t>(n));
        return typed_->quit;
#endif
    }

  private:
    struct Typed {
        std::atomic<bool> quit{false};
        std::string line; // the line typed so far, its first characters

        // Adds bytes read; quit once they end a line that is q or Q (white space aside).
        void take(const char* bytes, size_t n) {
            for (size_t k = 0; k < n; ++k) {
                const char c = bytes[k];
                if (c == '\n') {
                    if (line == "q" || line == "Q")
                        quit = true;
                    line.clear();
                } else if (c != ' ' && c != '\t' && c != '\r' && line.size() < 8) {
                    line += c;
                }
            }
        }
    };
    std::shared_ptr<Typed> typed_ = std::make_shared<Typed>();
    bool open_ = true;
};

// One line per look that changed something; a line q on standard input ends the watch.
class PlainView : public View {
  public:
    void show(const Analysis&, const Header& h, bool news) override {
        if (!news)
            return;
        if (!h.problem.empty())
            std::printf("%s  waiting: %s\n", h.clock.c_str(), printable(h.problem).c_str());
        else
            std::printf("%s  %s  covered %s (%s of %s bytes)  missing %s bytes  %s\n",
                        h.clock.c_str(), h.frames.c_str(), h.percent.c_str(), h.covered.c_str(),
                        h.imagesize.c_str(), h.missing.c_str(), h.requests.c_str());
        std::fflush(stdout);
    }

    // Waits up to `seconds`, ending early when a stop is asked for or q and Enter are typed.
    Command wait(double seconds) override {
        const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
        for (auto now = Clock::now(); !stop_requested() && now < until; now = Clock::now()) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - now);
            if (input_.wait(
                    std::clamp(left, std::chrono::milliseconds(1), std::chrono::milliseconds(50))))
                return Command::quit;
        }
        return Command::none;
    }

  private:
    QuitLine input_;
};

bool on_terminal() {
#ifdef _WIN32
    return false;
#else
    return ::isatty(1) != 0 && ::isatty(0) != 0;
#endif
}

} // namespace

Header make_header(const Analysis& a, const Figures& f) {
    Header h;
    h.clock = clock_text(f.watched);
    h.problem = f.problem;
    h.frames = format("frames %s (%.0f/s)", grouped(f.frames).c_str(), f.rate);
    h.covered = grouped(a.covered_bytes);
    h.imagesize = grouped(a.head.imagesize);
    h.missing = grouped(a.head.imagesize - a.covered_bytes);
    h.percent = percent_text(a.covered_bytes, a.head.imagesize, a.complete());
    h.requests = format("requests %zu", f.requests);
    return h;
}

std::unique_ptr<View> make_plain_view() {
    return std::make_unique<PlainView>();
}

std::unique_ptr<View> make_view(std::string& warning) {
    std::unique_ptr<View> screen = on_terminal() ? make_screen_view(warning) : nullptr;
    return screen ? std::move(screen) : make_plain_view();
}

} // namespace imgcover
