#include "capture/number.hpp"

#include <array>
#include <cstddef>

namespace imgrebuild {

namespace {

// Digit value of each byte, or 99 for a byte that is no digit in any base up to 16.
constexpr std::array<uint8_t, 256> kDigit = [] {
    std::array<uint8_t, 256> t{};
    for (auto& v : t)
        v = 99;
    for (int c = '0'; c <= '9'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - '0');
    for (int c = 'a'; c <= 'f'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - 'a' + 10);
    for (int c = 'A'; c <= 'F'; ++c)
        t[static_cast<std::size_t>(c)] = static_cast<uint8_t>(c - 'A' + 10);
    return t;
}();

int32_t digit(char c) {
    return kDigit[static_cast<unsigned char>(c)];
}

// Magnitudes past this cannot be a 32-bit value of either sign; accumulation stops there.
constexpr int64_t kMagnitudeCap = int64_t{1} << 32;

} // namespace

bool is_space(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

NumberRead read_number(const char* p, const char* end, int32_t base) {
    const char* const start = p;
    while (p < end && is_space(*p))
        ++p;
    bool negative = false;
    if (p < end && (*p == '+' || *p == '-')) {
        negative = *p == '-';
        ++p;
    }
    // A prefix counts only when a hex digit follows it; otherwise the 0 alone is the number.
    if (base == 16 && end - p >= 3 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X') &&
        digit(p[2]) < 16)
        p += 2;
    if (p == end || digit(*p) >= base)
        return {0, NumberError::no_digits, start};
    int64_t magnitude = 0;
    for (; p < end && digit(*p) < base; ++p) {
        if (magnitude <= kMagnitudeCap)
            magnitude = magnitude * base + digit(*p);
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX)
        return {0, NumberError::out_of_range, p};
    return {static_cast<int32_t>(value), NumberError::ok, p};
}

Token next_token(const char*& p, const char* end, char separator) {
    while (p < end && *p == separator)
        ++p;
    const char* const begin = p;
    while (p < end && *p != separator)
        ++p;
    return {begin, p};
}

} // namespace imgrebuild
