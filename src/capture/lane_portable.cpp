// The portable lane: plain C++ for any processor. Four common tokens ("HH ") at a time, through
// a table of every pair of characters; the skeleton reads every other token by itself.
#include <array>
#include <cstdint>

#include "capture/frame_lanes.hpp"
#include "capture/frame_walk.hpp"

namespace imgrebuild {

namespace {

// Value of each pair of characters read as two hex digits, or -1: indexed by the first
// character plus 256 times the second.
constexpr std::array<int16_t, 65536> kHexPair = [] {
    std::array<int16_t, 65536> t{};
    for (int32_t a = 0; a < 256; ++a) {
        for (int32_t b = 0; b < 256; ++b) {
            const int32_t hi = digit_of(a);
            const int32_t lo = digit_of(b);
            t[static_cast<size_t>(a + 256 * b)] =
                static_cast<int16_t>(hi < 16 && lo < 16 ? hi * 16 + lo : -1);
        }
    }
    return t;
}();

// The two characters at p read as hex digits, or -1.
inline int32_t pair_at(const char* p) {
    return kHexPair[static_cast<unsigned char>(p[0]) + 256u * static_cast<unsigned char>(p[1])];
}

struct PortableLane {
    static bool pass_header(const char*&, const char*, int32_t&) { return false; }

    static int32_t collect(const char*& p, const char* end, int32_t* out, int32_t want) {
        int32_t n = 0;
        while (n < want && end - p >= 12) {
            const int32_t v0 = pair_at(p), v1 = pair_at(p + 3), v2 = pair_at(p + 6),
                          v3 = pair_at(p + 9);
            const bool spaced = p[2] == ' ' && p[5] == ' ' && p[8] == ' ' && p[11] == ' ';
            if (!spaced || (v0 | v1 | v2 | v3) < 0)
                break;
            out[n] = v0;
            out[n + 1] = v1;
            out[n + 2] = v2;
            out[n + 3] = v3;
            n += 4;
            p += 12;
        }
        return n;
    }

    static int32_t find(const int32_t* v, int32_t n, int32_t x) {
        int32_t i = 0;
        while (i < n && v[i] != x)
            ++i;
        return i;
    }
};

} // namespace

FrameStatus decode_portable(const char* line, const char* end, Frame& frame) {
    return walk_frame<PortableLane>(line, end, frame);
}

} // namespace imgrebuild
