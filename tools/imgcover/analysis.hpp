// imgcover's analysis: what every capture of a working directory received, which bytes of the
// image no capture covered, and the pages to ask for again. Read with the rebuild's own line
// reader, head reader, name parser, range arithmetic and frame decoder, so the two programs
// never disagree about a line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/range.hpp"
#include "run/run_info.hpp"

namespace imgcover {

using imgrebuild::PageRange;
using imgrebuild::RangeMath;

enum class CaptureStatus {
    ok,         // read to its end
    unreadable, // could not be opened, or a read failed: what was read before still counts
    bad_name,   // the name line states no range
    bad_range,  // the range has fewer than 1 or more than 12,734 pages
};

const char* status_name(CaptureStatus status);

// Where a capture file stands, to tell on the next look whether it changed.
struct FileMark {
    bool exists = false;
    uint64_t identity = 0; // the file's serial number where the platform has one
    int64_t size = 0;
    int64_t mtime = 0; // nanoseconds
};

struct Capture {
    std::string name; // the name line's text up to its line feed
    CaptureStatus status = CaptureStatus::ok;
    PageRange range{};
    RangeMath math{};                // valid for ok and unreadable
    int64_t frames = 0;              // sound frames read
    std::vector<uint8_t> received;   // per slot: 1 when a sound frame of this file filled it
    std::vector<int32_t> all_passes; // missing after all passes: slots no capture of the same
                                     // exact range filled
    int32_t reported = -1; // slots the rebuild's report for this file lists; -1: no report
    bool repeat = false;   // a capture listed before it overlaps its pages
    std::string warning;   // why it is unreadable
    // Reading state, for a watch: how far the file has been read, and what it was then.
    int64_t offset = 0;
    int64_t lines = 0;
    FileMark mark;

    bool has_range() const {
        return status == CaptureStatus::ok || status == CaptureStatus::unreadable;
    }
    // First and last page, counted from block SC_S page 0.
    int64_t first_page() const { return math.base / imgrebuild::kPageBytes; }
    int64_t last_page() const { return first_page() + math.npage - 1; }
};

inline bool same_range(const PageRange& a, const PageRange& b) {
    return a.SSC == b.SSC && a.SP == b.SP && a.ESC == b.ESC && a.EP == b.EP;
}

// One request of the plan: pages (SSC, SP) to (ESC, EP), both included, and its capture name.
struct Request {
    PageRange range;
    std::string name;
};

// Bits of a byte's coverage state.
inline constexpr uint8_t kCovered = 1;  // some sound frame placed data on it
inline constexpr uint8_t kFirstTry = 2; // a capture that is no repeat placed data on it

struct Span {
    int64_t first;
    int64_t last;
};

struct Analysis {
    std::string dir;
    imgrebuild::RunHead head{};
    std::string head_lines[4]; // lines 1 to 4 of file_info.txt as read, without their line end
    std::vector<Capture> captures;
    int32_t listed = 0;            // name lines read
    std::vector<uint8_t> coverage; // per image byte: kCovered and kFirstTry bits
    std::vector<uint8_t> image;    // the image as rebuilt, when asked for: 0xFF where uncovered
    bool keep_image = false;
    int64_t covered_bytes = 0;
    std::vector<Span> missing; // maximal runs of uncovered bytes, ascending
    FileMark info_mark;        // file_info.txt when it was last read

    bool complete() const { return covered_bytes == head.imagesize; }
    // Covered bytes as a percentage of the image (100 for an empty image).
    double covered_percent() const {
        return head.imagesize > 0 ? 100.0 * static_cast<double>(covered_bytes) /
                                        static_cast<double>(head.imagesize)
                                  : 100.0;
    }
};

// Reads DIR/file_info.txt and every capture it lists, from their start. False, with a message,
// when the run description cannot be read or its head is one the rebuild would refuse.
bool analyse(Analysis& a, std::string& error);

// Brings an earlier analysis up to date: reads file_info.txt again, and of every capture only
// what was appended since (a capture that shrank or was replaced is read again from its
// start). `changed` tells whether anything differs. False, with a message, as analyse.
bool refresh(Analysis& a, bool& changed, std::string& error);

// The plan: every page with an uncovered byte, runs of them (joined across at most `join`
// covered pages) cut into requests of at most 12,734 pages, named PREFIX_SSC_SP_ESC_EP.txt.
std::vector<Request> make_plan(const Analysis& a, int32_t join, const std::string& prefix);

// Sound frames read in all captures.
int64_t total_frames(const Analysis& a);

} // namespace imgcover
