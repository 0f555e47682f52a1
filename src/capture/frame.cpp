#include "capture/frame.hpp"

#include <cstdlib>
#include <cstring>

#include "capture/frame_lanes.hpp"

namespace imgrebuild {

namespace {

using DecodeFn = FrameStatus (*)(const char*, const char*, Frame&);

DecodeFn entry_of(DecodeLane lane) {
    switch (lane) {
#ifdef IMGREBUILD_LANE_SSE2
    case DecodeLane::sse2:
        return decode_sse2;
#endif
#ifdef IMGREBUILD_LANE_AVX2
    case DecodeLane::avx2:
        return decode_avx2;
#endif
    default:
        return decode_portable;
    }
}

// True when the processor has what the lane's code was built for.
bool processor_runs(DecodeLane lane) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __builtin_cpu_init();
    if (lane == DecodeLane::sse2)
        return __builtin_cpu_supports("sse2");
    if (lane == DecodeLane::avx2)
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi") &&
               __builtin_cpu_supports("popcnt");
#endif
    return lane == DecodeLane::portable;
}

} // namespace

bool lane_built(DecodeLane lane) {
    switch (lane) {
    case DecodeLane::portable:
        return true;
    case DecodeLane::sse2:
#ifdef IMGREBUILD_LANE_SSE2
        return true;
#else
        return false;
#endif
    case DecodeLane::avx2:
#ifdef IMGREBUILD_LANE_AVX2
        return true;
#else
        return false;
#endif
    }
    return false;
}

DecodeLane lane_for(const char* forced) {
    if (forced != nullptr) {
        for (const DecodeLane lane : kDecodeLanes) {
            if (std::strcmp(forced, lane_name(lane)) == 0 && lane_available(lane))
                return lane;
        }
    }
    DecodeLane widest = DecodeLane::portable;
    for (const DecodeLane lane : kDecodeLanes) {
        if (lane_available(lane))
            widest = lane;
    }
    return widest;
}

const char* lane_name(DecodeLane lane) {
    switch (lane) {
    case DecodeLane::portable:
        return "portable";
    case DecodeLane::sse2:
        return "sse2";
    case DecodeLane::avx2:
        return "avx2";
    }
    return "?";
}

bool lane_available(DecodeLane lane) {
    return lane_built(lane) && processor_runs(lane);
}

DecodeLane lane_in_use() {
    static const DecodeLane lane = lane_for(std::getenv("IMGREBUILD_LANE"));
    return lane;
}

FrameStatus decode_frame_with(DecodeLane lane, const char* line, const char* end, Frame& frame) {
    return entry_of(lane_available(lane) ? lane : DecodeLane::portable)(line, end, frame);
}

FrameStatus decode_frame(const char* line, const char* end, Frame& frame) {
    static const DecodeFn decode = entry_of(lane_in_use());
    return decode(line, end, frame);
}

} // namespace imgrebuild
