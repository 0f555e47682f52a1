// Compiler-specific spellings, behind macros so that every compiler builds the same code.
#pragma once

#if defined(__MINGW32__)
// Checks a printf-style format against its arguments (the C99 printf of mingw-w64).
#define IMGREBUILD_PRINTF(format_index, first_arg)                                                 \
    __attribute__((format(gnu_printf, format_index, first_arg)))
#elif defined(__GNUC__) || defined(__clang__)
// Checks a printf-style format against its arguments.
#define IMGREBUILD_PRINTF(format_index, first_arg)                                                 \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define IMGREBUILD_PRINTF(format_index, first_arg)
#endif

#include <cstdio>
#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace imgrebuild {

// Standard output takes every byte as it is, as on POSIX: the C runtime of Windows would turn
// each line feed into CR LF after the messages' own CR.
inline void binary_stdout() {
#ifdef _WIN32
    _setmode(_fileno(stdout), _O_BINARY);
#endif
}

} // namespace imgrebuild
