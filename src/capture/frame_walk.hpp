// The skeleton every decoding lane is built on: the identifier, the header, the payload walk
// with its escape pairs, the counter, and every rule that refuses a line. A lane only finds
// and converts tokens (see the Lane interface below); the skeleton decides what they mean.
//
// Each lane's source file includes this header once and is compiled with its own target flags.
// Everything here sits in an unnamed namespace and calls no inline function of another header,
// so no code compiled for one lane can be linked into another (a processor without AVX2 never
// runs an instruction it lacks).
#pragma once

#include <cstdint>
#include <cstring>

#include "capture/frame.hpp"
#include "capture/number.hpp"
#include "capture/slip.hpp"
#include "limits.hpp"

namespace imgrebuild {
namespace {

// The escape pairs, as the sender makes them (constants only: no code of slip.hpp is called).
constexpr int32_t kEsc = kSlipEsc;
constexpr int32_t kEscEnd = kSlipEscEnd; // DB DC stands for C0
constexpr int32_t kEscEsc = kSlipEscEsc; // DB DD stands for DB

// Most payload tokens a walk can take: each value may come from an escape pair.
constexpr int32_t kWalkTokens = 2 * kFrameValues;
// Values a lane may write past the ones it was asked for (its last window, its wide stores).
constexpr int32_t kTokenSlack = 64;

// A lane is a type with three static functions:
//
//   bool pass_header(const char*& p, const char* end, int32_t& left);
//     p[-1] is a space and p < end. Passes whole header tokens, at most `left`, counting a
//     token as a run of bytes that are no space; lowers `left` by the tokens passed and leaves
//     p just after a space. False, with nothing passed, when it cannot go on here.
//
//   int32_t collect(const char*& p, const char* end, int32_t* out, int32_t want);
//     p[-1] is a space and p <= end. Appends to `out` the values of the tokens from p on that
//     are written one of the simple ways (one or two hex digits, with or without 0x or 0X)
//     and followed by a space, in order, until `want` or more are appended (never more than
//     want + kTokenSlack - 16 values, never writing past want + kTokenSlack) or the next
//     token is any other, or too near the end. Returns how many; p moves past the space after
//     the last one taken.
//
//   int32_t find(const int32_t* v, int32_t n, int32_t x);
//     Index of the first of v[0..n) equal to x; n when none is.

// The steps the SIMD lanes share, on masks of a window of bytes (bit k for the byte at p + k).

// Passes header tokens in a window of up to 32 bytes at p (p[-1] is a space) whose spaces are
// the set bits of `S`: as Lane::pass_header, but never false when S has a space. Tokens are
// runs of bytes that are no space; a token is whole when a space in the window ends it. Bits
// past the window need no mask: the only start they can hold is the byte after a space that
// ends the window, which is where p goes then anyway.
inline bool pass_header_window(const char*& p, uint32_t S, int32_t& left) {
    if (S == 0)
        return false;
    uint32_t starts = ~S & ((S << 1) | 1u);
    const int last_space = 31 - __builtin_clz(S);
    // The tokens that start before the last space end at it or before: they are whole.
    const int whole = __builtin_popcount(starts & ((1u << last_space) - 1));
    if (whole < left) {
        left -= whole;
        p += last_space + 1;
        return true;
    }
    for (int32_t k = 0; k < left; ++k)
        starts &= starts - 1;
    p += starts != 0 ? __builtin_ctz(starts) : last_space + 1;
    left = 0;
    return true;
}

// The last bytes of the tokens a window can take at once, from masks of its bytes: S spaces,
// H hex digits, X the letter x either case, Z the digit 0, Sn bytes a space follows, `valid`
// the bytes classed. Only tokens written one of the simple ways are taken, in order, up to the
// first byte that is no space, hex digit or x, and the first fault: an x only as the second
// byte of a token whose first is 0, with a digit after it; never three digits in a row (a
// third would change the value). A token is taken only when a space follows it.
template <class Mask> Mask simple_token_ends(Mask S, Mask H, Mask X, Mask Z, Mask Sn, Mask valid) {
    const Mask zero_first = Z & ((S << 1) | 1u);
    const Mask bad = (X & ~((zero_first << 1) & (H >> 1))) | (H & (H << 1) & (H << 2));
    const Mask stop = ~(S | H | X) | bad | ~valid;
    return H & Sn & ~stop & (stop - 1);
}

// Value of a character as a hex digit, or 99.
inline int32_t hex_of(char c) {
    return kDigitValue[static_cast<unsigned char>(c)];
}

inline bool blank_char(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

inline bool is_blank_line(const char* p, const char* end) {
    for (; p < end; ++p) {
        if (!blank_char(*p))
            return false;
    }
    return true;
}

inline const char* past_spaces(const char* p, const char* end) {
    while (p < end && *p == ' ')
        ++p;
    return p;
}

// Reads the token that starts at p (p < end, *p not a space) by the full rules, and leaves p
// past it. False when the token is not a number.
bool read_full_token(const char*& p, const char* end, int32_t& value) {
    const char* const begin = p;
    while (p < end && *p != ' ')
        ++p;
    const NumberRead v = read_number(begin, p, 16);
    value = v.value;
    return v.error == NumberError::ok;
}

// The token at p (p < end) when it starts with two hex digits and a third byte, no hex digit,
// follows them: the full read takes just those two digits, whatever else the token holds. Its
// value goes to `value` and p moves past the token and the space after it. False otherwise.
inline bool two_digit_token(const char*& p, const char* end, int32_t& value) {
    if (end - p < 3)
        return false;
    const int32_t h0 = hex_of(p[0]);
    const int32_t h1 = hex_of(p[1]);
    if ((h0 | h1) >= 16 || hex_of(p[2]) < 16)
        return false;
    value = h0 * 16 + h1;
    p += 2;
    while (p < end && *p != ' ')
        ++p;
    p += p < end;
    return true;
}

// The token at p (p < end, *p not a space) when it is written one of the simple ways and a
// space follows it: its value goes to `value`, and the return is where the next token starts
// (past the run of spaces). nullptr for any other token.
inline const char* simple_token(const char* p, const char* end, int32_t& value) {
    if (end - p < 5)
        return nullptr;
    const int32_t h0 = hex_of(*p);
    if (h0 >= 16)
        return nullptr;
    const int32_t h1 = hex_of(p[1]);
    if (h1 < 16) {
        if (p[2] != ' ')
            return nullptr;
        value = h0 * 16 + h1;
        p += 3;
    } else if (p[1] == ' ') {
        value = h0;
        p += 2;
    } else if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
        const int32_t a = hex_of(p[2]);
        if (a >= 16)
            return nullptr;
        const int32_t b = hex_of(p[3]);
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
    return past_spaces(p, end);
}

// Reads one payload token the plain way into `value`: ok, short_line when the line has no
// token left, or bad_token when it is no number. p[-1] stays a space, or p reaches the end.
inline FrameStatus one_payload_token(const char*& p, const char* end, int32_t& value) {
    if (const char* next = simple_token(p, end, value); next != nullptr) {
        p = next;
        return FrameStatus::ok;
    }
    p = past_spaces(p, end);
    if (p == end)
        return FrameStatus::short_line;
    if (two_digit_token(p, end, value))
        return FrameStatus::ok;
    if (!read_full_token(p, end, value))
        return FrameStatus::bad_token;
    p += p < end;
    return FrameStatus::ok;
}

// Decodes the frame line [line, end) with the lane `Lane` finding and converting tokens.
template <class Lane> FrameStatus walk_frame(const char* line, const char* end, Frame& frame) {
    if (is_blank_line(line, end))
        return FrameStatus::blank;
    // After each token p steps over the one space that follows it (or reaches the end), so
    // p[-1] is a space whenever p < end from here on.
    const char* p = past_spaces(line, end);
    if (!two_digit_token(p, end, frame.id)) {
        if (!read_full_token(p, end, frame.id))
            return FrameStatus::bad_id;
        p += p < end;
    }
    if (frame.id != 0xC0 && frame.id != 0xC1)
        return FrameStatus::not_image;

    // Header tokens 1 to 18 are passed unread.
    int32_t header = kPayloadToken - 1;
    while (header > 0) {
        if (p < end && Lane::pass_header(p, end, header))
            continue;
        if (end - p >= 3 && p[2] == ' ' && hex_of(p[0]) < 16 && hex_of(p[1]) < 16) {
            p += 3; // the usual "HH "
        } else {
            p = past_spaces(p, end);
            if (p == end)
                return FrameStatus::short_line;
            while (p < end && *p != ' ')
                ++p;
            p += p < end;
        }
        --header;
    }

    // The payload walk over raw tokens: token k is needed while fewer than kFrameValues values
    // are out. An escape pair is a DB token followed by a DC or DD token; the pair gives one
    // value (C0 or DB) in the DB's place and lengthens the walk by one token. The pair test
    // compares raw tokens and never looks before the payload's first token.
    int32_t tokens[kWalkTokens + kTokenSlack];
    int32_t have = 0; // tokens read
    int32_t k = 0;    // tokens taken by the walk
    int32_t out = 0;  // values written
    while (out < kFrameValues) {
        // Each token gives at most one value: the next `stretch` tokens are all needed.
        const int32_t stretch = kFrameValues - out;
        while (have < k + stretch) {
            const int32_t got = Lane::collect(p, end, tokens + have, k + stretch - have);
            if (got > 0) {
                have += got;
                continue;
            }
            const FrameStatus status = one_payload_token(p, end, tokens[have]);
            if (status != FrameStatus::ok)
                return status;
            ++have;
        }
        const int32_t esc = k + Lane::find(tokens + k, stretch, kEsc);
        const int32_t upto = esc < k + stretch ? esc + 1 : k + stretch;
        std::memcpy(frame.rda + out, tokens + k, sizeof(int32_t) * static_cast<size_t>(upto - k));
        out += upto - k;
        k = upto;
        // An escape before the last value: its next token was read (esc < have - 1).
        if (out < kFrameValues && tokens[k] == kEscEnd) {
            frame.rda[out - 1] = kSlipEnd;
            ++k;
        } else if (out < kFrameValues && tokens[k] == kEscEsc) {
            ++k; // DB DD stands for the DB already written
        }
    }

    const uint32_t counter = (static_cast<uint32_t>(frame.rda[0]) << 16) |
                             (static_cast<uint32_t>(frame.rda[1]) << 8) |
                             static_cast<uint32_t>(frame.rda[2]);
    frame.counter = static_cast<int32_t>(counter);
    return frame.counter < 0 ? FrameStatus::bad_counter : FrameStatus::ok;
}

} // namespace
} // namespace imgrebuild
