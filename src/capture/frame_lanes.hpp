// The decoding lanes: one skeleton (frame_walk.hpp) with several ways of finding and converting
// tokens, each built with its own target flags. decode_frame runs the lane chosen once, at the
// first frame, from the processor's features; every lane gives the same result on every line.
#pragma once

#include <cstdint>

#include "capture/frame.hpp"

namespace imgrebuild {

enum class DecodeLane : int32_t {
    portable, // plain C++, any processor
    sse2,     // 16-byte windows (x86-64)
    avx2,     // 32-byte windows (x86-64 with AVX2, BMI1 and POPCNT)
};

inline constexpr DecodeLane kDecodeLanes[] = {DecodeLane::portable, DecodeLane::sse2,
                                              DecodeLane::avx2};

// The lane's name, as IMGREBUILD_LANE takes it.
const char* lane_name(DecodeLane lane);

// True when the lane is built into this program (the SIMD lanes are left out on processors
// other than x86-64, or when the build asks for the portable lane alone).
bool lane_built(DecodeLane lane);

// True when the lane is built into this program and the processor can run it.
bool lane_available(DecodeLane lane);

// The lane that IMGREBUILD_LANE set to `forced` (nullptr when unset) chooses: the lane of that
// name when it is available, else the widest available one.
DecodeLane lane_for(const char* forced);

// The lane decode_frame runs: the one IMGREBUILD_LANE names when that lane is available (for
// tests and benchmarks), else the widest available.
DecodeLane lane_in_use();

// decode_frame with the given lane; with the portable one when that lane is not available.
FrameStatus decode_frame_with(DecodeLane lane, const char* line, const char* end, Frame& frame);

// The lanes' own entry points, one per source file.
FrameStatus decode_portable(const char* line, const char* end, Frame& frame);
FrameStatus decode_sse2(const char* line, const char* end, Frame& frame);
FrameStatus decode_avx2(const char* line, const char* end, Frame& frame);

} // namespace imgrebuild
