#include "capture/line_reader.hpp"

#include <algorithm>
#include <cstring>

namespace imgrebuild {

namespace {

// Makes sure a byte is waiting in the buffer; false at the end of the file or on a failed read.
bool refill(LineReader& r) {
    if (r.pos < r.fill)
        return true;
    if (r.at_end || r.failed)
        return false;
    const size_t got = std::fread(r.buf, 1, static_cast<size_t>(r.chunk), r.file);
    r.pos = 0;
    r.fill = static_cast<int32_t>(got);
    r.taken += static_cast<int64_t>(got);
    if (got > 0)
        return true;
    if (std::ferror(r.file))
        r.failed = true;
    else
        r.at_end = true;
    return false;
}

} // namespace

void reader_open(LineReader& reader, std::FILE* file, int32_t chunk) {
    reader.file = file;
    reader.chunk = std::clamp(chunk, 1, kReadChunk);
    reader.pos = 0;
    reader.fill = 0;
    reader.at_end = false;
    reader.failed = false;
    reader.taken = 0;
}

ReadStatus read_line(LineReader& r, char* data, int32_t& length) {
    constexpr int32_t kMax = kLineCap - 1;
    int32_t n = 0;
    bool done = false;
    while (!done && n < kMax && refill(r)) {
        // A CR that ended the previous chunk pairs with an LF that starts this one.
        if (n > 0 && data[n - 1] == '\r' && r.buf[r.pos] == '\n') {
            data[n - 1] = '\n';
            ++r.pos;
            break;
        }
        const unsigned char* from = r.buf + r.pos;
        const int32_t room = kMax - n;
        // Look one byte past the room: a CR LF there still fits, as the CR is dropped.
        const int32_t window = std::min(r.fill - r.pos, room + 1);
        const auto* lf = static_cast<const unsigned char*>(std::memchr(from, '\n', window));
        int32_t take = std::min(window, room); // bytes consumed, and stored as they are
        if (lf != nullptr) {
            const int32_t upto = static_cast<int32_t>(lf - from) + 1;
            if (upto >= 2 && from[upto - 2] == '\r') {
                std::memcpy(data + n, from, static_cast<size_t>(upto - 2));
                data[n + upto - 2] = '\n';
                n += upto - 1;
                r.pos += upto;
                break;
            }
            done = upto <= room; // else the line feed starts the next piece
            take = std::min(upto, room);
        }
        std::memcpy(data + n, from, static_cast<size_t>(take));
        n += take;
        r.pos += take;
    }
    // A piece that ends in a CR at the limit still looks at the next byte: a line feed there
    // is folded into it, and the end of the file there is reached.
    if (!done && n == kMax && data[n - 1] == '\r' && refill(r) && r.buf[r.pos] == '\n') {
        data[n - 1] = '\n';
        ++r.pos;
    }
    data[n] = '\0';
    length = n;
    if (r.failed)
        return ReadStatus::failed;
    if (r.at_end)
        return n == 0 ? ReadStatus::no_line : ReadStatus::last_line;
    return ReadStatus::line;
}

const char* text_end(const char* data, int32_t length) {
    const void* nul = std::memchr(data, '\0', static_cast<size_t>(length));
    return nul != nullptr ? static_cast<const char*>(nul) : data + length;
}

} // namespace imgrebuild
