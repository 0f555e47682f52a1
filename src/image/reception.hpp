// Which slots each capture file received, the merge of two passes over one range, and the
// loss report.
#pragma once

#include <cstdint>

#include "limits.hpp"
#include "log/console.hpp"

namespace imgrebuild {

// One entry per slot: 1 for received, 0 for not.
struct Reception {
    int32_t judge[kTableSize];  // slots received in the current capture file
    int32_t result[kTableSize]; // what the current report is drawn from
    int32_t judgeo[kTableSize]; // the previous file's combined reception, kept for a merge
    int64_t rangekeyo;          // the previous file's range key; 0 before the first file
};

// Empties every table, as at the start of a run.
void reception_reset(Reception& rec);

// Clears the current file's received flags for slots 0 to mcomsize - 1.
void start_file(Reception& rec, int32_t mcomsize);

// Records a frame in slot PN (0 <= PN < mcomsize).
void mark_slot(Reception& rec, int32_t PN);

// True when a file of `rangekey` that ends now merges with the file before it: their range
// keys are equal (before the first file the previous key is 0).
bool merges_with_previous(const Reception& rec, int64_t rangekey);

// After a file: merges with the previous file when the range keys are equal, keeps the
// combined reception (judgeo) for the report and the next merge, and readies the tables for
// the next file. Returns `loss_num`, the count of slots the report lists; prints nothing.
int32_t end_file(Reception& rec, int32_t mcomsize, int64_t rangekey);

// Prints the report of the file end_file just closed: its missing slots and `loss_num`.
void report_file(const Reception& rec, int32_t mcomsize, int32_t loss_num, Console& con);

} // namespace imgrebuild
