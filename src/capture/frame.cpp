#include "capture/frame.hpp"

#include <array>
#include <cstddef>

#include "capture/number.hpp"

namespace imgrebuild {

namespace {

constexpr int32_t kEsc = 0xDB;
constexpr int32_t kEscEnd = 0xDC; // DB DC stands for C0
constexpr int32_t kEscEsc = 0xDD; // DB DD stands for DB

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
    for (int32_t k = 1; k < kPayloadToken; ++k) {
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
    int32_t out = 0;
    int32_t previous = -1;
    while (out < kFrameValues) {
        // Four common tokens at once while no escape byte is near: the usual case.
        if (previous != kEsc && out + 4 <= kFrameValues && end - p >= 12) {
            const int32_t v0 = pair_at(p), v1 = pair_at(p + 3), v2 = pair_at(p + 6),
                          v3 = pair_at(p + 9);
            const bool spaced = p[2] == ' ' && p[5] == ' ' && p[8] == ' ' && p[11] == ' ';
            if (spaced && (v0 | v1 | v2 | v3) >= 0 && v0 != kEsc && v1 != kEsc && v2 != kEsc) {
                frame.rda[out] = v0;
                frame.rda[out + 1] = v1;
                frame.rda[out + 2] = v2;
                frame.rda[out + 3] = v3;
                out += 4;
                previous = v3;
                p += 12;
                continue;
            }
        }
        int32_t v = common_token(p, end);
        if (v >= 0) {
            p += 3;
        } else {
            p = skip_spaces(p, end);
            if (p == end)
                return FrameStatus::short_line;
            if (!read_hex_token(p, end, v))
                return FrameStatus::bad_token;
            p += p < end;
        }
        if (previous == kEsc && v == kEscEnd) {
            frame.rda[out - 1] = 0xC0;
        } else if (previous == kEsc && v == kEscEsc) {
            frame.rda[out - 1] = 0xDB;
        } else {
            frame.rda[out++] = v;
        }
        previous = v;
    }

    const uint32_t counter = (static_cast<uint32_t>(frame.rda[0]) << 16) |
                             (static_cast<uint32_t>(frame.rda[1]) << 8) |
                             static_cast<uint32_t>(frame.rda[2]);
    frame.counter = static_cast<int32_t>(counter);
    return frame.counter < 0 ? FrameStatus::bad_counter : FrameStatus::ok;
}

} // namespace imgrebuild
