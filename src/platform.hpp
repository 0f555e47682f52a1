// Compiler-specific spellings, behind macros so that every compiler builds the same code.
#pragma once

#if defined(__GNUC__) || defined(__clang__)
// Checks a printf-style format against its arguments.
#define IMGREBUILD_PRINTF(format_index, first_arg)                                                 \
    __attribute__((format(printf, format_index, first_arg)))
#else
#define IMGREBUILD_PRINTF(format_index, first_arg)
#endif
