// imgcover's analysis: what every capture of a working directory received, and which bytes of
// the image no capture covered. Made in named steps from what the capture reader read.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "capture/range.hpp"
#include "capture_reader.hpp"
#include "image/image.hpp"
#include "run/run_info.hpp"

namespace imgcover {

using imgrebuild::PageRange;
using imgrebuild::RangeMath;
using imgrebuild::Span;

// Bits of a byte's coverage state.
inline constexpr uint8_t kCovered = 1;   // some sound frame placed data on it
inline constexpr uint8_t kFirstTry = 2;  // a capture that is no repeat placed data on it
inline constexpr uint8_t kUnsettled = 4; // the frame that placed its final value is contradicted
                                         // and no other capture placed that same value on it

// What the analysis keeps of the values placed on every image byte, in the rebuild's order (the
// captures as listed, their lines in order), to tell contested and confirmed bytes apart without
// keeping the frames. The image itself holds each byte's current value.
struct Ledger {
    // Per image byte: bits below. "Current" is the value the byte holds now.
    std::vector<uint8_t> bits;
    // Per image byte, made when the first byte is contested: the value it held before its
    // current one (valid with kOtherHeld).
    std::vector<uint8_t> other;
    // A value a byte held that is neither its current nor its other one, with its bits.
    struct Held {
        uint8_t value;
        bool touched;
        bool multi;
    };
    std::map<int64_t, std::vector<Held>> more; // bytes with kMoreHeld

    static constexpr uint8_t kPlaced = 1;     // some frame placed a value on it
    static constexpr uint8_t kTouched = 2;    // the current capture placed the current value
    static constexpr uint8_t kMulti = 4;      // two or more captures placed the current value
    static constexpr uint8_t kContested = 8;  // frames placed different values on it
    static constexpr uint8_t kOtherHeld = 16; // `other` holds a value placed before
    static constexpr uint8_t kOtherTouched = 32;
    static constexpr uint8_t kOtherMulti = 64;
    static constexpr uint8_t kMoreHeld = 128; // `more` holds further values
};

struct Analysis {
    std::string dir;
    imgrebuild::RunHead head{};
    std::string head_lines[4]; // lines 1 to 4 of file_info.txt as read, without their line end
    std::vector<Capture> captures;
    int32_t listed = 0;            // name lines read
    std::vector<uint8_t> coverage; // per image byte: kCovered, kFirstTry and kUnsettled bits
    std::vector<uint8_t> image; // the image as rebuilt, its extra bytes too: 0xFF where uncovered
    bool keep_image = false;    // kept for compatibility: the image is always made
    Ledger ledger;
    // The frames of every capture listed more than once, by name: 163 values a frame, in line
    // order, so that a file is read once however often it is listed.
    std::map<std::string, std::vector<uint8_t>> replay;
    int64_t covered_bytes = 0;
    std::vector<Span> missing;   // maximal runs of uncovered bytes, ascending
    int64_t contested_bytes = 0; // bytes on which sound frames placed different values
    int64_t unsettled_bytes = 0; // bytes with kUnsettled
    std::vector<Span> unsettled; // maximal runs of unsettled bytes, ascending
    FileMark info_mark;          // file_info.txt when it was last read
    CaptureReader reader;        // its buffers; where each capture was left is in the capture

    // Every byte covered and none unsettled.
    bool complete() const { return covered_bytes == head.imagesize && unsettled_bytes == 0; }
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

// Brings an earlier analysis up to date: when file_info.txt or any capture it lists changed
// since the last look, analyses them again from their start, so that the result is always
// the one-shot analysis of the files as they stand. `changed` tells whether anything differed.
// False, with a message, as analyse.
bool refresh(Analysis& a, bool& changed, std::string& error);

// The steps that derive the analysis from what the captures received, in their order.

// Marks every capture that overlaps the pages of one listed before it as a repeat.
void mark_repeats(Analysis& a);
// Reads every capture in order, placing its sound frames in the image, the coverage (kCovered
// and kFirstTry, as compute_coverage makes them) and the ledger.
void read_all(Analysis& a);
// Per image byte: covered by some capture, and by one that is no repeat.
void compute_coverage(Analysis& a);
// The covered bytes and the maximal runs of uncovered ones.
void find_missing_spans(Analysis& a);
// Contested bytes, contradicted frames per capture, and the unsettled bytes: those whose final
// value came from a contradicted frame and that no other capture placed with that same value.
void find_unsettled(Analysis& a);
// Per capture: the slots that no capture of the same exact range received, wherever listed.
void find_missing_after_all_passes(Analysis& a);
// Per capture the rebuild reads: the slots its report lists, by the rebuild's own merge, and
// whether a later file's merge takes that report over.
void predict_reports(Analysis& a);

// Sound frames read in all captures.
int64_t total_frames(const Analysis& a);

} // namespace imgcover
