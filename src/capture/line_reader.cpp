#include "capture/line_reader.hpp"

#include <cstring>

namespace imgrebuild {

namespace {

// Makes sure a byte is waiting in the buffer; false at the end of the file or on a failed read.
bool refill(LineReader& r) {
    if (r.pos < r.fill)
        return true;
    if (r.at_end || r.failed)
        return false;
    const size_t got = std::fread(r.buf, 1, kReadChunk, r.file);
    r.pos = 0;
    r.fill = static_cast<int32_t>(got);
    if (got > 0)
        return true;
    if (std::ferror(r.file))
        r.failed = true;
    else
        r.at_end = true;
    return false;
}

} // namespace

void reader_open(LineReader& reader, std::FILE* file) {
    reader.file = file;
    reader.pos = 0;
    reader.fill = 0;
    reader.at_end = false;
    reader.failed = false;
}

ReadStatus read_line(LineReader& r, char* data, int32_t& length) {
    int32_t n = 0;
    length = 0;
    while (n < kLineCap - 1) {
        if (!refill(r))
            break;
        char c = static_cast<char>(r.buf[r.pos++]);
        if (c == '\r') {
            // Keep or drop the carriage return by the byte after it; the end of the file
            // found by this look ends the read once the carriage return is stored.
            if (refill(r) && r.buf[r.pos] == '\n') {
                ++r.pos;
                c = '\n';
            }
        }
        data[n++] = c;
        if (c == '\n')
            break;
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
