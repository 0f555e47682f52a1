#include "image/image.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "limits.hpp"

namespace imgrebuild {

namespace {

// The whole image lives here for the run; only its first outsize bytes reach the file.
unsigned char imagebuf[kImageBufSize];

} // namespace

WriteStatus write_output(int32_t outsize) {
    std::FILE* f = std::fopen(kOutputName, "wb");
    if (f == nullptr)
        return WriteStatus::open_failed;
    const size_t want = static_cast<size_t>(outsize);
    const bool wrote = std::fwrite(imagebuf, 1, want, f) == want;
    const bool closed = std::fclose(f) == 0;
    return wrote && closed ? WriteStatus::ok : WriteStatus::write_failed;
}

WriteStatus write_blank_output(int32_t outsize) {
    std::memset(imagebuf, 0xFF, static_cast<size_t>(outsize));
    return write_output(outsize);
}

Span slot_span(int64_t start, int64_t limit) {
    return {std::max<int64_t>(start, 0),
            std::min({start + kSlotBytes - 1, limit, int64_t{kImageBufSize} - 1})};
}

void place_frame(const int32_t* values, int64_t start, int64_t limit) {
    const Span span = slot_span(start, limit);
    for (int64_t o = span.first; o <= span.last; ++o)
        imagebuf[o] = static_cast<unsigned char>(values[o - start]);
}

const unsigned char* image_bytes() {
    return imagebuf;
}

} // namespace imgrebuild
