// The image buffer, the placing of frame data in it, and the output file.
#pragma once

#include <cstdint>

#include "capture/range.hpp"
#include "image/replace_file.hpp"

namespace imgrebuild {

inline constexpr const char* kOutputName = "output.bin";

// Fills the first `outsize` bytes of the image with 0xFF and writes them to the output file,
// in place.
WriteStatus write_blank_output(int32_t outsize);

// A run of image offsets, both inclusive; empty when last < first. What a frame stores to,
// and what the companions count as covered or missing.
struct Span {
    int64_t first;
    int64_t last;
};

// Where a frame whose slot starts at `start` lands: its 163 offsets, cut at `limit` and at
// the ends of the image buffer.
Span slot_span(int64_t start, int64_t limit);

// Stores a frame's data bytes (`values`, each taken as its low 8 bits) from image offset
// `start` on, up to and including `limit`. Bytes that would fall outside the image buffer are
// dropped; the others still land at their own offsets.
void place_frame(const int32_t* values, int64_t start, int64_t limit);

// Where the frame of slot `PN` of a range lands in an image buffer of `size` bytes (at most the
// image buffer's): the offsets place_frame stores it to, cut at `size` too.
Span frame_span(const RangeMath& math, int32_t PN, int64_t size);

// Writes the first `outsize` bytes of the image to the output file. When the output file is
// absent or a regular file, the bytes go to a new file beside it that then replaces it, so the
// output file is never left half written; a link, device or pipe is written through in place.
WriteStatus write_output(int32_t outsize);

} // namespace imgrebuild
