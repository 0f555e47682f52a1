#include "capture/frame.hpp"

#include <array>
#include <bit>
#include <cstddef>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define IMGREBUILD_SSE2 1
#endif

#include "capture/number.hpp"
#include "capture/slip.hpp"

namespace imgrebuild {

namespace {

constexpr int32_t kEsc = kSlipEsc;
constexpr int32_t kEscEnd = kSlipEscEnd;
constexpr int32_t kEscEsc = kSlipEscEsc;

bool is_blank(const char* p, const char* end) {
    for (; p < end; ++p) {
        if (!is_space(*p))
            return false;
    }
    return true;
}

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

// The token at p when it is written the common way, two hex digits and one space, else -1.
inline int32_t common_token(const char* p, const char* end) {
    if (end - p < 3 || p[2] != ' ')
        return -1;
    return pair_at(p);
}

// Where the next token starts: past the spaces at p.
inline const char* skip_spaces(const char* p, const char* end) {
    while (p < end && *p == ' ')
        ++p;
    return p;
}

// The token at p (p < end, *p not a space) when it is written one of the ways that read the
// same under every rule of the full read: one or two hex digits, or 0x or 0X and one or two
// hex digits, then a space. Its value goes to `value`, and the return is where the next token
// starts (past the run of spaces); nullptr for any other token, which the full read takes.
inline const char* simple_token(const char* p, const char* end, int32_t& value) {
    if (end - p < 5)
        return nullptr;
    const int32_t h0 = digit_value(*p);
    if (h0 >= 16)
        return nullptr;
    const int32_t h1 = digit_value(p[1]);
    if (h1 < 16) {
        if (p[2] != ' ')
            return nullptr;
        value = h0 * 16 + h1;
        p += 3;
    } else if (p[1] == ' ') {
        value = h0;
        p += 2;
    } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        const int32_t a = digit_value(p[2]);
        if (a >= 16)
            return nullptr;
        const int32_t b = digit_value(p[3]);
        if (b < 16 && p[4] == ' ') {
            value = a * 16 + b;
            p += 5;
        } else if (p[3] == ' ') {
            value = a;
            p += 4;
        } else {
            return nullptr;
        }
    } else {
        return nullptr;
    }
    while (p < end && *p == ' ')
        ++p;
    return p;
}

// The walk's state, as the token loop of decode_frame keeps it.
struct Walk {
    int32_t out;      // values written
    int32_t previous; // the last token's raw value, for the escape pairs; -1 before the first
};

// Adds one payload token's value to the walk: an escape pair folds into the value before it.
inline void take(Frame& frame, Walk& w, int32_t v) {
    if (w.previous == kEsc && v == kEscEnd) {
        frame.rda[w.out - 1] = 0xC0;
    } else if (w.previous == kEsc && v == kEscEsc) {
        frame.rda[w.out - 1] = 0xDB;
    } else {
        frame.rda[w.out++] = v;
    }
    w.previous = v;
}

#ifdef IMGREBUILD_SSE2
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

// Five tokens written the common way, "HH HH HH HH HH ", in the 15 bytes at p (16 readable):
// true with their values in v[0], v[3], v[6], v[9] and v[12].
inline bool five_common_tokens(const char* p, uint8_t v[16]) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hex;
    const __m128i nibble = nibbles(b, hex);
    const int digits = _mm_movemask_epi8(hex);
    const int spaces = _mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8(' ')));
    // Digits at 0,1 3,4 6,7 9,10 12,13; spaces at 2, 5, 8, 11, 14.
    if ((digits & 0x36DB) != 0x36DB || (spaces & 0x4924) != 0x4924)
        return false;
    const __m128i high = _mm_and_si128(_mm_slli_epi16(nibble, 4), _mm_set1_epi8(char(0xF0)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v), _mm_or_si128(high, _mm_srli_si128(nibble, 1)));
    return true;
}

// Passes as many of the `left` header tokens as the 16 bytes at p (p[-1] is a space) complete,
// counting tokens as the runs of bytes that are no space. Leaves p on the first payload token
// once the header is passed, else just past the last space of the bytes. False when the bytes
// hold no space at all.
inline bool pass_header_tokens(const char*& p, int32_t& left) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    const unsigned S =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8(' '))));
    if (S == 0)
        return false;
    unsigned starts = ~S & ((S << 1) | 1u) & 0xFFFFu;
    const int last_space = std::bit_width(S) - 1;
    const int complete = std::popcount(starts & ((1u << last_space) - 1));
    if (complete < left) {
        left -= complete;
        p += last_space + 1;
        return true;
    }
    for (int32_t k = 0; k < left; ++k)
        starts &= starts - 1;
    p += starts != 0 ? std::countr_zero(starts) : last_space + 1;
    left = 0;
    return true;
}

// Takes every payload token of the 16 bytes at p (p[-1] is a space, 16 bytes readable) that
// is written one of the simple ways (one or two hex digits, optionally after 0x or 0X) and is
// followed by a space inside them, in one go: the bytes are classed in a vector, the tokens'
// ends found as bits, and each token's value is its last two digits. False, with nothing
// taken, when the bytes hold no such token or one written any other way before the last one
// taken; the token loop then reads the next token by itself. Otherwise p moves past the space
// after the last token taken (or stays anywhere once the walk is complete).
inline bool simple_tokens(const char*& p, Frame& frame, Walk& w) {
    const __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
    __m128i hex_now, hex_before;
    const __m128i now = nibbles(b, hex_now);
    const __m128i before =
        nibbles(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p - 1)), hex_before);
    const unsigned S =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8(' '))));
    const unsigned H = static_cast<unsigned>(_mm_movemask_epi8(hex_now));
    const unsigned X = static_cast<unsigned>(_mm_movemask_epi8(
        _mm_cmpeq_epi8(_mm_or_si128(b, _mm_set1_epi8(0x20)), _mm_set1_epi8('x'))));
    const unsigned Z =
        static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(b, _mm_set1_epi8('0'))));
    // Only the bytes before the first one that is no space, hex digit or x count.
    const unsigned other = ~(S | H | X) & 0xFFFFu;
    const unsigned usable = other != 0 ? (other & (0u - other)) - 1 : 0xFFFFu;
    const unsigned N = (H | X) & usable;
    const unsigned ends = N & (S >> 1); // a token's last byte: a space follows
    if (ends == 0)
        return false;
    const int last = std::bit_width(ends) - 1; // the last token's last byte
    const unsigned region = (2u << last) - 1;
    const unsigned starts = N & ((S << 1) | 1u);
    // An x only as the second byte of a token whose first is 0, with a digit after it; never
    // three digits in a row (a third would change the value).
    const bool simple = (X & region & ~((Z & starts) << 1)) == 0 && (X & region & ~(H >> 1)) == 0 &&
                        (H & (H << 1) & (H << 2) & region) == 0;
    if (!simple)
        return false;
    alignas(16) uint8_t value[16];
    const __m128i high = _mm_and_si128(_mm_slli_epi16(_mm_and_si128(before, hex_before), 4),
                                       _mm_set1_epi8(static_cast<char>(0xF0)));
    _mm_store_si128(reinterpret_cast<__m128i*>(value), _mm_or_si128(now, high));
    for (unsigned e = ends; e != 0 && w.out < kFrameValues; e &= e - 1)
        take(frame, w, value[std::countr_zero(e)]);
    p += last + 2;
    return true;
}
#endif

// Reads the hexadecimal token that starts at p (p < end, *p not a space) the full way, and
// leaves p past it. False when the token is not a number.
bool read_hex_token(const char*& p, const char* end, int32_t& value) {
    const Token t = next_token(p, end, ' ');
    const NumberRead v = read_number(t.begin, t.end, 16);
    value = v.value;
    return v.error == NumberError::ok;
}

} // namespace

FrameStatus decode_frame(const char* line, const char* end, Frame& frame) {
    if (is_blank(line, end))
        return FrameStatus::blank;
    // After each token p steps over the one space that usually follows it, so that the next
    // token is normally found right there, written the common way.
    const char* p = skip_spaces(line, end);
    if (!read_hex_token(p, end, frame.id))
        return FrameStatus::bad_id;
    p += p < end;
    if (frame.id != 0xC0 && frame.id != 0xC1)
        return FrameStatus::not_image;
    int32_t header = kPayloadToken - 1; // header tokens still to pass, unread
#ifdef IMGREBUILD_SSE2
    while (header > 0 && end - p >= 16 && p[-1] == ' ' && pass_header_tokens(p, header)) {
    }
#endif
    for (; header > 0; --header) {
        if (common_token(p, end) >= 0) {
            p += 3;
            continue;
        }
        p = skip_spaces(p, end);
        if (p == end)
            return FrameStatus::short_line;
        while (p < end && *p != ' ')
            ++p;
        p += p < end;
    }

    // Walk the payload: each escape pair folds into the value before it and lengthens the
    // walk by one token, so the walk always yields exactly kFrameValues values. The pair test
    // compares raw tokens and never looks before the payload's first token.
    Walk w{0, -1};
    while (w.out < kFrameValues) {
#ifdef IMGREBUILD_SSE2
        // Five common tokens at once while no escape byte is near: the usual case.
        alignas(16) uint8_t five[16];
        if (w.previous != kEsc && w.out + 5 <= kFrameValues && end - p >= 16 &&
            five_common_tokens(p, five) && five[0] != kEsc && five[3] != kEsc && five[6] != kEsc &&
            five[9] != kEsc) {
            for (int32_t k = 0; k < 5; ++k)
                frame.rda[w.out + k] = five[3 * k];
            w.out += 5;
            w.previous = five[12];
            p += 15;
            continue;
        }
        // A window of simple tokens, however they are written and spaced.
        if (end - p >= 16 && p[-1] == ' ' && simple_tokens(p, frame, w))
            continue;
#else
        // Four common tokens at once while no escape byte is near: the usual case.
        if (w.previous != kEsc && w.out + 4 <= kFrameValues && end - p >= 12) {
            const int32_t v0 = pair_at(p), v1 = pair_at(p + 3), v2 = pair_at(p + 6),
                          v3 = pair_at(p + 9);
            const bool spaced = p[2] == ' ' && p[5] == ' ' && p[8] == ' ' && p[11] == ' ';
            if (spaced && (v0 | v1 | v2 | v3) >= 0 && v0 != kEsc && v1 != kEsc && v2 != kEsc) {
                frame.rda[w.out] = v0;
                frame.rda[w.out + 1] = v1;
                frame.rda[w.out + 2] = v2;
                frame.rda[w.out + 3] = v3;
                w.out += 4;
                w.previous = v3;
                p += 12;
                continue;
            }
        }
#endif
        int32_t v = 0;
        if (const char* next = simple_token(p, end, v); next != nullptr) {
            p = next;
        } else {
            p = skip_spaces(p, end);
            if (p == end)
                return FrameStatus::short_line;
            if (!read_hex_token(p, end, v))
                return FrameStatus::bad_token;
            p += p < end;
        }
        take(frame, w, v);
    }

    const uint32_t counter = (static_cast<uint32_t>(frame.rda[0]) << 16) |
                             (static_cast<uint32_t>(frame.rda[1]) << 8) |
                             static_cast<uint32_t>(frame.rda[2]);
    frame.counter = static_cast<int32_t>(counter);
    return frame.counter < 0 ? FrameStatus::bad_counter : FrameStatus::ok;
}

} // namespace imgrebuild
