#include "log/console.hpp"

#include <cerrno>
#include <cstdarg>

#ifdef _WIN32
#include <cstdlib>
#include <windows.h>
#endif

namespace imgrebuild {

void console_open(Console& con, std::FILE* out) {
    con.out = out;
    con.len = 0;
    con.failed = false;
    con.error = 0;
}

void say(Console& con, const char* format, ...) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::va_list args;
        va_start(args, format);
        const int32_t room = kConsoleBuf - con.len;
        const int n = std::vsnprintf(con.buf + con.len, static_cast<size_t>(room), format, args);
        va_end(args);
        if (n < 0)
            return;
        if (n < room) {
            con.len += n;
            return;
        }
        // Did not fit: write out what came before and format again into the empty buffer.
        // Every message of the tool fits an empty buffer, so the second pass always lands.
        console_flush(con);
    }
}

void console_flush(Console& con) {
    const size_t want = static_cast<size_t>(con.len);
    con.len = 0;
    if (con.failed || con.out == nullptr)
        return;
    errno = 0;
    const bool wrote = want == 0 || std::fwrite(con.buf, 1, want, con.out) == want;
    if (!wrote || std::fflush(con.out) != 0) {
        con.failed = true;
        con.error = errno != 0 ? errno : EIO;
#ifdef _WIN32
        // Windows' C library says EINVAL for a pipe whose reader is gone; it is a broken pipe,
        // and is said as one, as everywhere else.
        const auto closed_pipe = [](unsigned long e) {
            return e == ERROR_NO_DATA || e == ERROR_BROKEN_PIPE || e == ERROR_PIPE_NOT_CONNECTED;
        };
        if (con.error == EINVAL && (closed_pipe(_doserrno) || closed_pipe(GetLastError())))
            con.error = EPIPE;
#endif
    }
}

} // namespace imgrebuild
