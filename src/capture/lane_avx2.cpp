// The AVX2 lane: thirty-two bytes at a time. Ten common tokens ("HH " ten times) are taken by
// one fixed shuffle; otherwise the bytes are classed in a vector, each token's value formed at
// its last digit, the tokens' ends found as bits, and the values gathered two bytes at a time
// (an end is always followed by a space, so two bytes hold at most one) through a table of
// shuffles. Header tokens are passed thirty-two bytes at a time.
#include <immintrin.h>

#include <cstdint>

#include "capture/frame_lanes.hpp"
#include "capture/frame_walk.hpp"

namespace imgrebuild {

namespace {

// For each 8-bit mask, the shuffle that gathers the bytes at its set bits to the front.
struct CompactTable {
    uint64_t shuffle[256];
};

constexpr CompactTable kCompact = [] {
    CompactTable t{};
    for (uint32_t m = 0; m < 256; ++m) {
        uint64_t s = 0;
        int32_t n = 0;
        for (uint32_t bit = 0; bit < 8; ++bit) {
            if ((m >> bit) & 1u)
                s |= uint64_t{bit} << (8 * n++);
        }
        for (; n < 8; ++n)
            s |= uint64_t{0x80} << (8 * n);
        t.shuffle[m] = s;
    }
    return t;
}();

inline uint32_t mask_of(__m256i m) {
    return static_cast<uint32_t>(_mm256_movemask_epi8(m));
}

inline __m256i load(const char* p) {
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}

inline __m256i bytes(char c) {
    return _mm256_set1_epi8(c);
}

// Writes the four to eight bytes of v picked by the 8-bit mask m, widened, to out.
inline int32_t gather(__m128i v, uint32_t m, int32_t* out) {
    const __m128i picked =
        _mm_shuffle_epi8(v, _mm_cvtsi64_si128(static_cast<long long>(kCompact.shuffle[m])));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), _mm256_cvtepu8_epi32(picked));
    return __builtin_popcount(m);
}

// Thirty-two bytes classed: the bytes, with the case of letters folded, hex digits, each
// byte's digit value (0 where no digit), and the masks of spaces and hex digits.
struct Classed {
    __m256i b, lower, hex, nib;
    uint32_t S, H;
};

inline Classed classify(const char* p) {
    Classed c;
    c.b = load(p);
    c.lower = _mm256_or_si256(c.b, bytes(0x20));
    const __m256i digit = _mm256_and_si256(_mm256_cmpgt_epi8(c.b, bytes('0' - 1)),
                                           _mm256_cmpgt_epi8(bytes('9' + 1), c.b));
    const __m256i letter = _mm256_and_si256(_mm256_cmpgt_epi8(c.lower, bytes('a' - 1)),
                                            _mm256_cmpgt_epi8(bytes('f' + 1), c.lower));
    c.hex = _mm256_or_si256(digit, letter);
    c.nib = _mm256_and_si256(
        _mm256_add_epi8(_mm256_and_si256(c.b, bytes(0x0F)), _mm256_and_si256(letter, bytes(9))),
        c.hex);
    c.S = mask_of(_mm256_cmpeq_epi8(c.b, bytes(' ')));
    c.H = mask_of(c.hex);
    return c;
}

// Each byte's digit value plus 16 times the one before it; `shifted` holds in its high half
// the low half of nib, and in its low half what comes before nib.
inline __m256i with_digit_before(__m256i nib, __m256i shifted) {
    return _mm256_or_si256(nib, _mm256_slli_epi16(_mm256_alignr_epi8(nib, shifted, 15), 4));
}

// Each pair of bytes as one: the odd byte where a token ends there, else the even one.
inline __m256i pack_pairs(__m256i value, __m256i end_v) {
    const __m256i odd = _mm256_srai_epi16(end_v, 15);
    const __m256i pick = _mm256_blendv_epi8(_mm256_and_si256(value, _mm256_set1_epi16(0x00FF)),
                                            _mm256_srli_epi16(value, 8), odd);
    return _mm256_packus_epi16(pick, pick);
}

// A bit for each pair of bytes that holds a token's end: sixteen bits.
inline uint32_t pairs_with_end(__m256i end_v) {
    const __m256i none = _mm256_cmpeq_epi16(end_v, _mm256_setzero_si256());
    const uint32_t with_end = ~mask_of(_mm256_packs_epi16(none, none));
    return (with_end & 0xFFu) | ((with_end >> 8) & 0xFF00u);
}

struct Avx2Lane {
    static bool pass_header(const char*& p, const char* end, int32_t& left) {
        return end - p >= 32 &&
               pass_header_window(p, mask_of(_mm256_cmpeq_epi8(load(p), bytes(' '))), left);
    }

    static int32_t collect(const char*& p, const char* end, int32_t* out, int32_t want) {
        int32_t n = 0;
        while (n < want && end - p >= 33) {
            const Classed c = classify(p);
            // Each token's value at its last digit: the digit before it (p[-1] is a space)
            // times 16 plus its own.
            const __m256i value = with_digit_before(
                c.nib, _mm256_permute2x128_si256(c.nib, c.nib, 0x08)); // nothing before p
            // Ten common tokens: digits at 0,1 3,4 ... 27,28 and spaces at 2, 5, ... 29.
            if (((c.S ^ 0x24924924u) | (c.H ^ 0x1B6DB6DBu)) << 2 == 0) {
                const __m256i ten = _mm256_shuffle_epi8(
                    value,
                    _mm256_setr_epi8(1, 4, 7, 10, 13, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, 0,
                                     3, 6, 9, 12, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n),
                                    _mm256_cvtepu8_epi32(_mm256_castsi256_si128(ten)));
                _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + n + 5),
                                    _mm256_cvtepu8_epi32(_mm256_extracti128_si256(ten, 1)));
                n += 10;
                p += 30;
                continue;
            }
            // Otherwise sixty-four bytes at a time where the line has them, else thirty-two.
            const bool wide = end - p >= 65;
            const Classed d = wide ? classify(p + 32) : Classed{};
            const __m256i value2 = with_digit_before(
                d.nib, _mm256_permute2x128_si256(d.nib, c.nib, 0x03)); // p[31] before p[32]
            const __m256i next_space = _mm256_cmpeq_epi8(load(p + 1), bytes(' '));
            const __m256i next_space2 =
                wide ? _mm256_cmpeq_epi8(load(p + 33), bytes(' ')) : _mm256_setzero_si256();
            const __m256i end_v = _mm256_and_si256(c.hex, next_space); // a digit, then a space
            const __m256i end_v2 = _mm256_and_si256(d.hex, next_space2);
            const uint64_t S = c.S | uint64_t{d.S} << 32;
            const uint64_t H = c.H | uint64_t{d.H} << 32;
            const uint64_t X = mask_of(_mm256_cmpeq_epi8(c.lower, bytes('x'))) |
                               uint64_t{mask_of(_mm256_cmpeq_epi8(d.lower, bytes('x')))} << 32;
            const uint64_t Z = mask_of(_mm256_cmpeq_epi8(c.b, bytes('0'))) |
                               uint64_t{mask_of(_mm256_cmpeq_epi8(d.b, bytes('0')))} << 32;
            const uint64_t Sn = mask_of(next_space) | uint64_t{mask_of(next_space2)} << 32;
            // The tokens taken (the skeleton reads the rest); past the bytes classed (the last
            // 32 when not wide) nothing is taken.
            const uint64_t valid = wide ? ~uint64_t{0} : uint64_t{0xFFFFFFFFu};
            const uint64_t ends = simple_token_ends(S, H, X, Z, Sn, valid);
            if (ends == 0)
                break;
            // Two bytes hold at most one end: keep the odd byte where the end is odd, then
            // pack each pair to one byte and gather the pairs that hold an end, up to the pair
            // of the last end taken (below it every end is taken).
            const int last_end = 63 - __builtin_clzll(ends);
            const uint64_t pairs =
                (pairs_with_end(end_v) | uint64_t{pairs_with_end(end_v2)} << 16) &
                ((uint64_t{2} << (last_end >> 1)) - 1);
            const __m256i packed = pack_pairs(value, end_v);
            n += gather(_mm256_castsi256_si128(packed), pairs & 0xFFu, out + n);
            n += gather(_mm256_extracti128_si256(packed, 1), (pairs >> 8) & 0xFFu, out + n);
            if (pairs >> 16 != 0) {
                const __m256i packed2 = pack_pairs(value2, end_v2);
                n += gather(_mm256_castsi256_si128(packed2), (pairs >> 16) & 0xFFu, out + n);
                n += gather(_mm256_extracti128_si256(packed2, 1), (pairs >> 24) & 0xFFu, out + n);
            }
            p += last_end + 2; // past the space after the last end
        }
        return n;
    }

    static int32_t find(const int32_t* v, int32_t n, int32_t x) {
        const __m256i want = _mm256_set1_epi32(x);
        const auto hit = [&](int32_t i) {
            return _mm256_cmpeq_epi32(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(v + i)),
                                      want);
        };
        int32_t i = 0;
        // Thirty-two at a time while none is there, the usual case.
        while (i + 32 <= n) {
            const __m256i any = _mm256_or_si256(_mm256_or_si256(hit(i), hit(i + 8)),
                                                _mm256_or_si256(hit(i + 16), hit(i + 24)));
            if (!_mm256_testz_si256(any, any))
                break;
            i += 32;
        }
        for (; i + 8 <= n; i += 8) {
            const uint32_t m = mask_of(hit(i));
            if (m != 0)
                return i + __builtin_ctz(m) / 4;
        }
        while (i < n && v[i] != x)
            ++i;
        return i;
    }
};

} // namespace

FrameStatus decode_avx2(const char* line, const char* end, Frame& frame) {
    return walk_frame<Avx2Lane>(line, end, frame);
}

} // namespace imgrebuild
