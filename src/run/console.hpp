// The console log: formatted messages gathered in a fixed buffer and written out in few writes.
#pragma once

#include <cstdint>
#include <cstdio>

namespace imgrebuild {

// Largest message is the name line's: "na=" + 19,999 characters + the range line (< 20,200).
inline constexpr int32_t kConsoleBuf = 1 << 16;

struct Console {
    std::FILE* out;
    int32_t len;
    char buf[kConsoleBuf];
};

// Starts an empty log that goes to `out`.
void console_open(Console& con, std::FILE* out);

// Appends one printf-style message; writes the buffer out first when it would not fit.
void say(Console& con, const char* format, ...) __attribute__((format(printf, 2, 3)));

// Writes what the log holds and flushes the stream, so the operator sees it now.
void console_flush(Console& con);

} // namespace imgrebuild
