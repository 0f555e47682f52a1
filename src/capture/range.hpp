// A capture file's name line, its page range, and the arithmetic every pass derives from it.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "limits.hpp"

namespace imgrebuild {

// First page (SSC, SP) and last page (ESC, EP) of a capture file, both inclusive.
struct PageRange {
    int32_t SSC;
    int32_t SP;
    int32_t ESC;
    int32_t EP;
};

// Outcome of parsing a name line.
enum class NameStatus : int32_t {
    ok,             // the name and all four range numbers were read
    too_few_pieces, // the line has fewer than five pieces between underscores
    not_a_number,   // one of pieces 2 to 5 does not begin with a number that fits 32 bits
};

// Parses the name line [line, end): `na` (kLineCap characters) gets the text up to the first
// line feed; the four numbers come from pieces 2 to 5, split at underscores, of the name's last
// path component: the text after the last '/' or '\' (either, on every platform).
NameStatus parse_name_line(const char* line, const char* end, char* na, PageRange& range);

// The name a capture of `range` goes by: PREFIX_SSC_SP_ESC_EP.txt, which parse_name_line reads
// back. For the companions, which name the captures they plan and send; never used by a run.
std::string capture_name(std::string_view prefix, const PageRange& range);

// What a pass needs to know of its range. Offsets and the key are 64-bit, so that no range a
// name can state overflows them.
struct RangeMath {
    int64_t rangekey; // SSC + SP + ESC + EP: a plain sum, so two ranges can share one
    int64_t npage;    // pages from the first to the last, both included
    int32_t mcomsize; // slots: the range's bytes over 163, truncated, plus one
    int64_t base;     // image offset of the range's first byte
    int64_t limit;    // highest offset a frame may write, inclusive: one past the last page
};

// Derives a range's arithmetic relative to block `SC_S`. False when the range holds fewer
// than 1 or more than kMaxPages pages; `math` is then filled only up to `npage`.
bool compute_range(const PageRange& range, int32_t SC_S, RangeMath& math);

// Slot of a frame counter (not negative) in a range of `mcomsize` slots.
inline int32_t slot_of(int32_t counter, int32_t mcomsize) {
    return counter % mcomsize;
}

// Image offset where slot `PN` starts.
inline int64_t slot_offset(const RangeMath& math, int32_t PN) {
    return math.base + int64_t{kSlotBytes} * PN;
}

} // namespace imgrebuild
