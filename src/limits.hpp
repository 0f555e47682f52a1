// Fixed sizes of every table the tool keeps. Nothing grows while a run goes.
#pragma once

#include <cstdint>

namespace imgrebuild {

// Characters in a line buffer, NUL included: a read yields at most 19,999.
inline constexpr int32_t kLineCap = 20000;
// Entries in each reception table; also the most slots one capture file may have.
inline constexpr int32_t kTableSize = 20000;
// Bytes in the image buffer.
inline constexpr int32_t kImageBufSize = 24000000;
// The output file holds the image plus this many bytes.
inline constexpr int32_t kOutputExtra = 1024;
// Largest image the buffer can hold with its extra bytes.
inline constexpr int32_t kMaxImageSize = kImageBufSize - kOutputExtra;

// Address space of the sender's memory.
inline constexpr int32_t kPageBytes = 256;
inline constexpr int32_t kBlockPages = 1024;
// Data bytes a frame carries, and so the size of one slot.
inline constexpr int32_t kSlotBytes = 163;
// Most pages one capture file may cover: (12734 * 256) / 163 + 1 is exactly kTableSize slots.
inline constexpr int32_t kMaxPages = 12734;
static_assert(kTableSize == int64_t{kMaxPages} * kPageBytes / kSlotBytes + 1,
              "a reception table holds exactly the slots of the largest range");
static_assert(kMaxImageSize + kOutputExtra <= kImageBufSize,
              "the largest image and its extra bytes fit the image buffer");

// Values a frame's payload unescapes to: 3 counter bytes, 1 spare, 163 data bytes, 1 spare.
inline constexpr int32_t kFrameValues = 168;
inline constexpr int32_t kFrameDataFirst = 4;
// Tokens before the payload: the identifier and 18 header tokens.
inline constexpr int32_t kPayloadToken = 19;

} // namespace imgrebuild
