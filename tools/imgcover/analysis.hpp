// imgcover's analysis: what every capture of a working directory received, and which bytes of
// the image no capture covered. Made in named steps from what the capture reader read, and
// extended, look by look, while the captures grow.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/range.hpp"
#include "capture_reader.hpp"
#include "image/image.hpp"
#include "image/reception.hpp"
#include "ledger.hpp"
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

// Another name a capture file is listed under, and the file it named when last analysed.
struct Alias {
    std::string name;
    FileMark mark;
};

// One capture file of the run, however often it is listed: under the same name, or under
// another name of the same file with the same range.
struct CaptureFile {
    CaptureRead read;           // what the reader read of it
    int32_t first = -1;         // the first capture that lists it
    std::string key;            // what tells it from every other file: see file_key, and its range
    std::vector<Alias> aliases; // the other names it is listed under, each once
    int32_t listings = 0;       // name lines that list it
    // Listed more than once: the 163 data values of each of its sound frames, in line order, to
    // place again at every later listing without reading the file again.
    std::vector<uint8_t> replay;
    // Derived by the analysis from all captures:
    std::vector<int32_t> all_passes; // missing after all passes: slots no capture of the same
                                     // exact range filled
    int64_t contradicted_frames = 0; // sound frames that placed a byte another frame placed
                                     // with a different value
    int32_t era = 0; // the era its values were placed in: the one its first listing began in
                     // or began
};

// One name line of the run description: a capture as listed.
struct Capture : Listed {
    // Its file in Analysis::files; -1 when it states no range. Its status (ok or unreadable)
    // is its file's.
    int32_t file = -1;
    // Derived by the analysis:
    bool repeat = false;       // a capture listed before it overlaps its pages
    int32_t reported = -1;     // slots the rebuild's report for this file lists; -1: no report
    bool report_final = false; // no later file's merge takes this report over
};

// A capture some of whose frames disagree with what was placed before over whole frames (more
// than kChangedBytes bytes each): the image seems to have changed between the passes before it
// and its own.
struct Change {
    size_t listing = 0;     // the capture, by its place in the run description
    int64_t first_page = 0; // the first and last page of its frames that disagreed, counted
    int64_t last_page = 0;  // from block SC_S page 0
    int64_t frames = 0;     // its frames that disagreed
};

// A frame that differs from the values placed before it on this many bytes or more (bytes that
// frames disagreed on already left out) tells a changed memory. A corrupted frame carries one
// changed byte, so two corrupted copies of a frame differ on two at most.
inline constexpr int32_t kChangedBytes = 3;

// The rebuild's merge as it stood before a capture, to go on from there when only that capture
// and later ones changed.
struct MergePoint {
    size_t at = 0;         // the capture it stood before
    int32_t previous = -1; // the last capture the rebuild read before it; -1: none
    std::shared_ptr<const imgrebuild::Reception> rec; // its reception; none: as at the start
};

struct Analysis {
    std::string dir;
    imgrebuild::RunHead head{};
    std::string head_lines[4];      // lines 1 to 4 of file_info.txt as read, without their line end
    std::vector<Capture> captures;  // the name lines read, in order
    std::vector<CaptureFile> files; // each file they name, in the order first listed
    std::vector<uint8_t> coverage;  // per image byte: kCovered, kFirstTry and kUnsettled bits
    std::vector<uint8_t> image; // the image as rebuilt, its extra bytes too: 0xFF where uncovered
    Ledger ledger;              // the values placed on the image's bytes
    int64_t covered_bytes = 0;
    std::vector<Span> missing;   // maximal runs of uncovered bytes, ascending
    int64_t contested_bytes = 0; // bytes on which sound frames placed different values
    int64_t unsettled_bytes = 0; // bytes with kUnsettled
    std::vector<Span> unsettled; // maximal runs of unsettled bytes, ascending
    // Copies: a byte is confirmed when two capture files (a file listed twice is one) placed its
    // final value; it rests on one copy when it is covered, settled and not confirmed.
    bool confirm = false;          // complete also needs every byte confirmed
    int64_t confirmed_bytes = 0;   // covered bytes two capture files gave the final value
    int64_t single_copy_bytes = 0; // covered, settled and not confirmed
    std::vector<Span> single_copy; // maximal runs of single-copy bytes, ascending
    // Changes: an era begins at every capture where the memory changed. A byte is stale while
    // its final value was placed in an era before the last, by no capture since. Values from
    // two eras do not contest each other: a value that differs from one of another era makes
    // the byte forget what was placed on it before.
    std::vector<int32_t> era;       // per image byte, made at the first change: the era its
                                    // final value was placed in (none made: all of the first)
    std::vector<Change> changes;    // where each era after the first began, in order
    int64_t forgotten = 0;          // bytes that forgot their values as from before a change
    std::vector<int32_t> forgot_at; // per image byte, made at the first: the capture that made
                                    // it forget (values of captures before it are gone)
    int64_t stale_bytes = 0;        // covered bytes whose final value predates the last change
    std::vector<Span> stale;        // maximal runs of stale bytes, ascending
    MergePoint merged;              // where predict_reports can go on from
    FileMark info_mark;             // file_info.txt when it was last read
    CaptureReader reader;           // its buffers; where each file was left is in the file

    // The file of a capture that states a range.
    const CaptureFile& file_of(const Capture& c) const {
        return files[static_cast<size_t>(c.file)];
    }
    // What was read of it.
    const CaptureRead& read_of(const Capture& c) const { return file_of(c).read; }
    // Capture `i` states a range and is the first to list its file.
    bool first_listing(size_t i) const {
        return captures[i].has_range() && file_of(captures[i]).first == static_cast<int32_t>(i);
    }
    // The era byte `o`'s final value was placed in.
    int32_t era_of(int64_t o) const { return era.empty() ? 0 : era[static_cast<size_t>(o)]; }
    // The current era: changes seen so far.
    int32_t era_now() const { return static_cast<int32_t>(changes.size()); }
    // Every byte covered, none unsettled or stale, and with `confirm` every one confirmed.
    bool complete() const {
        return covered_bytes == head.imagesize && unsettled_bytes == 0 && stale_bytes == 0 &&
               (!confirm || single_copy_bytes == 0);
    }
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

// Brings an earlier analysis up to date, so that it is always the one-shot analysis of the files
// as they stand. When the only change is that captures grew, and nothing was placed after the
// first of them, only what was appended is read and the analysis is extended; any other change
// (file_info.txt, a capture rewritten, shortened or replaced, an earlier capture growing, a file
// listed twice growing) analyses everything again. `changed` tells whether anything differed.
// False, with a message, as analyse.
bool look(Analysis& a, bool& changed, std::string& error);

// The steps that make the analysis, in their order; each after the ones before it.

// Marks every capture that overlaps the pages of one listed before it as a repeat.
void mark_repeats(Analysis& a);
// Reads every file from its start and places the sound frames of every listing in the
// rebuild's order: the image, the ledger, the coverage's kCovered and kFirstTry bits, the eras
// and the changes.
void place_all(Analysis& a);
// The covered bytes and the maximal runs of uncovered ones.
void find_missing_spans(Analysis& a);
// Contested bytes, contradicted frames per file, and the unsettled bytes (the coverage's
// kUnsettled bits): those whose final value came from a contradicted frame and that no other
// capture placed with that same value.
void find_unsettled(Analysis& a);
// Confirmed, single-copy and stale bytes, and their spans.
void find_copies(Analysis& a);
// Per file: the slots that no capture of the same exact range received, wherever listed.
void find_missing_after_all_passes(Analysis& a);
// Per capture the rebuild reads: how many slots its report lists, by the rebuild's own merge,
// and whether a later file's merge takes that report over.
void predict_reports(Analysis& a);

// The slots the rebuild's report for capture `i` lists (none when it makes no report).
std::vector<int32_t> reported_slots(const Analysis& a, size_t i);

// Sound frames read in all captures, a file listed twice counted twice.
int64_t total_frames(const Analysis& a);

} // namespace imgcover
