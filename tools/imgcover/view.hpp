// What a watch shows after every look, and the operator's keys: a view interface with two
// kinds, plain lines (a log, a pipe, a platform without curses) and a full-screen view on a
// terminal. The watch's loop talks to a view only through this interface.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis.hpp"

namespace imgcover {

// The figures of a look, whichever view shows them.
struct Figures {
    double watched = 0;
    double rate = 0;
    int64_t frames = 0;
    size_t requests = 0;
    std::string problem; // why there is no analysis yet, or why the last look failed
};

// The header's pieces, each formatted once for every view.
struct Header {
    std::string clock;     // time watched, hh:mm:ss
    std::string problem;   // as in Figures; empty when the look went well
    std::string frames;    // "frames 1,234 (56/s)"
    std::string covered;   // covered bytes, grouped
    std::string imagesize; // image bytes, grouped
    std::string missing;   // missing bytes, grouped
    std::string percent;   // covered bytes as a percentage: "12.34%"
    std::string requests;  // "requests 3"
};

Header make_header(const Analysis& a, const Figures& f);

// A piece of a line that may be left out when the line is too narrow: the highest `priority`
// number goes first.
struct HeaderField {
    std::string text;
    int priority;
};

// The fields joined by two spaces, in their order, leaving out as few as it takes to fit
// `width` columns (lowest priority first); the last one left is cut to the width.
std::string fit_fields(const std::vector<HeaderField>& fields, int width);

// The marks of a capture's bar in the full-screen view, worst first: the glyph (they stay apart
// without colour), what it means, and the colour it has where the terminal has colours (none:
// the terminal's own). The key line, the drawing and the manual all say these.
struct BarMark {
    char glyph;
    const char* meaning;
    const char* colour;
};
inline constexpr BarMark kBarMarks[] = {{'x', "lost", "red"},
                                        {'?', "unsettled", "magenta"},
                                        {'.', "pending", nullptr},
                                        {'=', "by a repeat", "cyan"},
                                        {'#', "received", "green"}};

// A capture's slots squeezed into `width` cells, each the mark of its worst slot: 'x' lost,
// '?' unsettled, '.' pending (after the last slot received, while `receiving`), '=' received
// by a repeat, '#' received.
std::string bar_of(const Analysis& a, const Capture& c, int width, bool receiving);

// What the operator asked for while a view waited.
enum class Command {
    none,   // the wait ran out: look again
    redraw, // the view must be drawn again (a resize)
    quit,   // end the watch
};

class View {
  public:
    virtual ~View() = default;
    // Shows the state after a look. `news`: the look found something new, or its problem
    // changed; false when the same state is drawn again.
    virtual void show(const Analysis& a, const Header& h, bool news) = 0;
    // Waits up to `seconds`, ending early when a stop signal comes; what the operator asked for.
    virtual Command wait(double seconds) = 0;
};

// One plain line per look that found something new.
std::unique_ptr<View> make_plain_view();

// The full-screen view on a terminal; nullptr when this build has no curses, or, with a
// `warning` saying why, when the terminal type is unknown. The terminal is given back when the
// view is destroyed.
std::unique_ptr<View> make_screen_view(std::string& warning);

// The view for this process, chosen once: the full screen when standard input and output are a
// terminal and the build has curses, plain lines otherwise (with a `warning` when a terminal
// could not be used).
std::unique_ptr<View> make_view(std::string& warning);

// True once SIGINT or SIGTERM asked the watch to end.
bool stop_requested();

} // namespace imgcover
