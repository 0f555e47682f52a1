// The console log: formatted messages gathered in a fixed buffer and written out in few writes.
#pragma once

#include <cstdint>
#include <cstdio>

#include "limits.hpp"
#include "platform.hpp"

namespace imgrebuild {

// The longest message is the name line's: "na=", up to kLineCap - 1 characters, and the range
// line with four numbers of at most 11 characters each.
inline constexpr int32_t kLongestMessage =
    static_cast<int32_t>(sizeof "na=\r\nSSC= SP= ESC= EP=\r\n") - 1 + (kLineCap - 1) + 4 * 11;
inline constexpr int32_t kConsoleBuf = 1 << 16;
// Every message fits an empty buffer with its NUL, so a message is never cut.
static_assert(kLongestMessage + 1 <= kConsoleBuf, "the console buffer holds the longest message");

struct Console {
    std::FILE* out;
    int32_t len;
    bool failed; // a write or flush of `out` failed; nothing more is written to it
    int error;   // errno of the first failure
    char buf[kConsoleBuf];
};

// Starts an empty log that goes to `out`; with no stream (nullptr) the log is dropped, for a
// caller that needs the rules but not the messages.
void console_open(Console& con, std::FILE* out);

// Appends one printf-style message; writes the buffer out first when it would not fit.
void say(Console& con, const char* format, ...) IMGREBUILD_PRINTF(2, 3);

// Writes what the log holds and flushes the stream, so the operator sees it now. A failed
// write is remembered in `failed` and `error`, and the log is dropped from then on.
void console_flush(Console& con);

} // namespace imgrebuild
