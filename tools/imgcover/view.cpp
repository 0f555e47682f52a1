// The view every watch can have: one plain line per look that found something new; the
// header's figures, formatted once for every view; and the choice of view for this process.
#include <chrono>
#include <cstdio>
#include <thread>

#ifndef _WIN32
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

// One line per look that changed something.
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

    // Sleeps up to `seconds`, ending early when a stop is asked for.
    Command wait(double seconds) override {
        const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
        for (auto now = Clock::now(); !stop_requested() && now < until; now = Clock::now())
            std::this_thread::sleep_for(
                std::min<Clock::duration>(std::chrono::milliseconds(50), until - now));
        return Command::none;
    }
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
    h.percent = format("%.2f%%", a.covered_percent());
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
