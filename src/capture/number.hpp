// Reading integers and tokens from line text, with the C library's strtol rules but bounded
// by an end pointer and limited to 32 signed bits.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace imgrebuild {

// Why a number read stopped.
enum class NumberError : int32_t {
    ok,           // a number was read and fits in 32 signed bits
    no_digits,    // no digit where the number should start: `stop` is where the read began
    out_of_range, // digits were read, but the value is outside 32 signed bits
};

struct NumberRead {
    int32_t value;     // the number, when `error` is ok; 0 otherwise
    NumberError error; // why the read stopped
    const char* stop;  // first character not taken as part of the number
};

// Reads an integer in base 10 or 16 from [p, end): leading white space (space, tab, line
// feed, carriage return, vertical tab, form feed) is skipped, then an optional sign, then for
// base 16 an optional 0x or 0X, then digits. "0x" with no hex digit after it reads as 0 and
// stops after the 0.
NumberRead read_number(const char* p, const char* end, int32_t base);

// One token of a line: [begin, end). An empty token (begin == end) means none was left.
struct Token {
    const char* begin;
    const char* end;
};

// Takes the next token from [p, end) split at `separator`: runs of separators count as one
// and leading ones are skipped. Advances `p` past the token.
inline Token next_token(const char*& p, const char* end, char separator) {
    while (p < end && *p == separator)
        ++p;
    const char* const begin = p;
    while (p < end && *p != separator)
        ++p;
    return {begin, p};
}

// True for the white space that number reads skip and that a blank line may hold.
inline bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Value of a character as a digit up to base 16, or 99 for one that is no such digit.
constexpr int32_t digit_of(int32_t c) {
    return c >= '0' && c <= '9'   ? c - '0'
           : c >= 'a' && c <= 'f' ? c - 'a' + 10
           : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                  : 99;
}

// digit_of for every byte value, as a table.
inline constexpr std::array<uint8_t, 256> kDigitValue = [] {
    std::array<uint8_t, 256> t{};
    for (int32_t c = 0; c < 256; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<uint8_t>(digit_of(c));
    return t;
}();

// Value of a character as a digit up to base 16, or 99, by the table.
inline int32_t digit_value(char c) {
    return kDigitValue[static_cast<unsigned char>(c)];
}

} // namespace imgrebuild
