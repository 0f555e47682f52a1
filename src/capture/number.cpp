#include "capture/number.hpp"

namespace imgrebuild {

namespace {

// Magnitudes past this cannot be a 32-bit value of either sign; accumulation stops there.
constexpr int64_t kMagnitudeCap = int64_t{1} << 32;

} // namespace

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
        digit_value(p[2]) < 16)
        p += 2;
    if (p == end || digit_value(*p) >= base)
        return {0, NumberError::no_digits, start};
    int64_t magnitude = 0;
    for (; p < end && digit_value(*p) < base; ++p) {
        if (magnitude <= kMagnitudeCap)
            magnitude = magnitude * base + digit_value(*p);
    }
    const int64_t value = negative ? -magnitude : magnitude;
    if (value < INT32_MIN || value > INT32_MAX)
        return {0, NumberError::out_of_range, p};
    return {static_cast<int32_t>(value), NumberError::ok, p};
}

} // namespace imgrebuild
