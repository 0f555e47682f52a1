// The SSE2 lane: five common tokens ("HH HH HH HH HH ") at a time, else sixteen bytes at a
// time: the bytes are classed in a vector, the tokens' ends found as bits, and every token
// written one of the simple ways is taken at once. Header tokens are passed sixteen bytes at a
// time.
#include <emmintrin.h>

#include <cstdint>

#include "capture/frame_lanes.hpp"
#include "capture/frame_walk.hpp"

namespace imgrebuild {

namespace {

// Nibble values of the hex digits of b, and a mask of which bytes are hex digits.
inline __m128i nibbles(__m128i b, __m128i& hex) {
    const auto within = [](__m128i x, char lo, char hi) {
        return _mm_and_si128(_mm_cmpeq_epi8(_mm_max_epu8(x, _mm_set1_epi8(lo)), x),
                             _mm_cmpeq_epi8(_mm_min_epu8(x, _mm_set1_epi8(hi)), x));
    };
    const __m128i letter = within(_mm_or_si128(b, _mm_set1_epi8(0x20)), 'a', 'f');
    hex = _mm_or_si128(within(b, '0', '9'), letter);
    return _mm_add_epi8(_mm_and_si128(b, _mm_set1_epi8(0x0F)),
                        _mm_and_si128(letter, _mm_set1_epi8(9)));
}

inline unsigned mask_of(__m128i m) {
    return static_cast<unsigned>(_mm_movemask_epi8(m));
}

// Five tokens written the common way, "HH HH HH HH HH ", in the 15 bytes at p (16 readable):
// true with their values in v[0], v[3], v[6], v[9] and v[12].
inline bool five_common_tokens(const char* p, uint8_t v[16]) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hex;
    const __m128i nibble = nibbles(b, hex);
    const unsigned digits = mask_of(hex);
    const unsigned spaces = mask_of(_mm_cmpeq_epi8(b, _mm_set1_epi8(' ')));
    // Digits at 0,1 3,4 6,7 9,10 12,13; spaces at 2, 5, 8, 11, 14.
    if ((digits & 0x36DB) != 0x36DB || (spaces & 0x4924) != 0x4924)
        return false;
    const __m128i high = _mm_and_si128(_mm_slli_epi16(nibble, 4), _mm_set1_epi8(char(0xF0)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v), _mm_or_si128(high, _mm_srli_si128(nibble, 1)));
    return true;
}

// The simple tokens of the 16 bytes at p (p[-1] is a space, 16 bytes readable) that a space
// follows inside them, up to the first token written any other way: their values go to out,
// and the return is their count (0 when there is none); p moves past the space after the last.
inline int32_t simple_tokens(const char*& p, int32_t* out) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hex_now, hex_before;
    const __m128i now = nibbles(b, hex_now);
    const __m128i before =
        nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1)), hex_before);
    const unsigned S = mask_of(_mm_cmpeq_epi8(b, _mm_set1_epi8(' ')));
    const unsigned H = mask_of(hex_now);
    const unsigned X =
        mask_of(_mm_cmpeq_epi8(_mm_or_si128(b, _mm_set1_epi8(0x20)), _mm_set1_epi8('x')));
    const unsigned Z = mask_of(_mm_cmpeq_epi8(b, _mm_set1_epi8('0')));
    // A token's last byte is taken when a space follows it inside the window.
    const unsigned ends = simple_token_ends(S, H, X, Z, S >> 1, 0xFFFFu);
    if (ends == 0)
        return 0;
    alignas(16) uint8_t value[16];
    const __m128i high = _mm_and_si128(_mm_slli_epi16(_mm_and_si128(before, hex_before), 4),
                                       _mm_set1_epi8(static_cast<char>(0xF0)));
    _mm_store_si128(reinterpret_cast<__m128i*>(value), _mm_or_si128(now, high));
    int32_t n = 0;
    for (unsigned e = ends; e != 0; e &= e - 1)
        out[n++] = value[__builtin_ctz(e)];
    p += 32 - __builtin_clz(ends) + 1; // past the space after the last end
    return n;
}

struct Sse2Lane {
    static bool pass_header(const char*& p, const char* end, int32_t& left) {
        return end - p >= 16 &&
               pass_header_window(
                   p,
                   mask_of(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)),
                                          _mm_set1_epi8(' '))),
                   left);
    }

    static int32_t collect(const char*& p, const char* end, int32_t* out, int32_t want) {
        int32_t n = 0;
        while (n < want && end - p >= 16) {
            alignas(16) uint8_t five[16];
            if (five_common_tokens(p, five)) {
                for (int32_t k = 0; k < 5; ++k)
                    out[n + k] = five[3 * k];
                n += 5;
                p += 15;
                continue;
            }
            const int32_t got = simple_tokens(p, out + n);
            if (got == 0)
                break;
            n += got;
        }
        return n;
    }

    static int32_t find(const int32_t* v, int32_t n, int32_t x) {
        const __m128i want = _mm_set1_epi32(x);
        int32_t i = 0;
        for (; i + 4 <= n; i += 4) {
            const unsigned m = mask_of(
                _mm_cmpeq_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(v + i)), want));
            if (m != 0)
                return i + __builtin_ctz(m) / 4;
        }
        while (i < n && v[i] != x)
            ++i;
        return i;
    }
};

} // namespace

FrameStatus decode_sse2(const char* line, const char* end, Frame& frame) {
    return walk_frame<Sse2Lane>(line, end, frame);
}

} // namespace imgrebuild
