#include "image/reception.hpp"

#include <cstring>

namespace imgrebuild {

namespace {

void clear(int32_t* table, int32_t count) {
    std::memset(table, 0, sizeof(int32_t) * static_cast<size_t>(count));
}

} // namespace

void reception_reset(Reception& rec) {
    clear(rec.judge, kTableSize);
    clear(rec.result, kTableSize);
    clear(rec.judgeo, kTableSize);
    rec.rangekeyo = 0;
}

void start_file(Reception& rec, int32_t mcomsize) {
    clear(rec.judge, mcomsize);
}

void mark_slot(Reception& rec, int32_t PN) {
    rec.judge[PN] = 1;
    rec.result[PN] = rec.judge[PN];
}

bool merges_with_previous(const Reception& rec, int64_t rangekey) {
    return rangekey == rec.rangekeyo;
}

int32_t end_file(Reception& rec, int32_t mcomsize, int64_t rangekey) {
    // A merge looks only at the file just before; a third pass merges with the union of two.
    if (merges_with_previous(rec, rangekey)) {
        for (int32_t m = 0; m < mcomsize; ++m)
            rec.result[m] = rec.judge[m] | rec.judgeo[m];
    }
    std::memcpy(rec.judgeo, rec.result, sizeof(int32_t) * static_cast<size_t>(mcomsize));
    int32_t loss_num = 0;
    for (int32_t m = 0; m < mcomsize; ++m)
        loss_num += rec.judgeo[m] == 0 ? 1 : 0;
    rec.rangekeyo = rangekey;
    // Only the first mcomsize entries can have been set during this file.
    clear(rec.result, mcomsize);
    return loss_num;
}

void report_file(const Reception& rec, int32_t mcomsize, int32_t loss_num, Console& con) {
    say(con, "\r\n");
    for (int32_t m = 0; m < mcomsize; ++m) {
        if (rec.judgeo[m] == 0)
            say(con, "PN=%d is lacked.\r\n", m);
    }
    if (loss_num == 0)
        say(con, "loss num = 0.\r\n");
    say(con, "loss_num=%d\r\n", loss_num);
}

} // namespace imgrebuild
