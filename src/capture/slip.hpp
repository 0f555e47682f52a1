// The escaping of a frame's payload: C0 and DB never stand alone in it, each goes as a pair of
// values. The decoder undoes the pairs; a sender (framesim) makes them.
#pragma once

#include <cstdint>

namespace imgrebuild {

inline constexpr int32_t kSlipEnd = 0xC0;    // never sent alone in a payload
inline constexpr int32_t kSlipEsc = 0xDB;    // starts a pair
inline constexpr int32_t kSlipEscEnd = 0xDC; // DB DC stands for C0
inline constexpr int32_t kSlipEscEsc = 0xDD; // DB DD stands for DB

// Writes the values that carry payload value `v` (0 to 255) to `out`: one value, or the pair
// that stands for it. Returns how many (1 or 2).
inline int32_t slip_escape(int32_t v, int32_t out[2]) {
    if (v == kSlipEnd || v == kSlipEsc) {
        out[0] = kSlipEsc;
        out[1] = v == kSlipEnd ? kSlipEscEnd : kSlipEscEsc;
        return 2;
    }
    out[0] = v;
    return 1;
}

} // namespace imgrebuild
