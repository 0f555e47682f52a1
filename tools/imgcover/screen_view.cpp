// The full-screen view of a watch, drawn with curses.
#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

#include "text.hpp"
#include "view.hpp"

#ifdef IMGCOVER_HAVE_CURSES
#include <poll.h>

#include <thread>

#include <curses.h>
#include <term.h> // last: it defines macros with short names
#undef columns    // one of them, which would hide the text helper of that name
#endif

namespace imgcover {

std::string fit_fields(const std::vector<HeaderField>& fields, int width) {
    std::vector<bool> kept(fields.size(), true);
    const auto joined = [&] {
        std::string s;
        for (size_t k = 0; k < fields.size(); ++k) {
            if (!kept[k])
                continue;
            if (!s.empty())
                s += "  ";
            s += fields[k].text;
        }
        return s;
    };
    for (std::string s = joined(); static_cast<int>(s.size()) > width; s = joined()) {
        // Drop the kept field of lowest priority (the highest number); the last one stays.
        int worst = -1;
        for (size_t k = 0; k < fields.size(); ++k) {
            if (kept[k] && (worst < 0 || fields[k].priority > fields[worst].priority))
                worst = static_cast<int>(k);
        }
        if (std::count(kept.begin(), kept.end(), true) <= 1)
            return s.substr(0, static_cast<size_t>(std::max(0, width)));
        kept[static_cast<size_t>(worst)] = false;
    }
    return joined();
}

namespace {

// What a cell of a capture's bar shows, worst first, in the order of kBarMarks (from 1, as
// curses' colour pairs count).
enum Kind { kLost = 1, kUnsettledKind, kPending, kRepeatKind, kReceived };
static_assert(sizeof kBarMarks / sizeof kBarMarks[0] == kReceived);

char glyph_of(int kind) {
    return kBarMarks[kind - 1].glyph;
}

// The worst kind among slots [from, to) of a capture.
int kind_of(const Analysis& a, const Capture& c, int64_t from, int64_t to, int64_t pending_from) {
    const int64_t size = static_cast<int64_t>(a.coverage.size());
    int worst = c.repeat ? kRepeatKind : kReceived;
    const std::vector<uint8_t>& received = a.read_of(c).received;
    for (int64_t s = from; s < to; ++s) {
        if (received[static_cast<size_t>(s)] == 0) {
            worst = std::min(worst, s >= pending_from ? int{kPending} : int{kLost});
            continue;
        }
        const imgrebuild::Span span = imgrebuild::frame_span(c.math, static_cast<int32_t>(s), size);
        for (int64_t o = span.first; o <= span.last; ++o) {
            if (a.coverage[static_cast<size_t>(o)] & kUnsettled) {
                worst = std::min(worst, int{kUnsettledKind});
                break;
            }
        }
    }
    return worst;
}

} // namespace

std::string bar_of(const Analysis& a, const Capture& c, int width, bool receiving) {
    std::string bar;
    int64_t last = -1;
    const std::vector<uint8_t>& received = a.read_of(c).received;
    for (size_t s = 0; s < received.size(); ++s) {
        if (received[s] != 0)
            last = static_cast<int64_t>(s);
    }
    const int64_t m = c.math.mcomsize;
    const int64_t pending_from = receiving ? last + 1 : m;
    for (int k = 0; k < width; ++k) {
        const int64_t from = m * k / width;
        const int64_t to = std::min(m, std::max(from + 1, m * (k + 1) / width));
        bar += glyph_of(from < m ? kind_of(a, c, from, to, pending_from) : int{kPending});
    }
    return bar;
}

#ifdef IMGCOVER_HAVE_CURSES

namespace {

using Clock = std::chrono::steady_clock;

// The capture that last grew, when it grew within this time, is still being received: its slots
// after the last one received are pending, not lost.
constexpr auto kGrowing = std::chrono::seconds(5);

// The full-screen view: a header, a key to the bar's glyphs, one row per capture with a bar of
// its slots, and a footer naming the keys. It follows the capture that last grew unless the
// operator scrolls away.
class ScreenView : public View {
  public:
    ScreenView() {
        cbreak();
        noecho();
        curs_set(0);
        keypad(stdscr, TRUE);
        // Home and End as other terminals and multiplexers send them, whatever the terminal's
        // description says.
        for (const char* home : {"\033[1~", "\033[7~", "\033[H", "\033OH"})
            define_key(home, KEY_HOME);
        for (const char* end : {"\033[4~", "\033[8~", "\033[F", "\033OF"})
            define_key(end, KEY_END);
        colour_ = has_colors() && std::getenv("NO_COLOR") == nullptr;
        if (colour_) {
            start_color();
            use_default_colors();
            for (int kind = kLost; kind <= kReceived; ++kind)
                init_pair(static_cast<short>(kind), colour_number(kBarMarks[kind - 1].colour), -1);
        }
    }
    ~ScreenView() override { endwin(); }
    ScreenView(const ScreenView&) = delete;
    ScreenView& operator=(const ScreenView&) = delete;

    // Draws everything again after every look, new or not.
    void show(const Analysis& a, const Header& h, bool) override {
        track_growth(a);
        erase();
        const int width = COLS, height = LINES;
        const std::string when = "watched " + h.clock;
        std::string title = "imgcover --watch " + printable(a.dir);
        if (static_cast<int>(title.size() + when.size()) + 2 <= width)
            title +=
                std::string(static_cast<size_t>(width) - title.size() - when.size(), ' ') + when;
        mvaddnstr(0, 0, title.c_str(), width);
        if (!h.problem.empty()) {
            mvaddnstr(1, 0, ("waiting: " + printable(h.problem)).c_str(), width);
        } else {
            // Dropped first to last as the terminal narrows: the rate and frames, the bytes
            // missing, the request count, the covered bytes; the percentage stays.
            const std::vector<HeaderField> fields = {
                {"covered " + h.percent, 0},
                {h.covered + " of " + h.imagesize + " bytes", 3},
                {"missing " + h.missing, 2},
                {h.requests, 1},
                {h.frames, 4}};
            mvaddnstr(1, 0, fit_fields(fields, width).c_str(), width);
        }
        // The key, the marks best first; the rarer ones give way first as the terminal narrows.
        std::vector<HeaderField> key;
        for (const int kind : {kReceived, kRepeatKind, kLost, kPending, kUnsettledKind}) {
            const bool rare = kind == kRepeatKind || kind == kUnsettledKind;
            key.push_back(
                {std::string(1, glyph_of(kind)) + " " + kBarMarks[kind - 1].meaning, rare ? 1 : 0});
        }
        key.push_back({"> receiving", 2});
        mvaddnstr(2, 0, fit_fields(key, width).c_str(), width);

        const int first_row = 3;
        rows_ = std::max(1, height - first_row - 1);
        const int n = static_cast<int>(a.captures.size());
        if (following_ && receiving_ >= 0) {
            if (receiving_ < top_)
                top_ = receiving_;
            else if (receiving_ >= top_ + rows_)
                top_ = receiving_ - rows_ + 1;
        }
        top_ = std::clamp(top_, 0, std::max(0, n - rows_));
        n_ = n;
        const int shown = std::min(rows_, n - top_);
        size_t name_width = 8;
        for (int i = 0; i < shown; ++i)
            name_width = std::max(name_width, columns(printable(a.captures[top_ + i].name)));
        name_width = std::min<size_t>(name_width, static_cast<size_t>(std::max(8, width / 3)));
        // The counts after the bars as wide as the widest any capture can have, so that every
        // bar is as wide as the others, whatever is on screen.
        size_t counts_width = 0;
        for (const Capture& c : a.captures) {
            if (c.has_range())
                counts_width =
                    std::max(counts_width, 2 * std::to_string(c.math.mcomsize).size() + 2);
        }
        const auto now = Clock::now();
        for (int i = 0; i < shown; ++i) {
            const int k = top_ + i;
            const bool growing =
                k == receiving_ && now - grew_at_[static_cast<size_t>(k)] < kGrowing;
            draw_capture(a, first_row + i, a.captures[k], k == receiving_, growing, name_width,
                         counts_width, width);
        }
        const std::string where =
            n == 0 ? "no captures" : format("%d-%d/%d", top_ + 1, top_ + shown, n);
        const std::vector<HeaderField> footer = {{"q quit", 0},
                                                 {"arrows PgUp PgDn Home End", 1},
                                                 {following_ ? "(following)" : "f follow", 2},
                                                 {where, 3}};
        mvaddnstr(height - 1, 0, fit_fields(footer, width).c_str(), width);
        wrefresh(stdscr);
    }

    // Waits up to `seconds` for a key or a resize (a stop signal ends the wait at once); a key
    // that scrolls asks for a redraw. The end of the terminal's input, or an error reading it
    // (the terminal hung up), quits; any other early return without a key waits out the rest,
    // so that the watch never spins.
    Command wait(double seconds) override {
        const auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                              std::chrono::duration<double>(seconds));
        timeout(static_cast<int>(seconds * 1000));
        const int key = getch();
        if (key == ERR) {
            if (input_ended())
                return Command::quit;
            sleep_until(until);
            return Command::none;
        }
        const int last_top = std::max(0, n_ - rows_);
        switch (key) {
        case 'q':
        case 'Q':
            return Command::quit;
        case KEY_RESIZE:
            return Command::redraw;
        case 'f':
        case 'F':
            following_ = true;
            return Command::redraw;
        case KEY_UP:
            return scroll_to(top_ - 1);
        case KEY_DOWN:
            return scroll_to(top_ + 1);
        case KEY_PPAGE:
            return scroll_to(top_ - rows_);
        case KEY_NPAGE:
            return scroll_to(top_ + rows_);
        case KEY_HOME:
            return scroll_to(0);
        case KEY_END:
            return scroll_to(last_top);
        default:
            return Command::none;
        }
    }

  private:
    bool colour_ = false;
    bool following_ = true;
    int top_ = 0;        // the first capture on screen
    int rows_ = 1;       // capture rows on screen
    int n_ = 0;          // captures at the last show
    int receiving_ = -1; // the capture that last grew
    std::vector<int64_t> frames_;
    std::vector<Clock::time_point> grew_at_;

    // True when the terminal's input has ended or cannot be read: it hung up.
    static bool input_ended() {
        pollfd in{0, POLLIN, 0};
        return ::poll(&in, 1, 0) > 0 && (in.revents & (POLLHUP | POLLERR | POLLNVAL)) != 0;
    }

    // Sleeps until `until`, ending early when a stop is asked for.
    static void sleep_until(Clock::time_point until) {
        for (auto now = Clock::now(); !stop_requested() && now < until; now = Clock::now())
            std::this_thread::sleep_for(
                std::min<Clock::duration>(std::chrono::milliseconds(50), until - now));
    }

    static int kind_of_glyph(char glyph) {
        for (int k = kLost; k <= kReceived; ++k) {
            if (glyph_of(k) == glyph)
                return k;
        }
        return kPending;
    }

    // The curses colour of a mark's colour name; -1 (the terminal's own) for none.
    static short colour_number(const char* name) {
        const std::string n = name == nullptr ? "" : name;
        return n == "red"       ? COLOR_RED
               : n == "magenta" ? COLOR_MAGENTA
               : n == "cyan"    ? COLOR_CYAN
               : n == "green"   ? COLOR_GREEN
                                : -1;
    }

    Command scroll_to(int first) {
        following_ = false;
        top_ = std::clamp(first, 0, std::max(0, n_ - rows_));
        return Command::redraw;
    }

    // Notes which captures grew since the last show; the last of them is being received.
    void track_growth(const Analysis& a) {
        const size_t n = a.captures.size();
        frames_.resize(n, 0);
        grew_at_.resize(n);
        const auto now = Clock::now();
        for (size_t k = 0; k < n; ++k) {
            const Capture& c = a.captures[k];
            const int64_t frames = c.has_range() ? a.read_of(c).frames : 0;
            if (frames > frames_[k]) {
                grew_at_[k] = now;
                receiving_ = static_cast<int>(k);
            }
            frames_[k] = frames;
        }
        if (receiving_ >= static_cast<int>(n))
            receiving_ = -1;
    }

    void draw_capture(const Analysis& a, int row, const Capture& c, bool receiving, bool growing,
                      size_t name_width, size_t counts_width, int width) {
        // A long name gives way in its middle, so that its range, at its end, stays in sight.
        std::string name = shortened(c.name, name_width);
        name += std::string(name_width - std::min(name_width, columns(name)), ' ');
        mvaddnstr(row, 0, receiving ? ">" : " ", width);
        mvaddnstr(row, 1, name.c_str(), width - 1);
        const int bar_at = static_cast<int>(name_width) + 2;
        if (!c.has_range() || c.status == CaptureStatus::unreadable) {
            const char* why = c.status == CaptureStatus::bad_name    ? "(not a capture name)"
                              : c.status == CaptureStatus::bad_range ? "(range too large or empty)"
                                                                     : "(not received yet)";
            if (bar_at < width)
                mvaddnstr(row, bar_at, why, width - bar_at);
            return;
        }
        int64_t got = 0;
        for (const uint8_t r : a.read_of(c).received)
            got += r;
        std::string counts = " " + std::to_string(got) + "/" + std::to_string(c.math.mcomsize);
        counts.resize(std::max(counts.size(), counts_width), ' ');
        const int bar_width = width - bar_at - static_cast<int>(counts.size()) - 2;
        if (bar_width < 4)
            return;
        mvaddch(row, bar_at, '[');
        const std::string bar = bar_of(a, c, bar_width, growing);
        for (int k = 0; k < bar_width; ++k) {
            const int kind = kind_of_glyph(bar[static_cast<size_t>(k)]);
            if (colour_)
                attron(COLOR_PAIR(kind));
            mvaddch(row, bar_at + 1 + k, static_cast<chtype>(bar[static_cast<size_t>(k)]));
            if (colour_)
                attroff(COLOR_PAIR(kind));
        }
        mvaddch(row, bar_at + 1 + bar_width, ']');
        mvaddnstr(row, bar_at + 2 + bar_width, counts.c_str(), static_cast<int>(counts.size()));
    }
};

} // namespace

// How the plain lines end, said with the warning that they replace the full screen.
constexpr const char* kPlainKeys = "; q and Enter, or Ctrl-C, end the watch";

std::unique_ptr<View> make_screen_view(std::string& warning) {
    // Asked first, so that an unknown terminal is a warning and not curses' exit.
    int status = 0;
    if (setupterm(nullptr, 1, &status) != OK) {
        const char* term = std::getenv("TERM");
        warning = (term == nullptr || *term == '\0'
                       ? std::string("TERM is not set: plain lines instead of the full screen")
                       : "unknown terminal type " + printable(term) +
                             ": plain lines instead of the full screen") +
                  kPlainKeys;
        return nullptr;
    }
    del_curterm(cur_term);
    if (newterm(nullptr, stdout, stdin) == nullptr) {
        warning = std::string("cannot start the full screen: plain lines instead") + kPlainKeys;
        return nullptr;
    }
    return std::make_unique<ScreenView>();
}

#else

std::unique_ptr<View> make_screen_view(std::string&) {
    return nullptr;
}

#endif

} // namespace imgcover
