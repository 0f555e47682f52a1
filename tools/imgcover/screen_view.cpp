// The full-screen view of a watch, drawn with curses.
#include <algorithm>
#include <cstdlib>
#include <string>

#ifdef IMGCOVER_HAVE_CURSES
#include <curses.h>
#endif

#include "view.hpp"

namespace imgcover {

#ifdef IMGCOVER_HAVE_CURSES

namespace {

// The full-screen view: a header, then one row per capture with a bar of its slots.
class ScreenView : public View {
  public:
    ScreenView() {
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
    ~ScreenView() override { endwin(); }
    ScreenView(const ScreenView&) = delete;
    ScreenView& operator=(const ScreenView&) = delete;

    // Draws everything again after every look, new or not.
    void show(const Analysis& a, const Header& h, bool) override {
        erase();
        const int width = COLS, height = LINES;
        std::string title = "imgcover --watch " + a.dir;
        const std::string when = "watched " + h.clock;
        put_line(0, title, when, width);
        if (!h.problem.empty()) {
            put_line(1, "waiting: " + h.problem, "", width);
        } else {
            put_line(1,
                     h.frames + "  covered " + h.covered + " of " + h.imagesize + " bytes (" +
                         h.percent + ")  " + h.requests,
                     "", width);
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

    // Waits up to `seconds` for a key or a resize (a stop signal ends the wait at once).
    Command wait(double seconds) override {
        timeout(static_cast<int>(seconds * 1000));
        const int key = getch();
        if (key == 'q' || key == 'Q')
            return Command::quit;
        return key == KEY_RESIZE ? Command::redraw : Command::none;
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

} // namespace

std::unique_ptr<View> make_screen_view() {
    return std::make_unique<ScreenView>();
}

#else

std::unique_ptr<View> make_screen_view() {
    return nullptr;
}

#endif

} // namespace imgcover
