// Decoding one frame line: identifier, header, SLIP-escaped payload, frame counter.
#pragma once

#include <cstdint>

#include "limits.hpp"

namespace imgrebuild {

// Outcome of decoding a frame line. Only `ok` frames are marked and placed.
enum class FrameStatus : int32_t {
    ok,          // a whole, sound frame: `counter` and `rda` hold it
    blank,       // the line is empty or holds only white space: skipped without a word
    bad_id,      // the identifier is not a number
    not_image,   // the identifier is a number other than 0xC0 and 0xC1: `id` holds it
    short_line,  // the line ran out of tokens before the payload was unescaped
    bad_token,   // a payload token that the unescaping consumes is not a number
    bad_counter, // the frame counter, formed in 32 bits, is negative
};

struct Frame {
    int32_t id;                // token 0
    int32_t counter;           // 24-bit counter from values 0 to 2
    int32_t rda[kFrameValues]; // the unescaped payload; data bytes are values 4 to 166
};

// True when the frame is refused with "line %d is not a valid frame.".
inline bool is_invalid(FrameStatus s) {
    return s == FrameStatus::bad_id || s == FrameStatus::short_line ||
           s == FrameStatus::bad_token || s == FrameStatus::bad_counter;
}

// Decodes the frame line [line, end). Tokens are split at spaces and read as hexadecimal;
// header tokens 1 to 18, and tokens after the payload, are skipped unread.
FrameStatus decode_frame(const char* line, const char* end, Frame& frame);

} // namespace imgrebuild
