// What a run of the tool should print and write, built up from its parts for the tests.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "frames.hpp"
#include "run/run_info.hpp"

namespace expected {

namespace tf = testframes;

constexpr int kFailed = 255; // -1 as the shell sees it

inline std::string fmt(const char* format, long long a = 0, long long b = 0, long long c = 0,
                       long long d = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b, c, d);
    return buf;
}

// file_info.txt: a free first line, the three values, then the name lines (numfile as given,
// which may differ from the names listed).
inline std::string run_info(long long imagesize, long long numfile, long long SC_S,
                            const std::vector<std::string>& names) {
    const imgrebuild::RunHead head{static_cast<int32_t>(imagesize), static_cast<int32_t>(numfile),
                                   static_cast<int32_t>(SC_S)};
    return imgrebuild::description_text(imgrebuild::describe_run("run of the day", head, names));
}

inline std::string head_log(long long imagesize, long long numfile, long long SC_S) {
    return "Program start ver.3\r\n" + fmt("imagesize=%lld\r\n", imagesize) +
           fmt("numfile=%lld\r\n", numfile) + fmt("SC_S=%lld\r\n", SC_S);
}

inline std::string pass_log(int i, const std::string& na, long long SSC, long long SP,
                            long long ESC, long long EP, int mcomsize) {
    return fmt("\r\ni=%lld\r\n", i) + "na=" + na + "\r\n" +
           fmt("SSC=%lld SP=%lld ESC=%lld EP=%lld\r\n", SSC, SP, ESC, EP) +
           fmt("mcomsize=%lld\r\n", mcomsize);
}

inline std::string report(const std::vector<int>& lacked) {
    std::string s = "\r\n";
    for (int pn : lacked)
        s += fmt("PN=%lld is lacked.\r\n", pn);
    if (lacked.empty())
        s += "loss num = 0.\r\n";
    return s + fmt("loss_num=%lld\r\n", static_cast<long long>(lacked.size()));
}

inline const std::string kFinished = "Program is finished.\r\n";

// The frames `frame_of(slot)` for every slot of 0..mcomsize-1 but those in `skip`.
template <typename FrameOf>
std::string slots_except(int mcomsize, const std::vector<int>& skip, FrameOf frame_of) {
    std::string s;
    for (int pn = 0; pn < mcomsize; ++pn) {
        bool skipped = false;
        for (int k : skip)
            skipped = skipped || k == pn;
        if (!skipped)
            s += frame_of(pn);
    }
    return s;
}

// Frames for every slot of 0..mcomsize-1 but those in `skip`, each carrying pattern(slot).
inline std::string frames_except(int mcomsize, const std::vector<int>& skip) {
    return slots_except(mcomsize, skip, [](int pn) { return tf::frame(pn, tf::pattern(pn)); });
}

// The value of image byte `offset` in runs whose captures all carry one image, so that
// overlapping ranges agree on every byte.
inline uint8_t image_byte(long long offset) {
    return static_cast<uint8_t>(offset * 7 + offset / 256);
}

// The frame of slot `pn` of a range that starts at page `first_page` (SC_S 0), carrying the
// image's own bytes at its place.
inline std::string image_frame(int first_page, int pn) {
    std::vector<uint8_t> d(163);
    for (int j = 0; j < 163; ++j)
        d[static_cast<size_t>(j)] = image_byte(first_page * 256LL + pn * 163LL + j);
    return tf::frame(pn, d);
}

// As frames_except, for a range that starts at page `first_page`, each frame carrying the
// image's bytes at its place.
inline std::string image_frames_except(int first_page, int mcomsize, const std::vector<int>& skip) {
    return slots_except(mcomsize, skip, [&](int pn) { return image_frame(first_page, pn); });
}

// The image the tool should write: 0xFF, then data placed at [start, limit].
struct Image {
    std::string bytes;
    explicit Image(size_t outsize) : bytes(outsize, '\xFF') {}
    void place(long long start, long long limit, const std::vector<uint8_t>& data) {
        for (long long o = start; o < start + 163 && o <= limit; ++o) {
            if (o >= 0 && o < static_cast<long long>(bytes.size()))
                bytes[static_cast<size_t>(o)] =
                    static_cast<char>(data[static_cast<size_t>(o - start)]);
        }
    }
};

} // namespace expected
