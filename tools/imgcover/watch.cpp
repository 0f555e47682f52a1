#include "watch.hpp"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <memory>
#include <thread>
#include <utility>
#include <vector>

#include "plan.hpp"
#include "text.hpp"

#ifdef IMGCOVER_HAVE_CURSES
#include <curses.h>
#endif
#ifndef _WIN32
#include <unistd.h>
#endif

namespace imgcover {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_requested = 0;

// The first signal asks the watch to end; a second one, while it ends, ends the process.
extern "C" void on_stop_signal(int) {
    if (stop_requested != 0)
        std::_Exit(130);
    stop_requested = 1;
}

void catch_stop_signals() {
#ifdef _WIN32
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
#else
    // No SA_RESTART: a wait in progress returns at once.
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
#endif
}

#ifdef IMGCOVER_HAVE_CURSES
bool on_terminal() {
    return ::isatty(1) != 0 && ::isatty(0) != 0;
}
#endif

std::string clock_text(double seconds) {
    const long s = static_cast<long>(seconds);
    char buf[32];
    std::snprintf(buf, sizeof buf, "%02ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    return buf;
}

// Sound frames a second over the last ten seconds.
class Rate {
  public:
    void add(Clock::time_point t, int64_t frames) {
        samples_.emplace_back(t, frames);
        while (samples_.size() > 2 && t - samples_[1].first >= std::chrono::seconds(10))
            samples_.pop_front();
    }
    double per_second() const {
        if (samples_.size() < 2)
            return 0;
        const double dt =
            std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
        return dt > 0 ? static_cast<double>(samples_.back().second - samples_.front().second) / dt
                      : 0;
    }

  private:
    std::deque<std::pair<Clock::time_point, int64_t>> samples_;
};

// What the header tells, whichever view shows it.
struct Figures {
    double watched = 0;
    double rate = 0;
    int64_t frames = 0;
    size_t requests = 0;
    std::string problem; // why there is no analysis yet, or why the last look failed
};

// One line per look that changed something: for a log, a pipe or a platform without curses.
void plain_line(const Analysis& a, const Figures& f) {
    if (!f.problem.empty()) {
        std::printf("%s  waiting: %s\n", clock_text(f.watched).c_str(), f.problem.c_str());
    } else {
        std::printf("%s  frames %s (%.0f/s)  covered %.2f%% (%s of %s bytes)  missing %s bytes  "
                    "requests %zu\n",
                    clock_text(f.watched).c_str(), grouped(f.frames).c_str(), f.rate,
                    a.covered_percent(), grouped(a.covered_bytes).c_str(),
                    grouped(a.head.imagesize).c_str(),
                    grouped(a.head.imagesize - a.covered_bytes).c_str(), f.requests);
    }
    std::fflush(stdout);
}

#ifdef IMGCOVER_HAVE_CURSES

// The full-screen view: a header, then one row per capture with a bar of its slots.
class Screen {
  public:
    Screen() {
        initscr();
        cbreak();
        noecho();
        curs_set(0);
        keypad(stdscr, TRUE);
        colour_ = has_colors() && std::getenv("NO_COLOR") == nullptr;
        if (colour_) {
            start_color();
            use_default_colors();
            init_pair(1, COLOR_GREEN, -1);
            init_pair(2, COLOR_YELLOW, -1);
            init_pair(3, COLOR_RED, -1);
        }
    }
    ~Screen() { endwin(); }
    Screen(const Screen&) = delete;
    Screen& operator=(const Screen&) = delete;

    void draw(const Analysis& a, const Figures& f) {
        erase();
        const int width = COLS, height = LINES;
        std::string title = "imgcover --watch " + a.dir;
        const std::string when = "watched " + clock_text(f.watched);
        put_line(0, title, when, width);
        if (!f.problem.empty()) {
            put_line(1, "waiting: " + f.problem, "", width);
        } else {
            char buf[256];
            std::snprintf(buf, sizeof buf,
                          "frames %s (%.0f/s)  covered %s of %s bytes (%.2f%%)  requests %zu",
                          grouped(f.frames).c_str(), f.rate, grouped(a.covered_bytes).c_str(),
                          grouped(a.head.imagesize).c_str(), a.covered_percent(), f.requests);
            put_line(1, buf, "", width);
        }
        const int first_row = 3;
        const int rows = std::max(0, height - first_row);
        const size_t n = a.captures.size();
        const size_t shown =
            n <= static_cast<size_t>(rows) ? n : static_cast<size_t>(std::max(0, rows - 1));
        size_t name_width = 8;
        for (size_t i = 0; i < shown; ++i)
            name_width = std::max(name_width, a.captures[i].name.size());
        name_width = std::min<size_t>(name_width, static_cast<size_t>(std::max(8, width / 3)));
        for (size_t i = 0; i < shown; ++i)
            draw_capture(first_row + static_cast<int>(i), a.captures[i], name_width, width);
        if (shown < n)
            mvaddnstr(first_row + static_cast<int>(shown), 0,
                      ("... and " + std::to_string(n - shown) + " more").c_str(), width);
        wrefresh(stdscr);
    }

    // Waits up to `seconds` for a key or a resize; true when the view must be drawn again.
    bool wait(double seconds) {
        timeout(static_cast<int>(seconds * 1000));
        const int key = getch();
        if (key == 'q' || key == 'Q')
            stop_requested = 1;
        return key == KEY_RESIZE;
    }

  private:
    bool colour_ = false;

    void put_line(int row, const std::string& left, const std::string& right, int width) {
        mvaddnstr(row, 0, left.c_str(), width);
        const int at = width - static_cast<int>(right.size());
        if (!right.empty() && at > static_cast<int>(left.size()))
            mvaddnstr(row, at, right.c_str(), static_cast<int>(right.size()));
    }

    void draw_capture(int row, const Capture& c, size_t name_width, int width) {
        std::string name = c.name;
        if (name.size() > name_width)
            name = name.substr(0, name_width - 3) + "...";
        name.resize(name_width, ' ');
        mvaddnstr(row, 0, name.c_str(), width);
        const int bar_at = static_cast<int>(name_width) + 1;
        if (!c.has_range() || c.status == CaptureStatus::unreadable) {
            const char* why = c.status == CaptureStatus::bad_name    ? "(not a capture name)"
                              : c.status == CaptureStatus::bad_range ? "(range too large or empty)"
                                                                     : "(not received yet)";
            if (bar_at < width)
                mvaddnstr(row, bar_at, why, width - bar_at);
            return;
        }
        int64_t got = 0;
        for (uint8_t r : c.received)
            got += r;
        const std::string counts =
            " " + std::to_string(got) + "/" + std::to_string(c.math.mcomsize);
        const int bar_width = width - bar_at - static_cast<int>(counts.size()) - 2;
        if (bar_width < 4)
            return;
        mvaddch(row, bar_at, '[');
        const int64_t m = c.math.mcomsize;
        for (int k = 0; k < bar_width; ++k) {
            const int64_t from = m * k / bar_width;
            const int64_t to = std::max(from + 1, m * (k + 1) / bar_width);
            int64_t in = 0;
            for (int64_t s = from; s < to; ++s)
                in += c.received[static_cast<size_t>(s)];
            const int kind = in == to - from ? 1 : in > 0 ? 2 : 3;
            const char glyph = kind == 1 ? '#' : kind == 2 ? '+' : '.';
            if (colour_)
                attron(COLOR_PAIR(kind));
            mvaddch(row, bar_at + 1 + k, glyph);
            if (colour_)
                attroff(COLOR_PAIR(kind));
        }
        mvaddch(row, bar_at + 1 + bar_width, ']');
        mvaddnstr(row, bar_at + 2 + bar_width, counts.c_str(), static_cast<int>(counts.size()));
    }
};

#endif

// Sleeps up to `seconds`, ending early when a stop is asked for.
void nap(double seconds) {
    const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(seconds));
    for (auto now = Clock::now(); stop_requested == 0 && now < until; now = Clock::now())
        std::this_thread::sleep_for(
            std::min<Clock::duration>(std::chrono::milliseconds(50), until - now));
}

} // namespace

bool watch(Analysis& a, const WatchOptions& o, const std::function<void(const Analysis&)>& changed,
           std::string& error) {
    stop_requested = 0;
    catch_stop_signals();
    const auto start = Clock::now();
#ifdef IMGCOVER_HAVE_CURSES
    std::unique_ptr<Screen> screen;
    if (on_terminal())
        screen = std::make_unique<Screen>();
#endif
    bool analysed = false;
    Rate rate;
    Figures f;
    while (stop_requested == 0) {
        bool fresh = false;
        std::string problem;
        if (!analysed) {
            analysed = analyse(a, problem);
            fresh = analysed;
        } else if (!refresh(a, fresh, problem)) {
            fresh = false; // keep the last state; say why the look failed
        }
        const auto now = Clock::now();
        f.watched = std::chrono::duration<double>(now - start).count();
        f.frames = analysed ? total_frames(a) : 0;
        rate.add(now, f.frames);
        f.rate = rate.per_second();
        const bool problem_changed = problem != f.problem;
        f.problem = problem;
        if (fresh) {
            f.requests = make_plan(a, o.join, o.prefix).size();
            changed(a);
        }
        if (!problem.empty())
            error = problem;
        const bool done = analysed && o.until_complete && a.complete();
#ifdef IMGCOVER_HAVE_CURSES
        if (screen) {
            screen->draw(a, f);
            while (!done && stop_requested == 0 && screen->wait(o.interval))
                screen->draw(a, f);
            if (done)
                break;
            continue;
        }
#endif
        if (fresh || problem_changed)
            plain_line(a, f);
        if (done)
            break;
        nap(o.interval);
    }
#ifdef IMGCOVER_HAVE_CURSES
    screen.reset();
#endif
    return analysed;
}

} // namespace imgcover
