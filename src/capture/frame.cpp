#include "capture/frame.hpp"

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

} // namespace

FrameStatus decode_frame(const char* line, const char* end, Frame& frame) {
    if (is_blank(line, end))
        return FrameStatus::blank;
    const char* p = line;
    const Token id = next_token(p, end, ' ');
    const NumberRead idv = read_number(id.begin, id.end, 16);
    if (idv.error != NumberError::ok)
        return FrameStatus::bad_id;
    frame.id = idv.value;
    if (frame.id != 0xC0 && frame.id != 0xC1)
        return FrameStatus::not_image;
    for (int32_t k = 1; k < kPayloadToken; ++k) {
        if (next_token(p, end, ' ').begin == end)
            return FrameStatus::short_line;
    }

    // Walk the payload: each escape pair folds into the value before it and lengthens the
    // walk by one token, so the walk always yields exactly kFrameValues values. The pair test
    // compares raw tokens and never looks before the payload's first token.
    int32_t out = 0;
    int32_t previous = -1;
    while (out < kFrameValues) {
        const Token t = next_token(p, end, ' ');
        if (t.begin == end)
            return FrameStatus::short_line;
        const NumberRead v = read_number(t.begin, t.end, 16);
        if (v.error != NumberError::ok)
            return FrameStatus::bad_token;
        if (previous == kEsc && v.value == kEscEnd) {
            frame.rda[out - 1] = 0xC0;
        } else if (previous == kEsc && v.value == kEscEsc) {
            frame.rda[out - 1] = 0xDB;
        } else {
            frame.rda[out++] = v.value;
        }
        previous = v.value;
    }

    const uint32_t counter = (static_cast<uint32_t>(frame.rda[0]) << 16) |
                             (static_cast<uint32_t>(frame.rda[1]) << 8) |
                             static_cast<uint32_t>(frame.rda[2]);
    frame.counter = static_cast<int32_t>(counter);
    return frame.counter < 0 ? FrameStatus::bad_counter : FrameStatus::ok;
}

} // namespace imgrebuild
