// A capture file's name line, its page range, and the arithmetic every pass derives from it.
#pragma once

#include <compare>
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

    // Two ranges are equal when they state the same four numbers; ordered by them in turn.
    friend bool operator==(const PageRange&, const PageRange&) = default;
    friend auto operator<=>(const PageRange&, const PageRange&) = default;
};

// Pages from a range's first to its last, both included: 64-bit, so that no range a name can
// state overflows it (a range stated backwards gives 0 or fewer).
inline int64_t page_count(const PageRange& r) {
    return (int64_t{r.ESC} * kBlockPages + r.EP) - (int64_t{r.SSC} * kBlockPages + r.SP) + 1;
}

// A page by its block and its page in the block. The block is 64-bit: a page past the last
// block a name can state (2^31 - 1) still has its place.
struct PagePlace {
    int64_t block;
    int32_t page;
};

// The page `index` pages after page 0 of block `SC_S` (index 0 or more).
inline PagePlace page_at(int64_t index, int32_t SC_S) {
    return {int64_t{SC_S} + index / kBlockPages, static_cast<int32_t>(index % kBlockPages)};
}

// The range from page `first` to page `last` (page indexes from page 0 of block `SC_S`, first
// not after last). False when a name cannot state it: a block past 2^31 - 1.
inline bool range_of_pages(int64_t first, int64_t last, int32_t SC_S, PageRange& range) {
    const PagePlace a = page_at(first, SC_S), b = page_at(last, SC_S);
    if (first < 0 || first > last || b.block > INT32_MAX)
        return false;
    range = {static_cast<int32_t>(a.block), a.page, static_cast<int32_t>(b.block), b.page};
    return true;
}

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

// Image offset one past a range's last page.
inline int64_t range_end(const RangeMath& math) {
    return math.base + math.npage * kPageBytes;
}

// Slot of a frame counter (not negative) in a range of `mcomsize` slots.
inline int32_t slot_of(int32_t counter, int32_t mcomsize) {
    return counter % mcomsize;
}

// Image offset where slot `PN` starts.
inline int64_t slot_offset(const RangeMath& math, int32_t PN) {
    return math.base + int64_t{kSlotBytes} * PN;
}

} // namespace imgrebuild
