#include "image/image.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "limits.hpp"

namespace imgrebuild {

namespace fs = std::filesystem;

namespace {

// The whole image lives here for the run; only its first outsize bytes reach the file.
unsigned char imagebuf[kImageBufSize];

} // namespace

WriteStatus write_output(int32_t outsize) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(kOutputName, ec);
    const size_t size = static_cast<size_t>(outsize);
    if (st.type() != fs::file_type::not_found && st.type() != fs::file_type::regular) {
        // A link, a device or a pipe: written through in place, as the operator set it up.
        return write_whole_file(kOutputName, imagebuf, size, false);
    }
    switch (replace_file(kOutputName, imagebuf, size, true, ec)) {
    case ReplaceStatus::ok:
        return WriteStatus::ok;
    case ReplaceStatus::create_failed:
        return WriteStatus::open_failed;
    case ReplaceStatus::write_failed:
    case ReplaceStatus::rename_failed:
        break;
    }
    return WriteStatus::write_failed;
}

WriteStatus write_blank_output(int32_t outsize) {
    std::memset(imagebuf, 0xFF, static_cast<size_t>(outsize));
    return write_whole_file(kOutputName, imagebuf, static_cast<size_t>(outsize), false);
}

Span slot_span(int64_t start, int64_t limit) {
    return {std::max<int64_t>(start, 0),
            std::min({start + kSlotBytes - 1, limit, int64_t{kImageBufSize} - 1})};
}

Span frame_span(const RangeMath& math, int32_t PN, int64_t size) {
    return slot_span(slot_offset(math, PN), std::min(math.limit, size - 1));
}

void place_frame(const int32_t* values, int64_t start, int64_t limit) {
    const Span span = slot_span(start, limit);
    for (int64_t o = span.first; o <= span.last; ++o)
        imagebuf[o] = static_cast<unsigned char>(values[o - start]);
}

} // namespace imgrebuild
