#include "analysis.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>

#include "image/reception.hpp"
#include "limits.hpp"

namespace imgcover {

namespace fs = std::filesystem;
using namespace imgrebuild;

void mark_repeats(Analysis& a) {
    // Pages of the captures seen so far, as disjoint runs: first page -> last page.
    std::map<int64_t, int64_t> seen;
    for (Capture& c : a.captures) {
        c.repeat = false;
        if (!c.has_range())
            continue;
        int64_t first = c.first_page(), last = c.last_page();
        auto it = seen.upper_bound(last); // runs starting after `last` cannot overlap
        while (it != seen.begin()) {
            auto before = std::prev(it);
            if (before->second < first)
                break;
            c.repeat = true;
            first = std::min(first, before->first);
            last = std::max(last, before->second);
            it = seen.erase(before);
        }
        seen.emplace(first, last);
    }
}

namespace {

// Records that the capture being placed put `v` on image byte `o`, which holds image[o].
// `again`: this capture placed this byte before (its frame's slot came again); otherwise no
// touched mark on the byte is this capture's, so all are let go first.
void place_byte(Analysis& a, int64_t o, uint8_t v, bool again) {
    Ledger& l = a.ledger;
    const size_t k = static_cast<size_t>(o);
    uint8_t& b = l.bits[k];
    uint8_t& now = a.image[k];
    if (!again) {
        b = static_cast<uint8_t>(b & ~(Ledger::kTouched | Ledger::kOtherTouched));
        if ((b & Ledger::kMoreHeld) != 0) {
            for (Ledger::Held& h : l.more[o])
                h.touched = false;
        }
    }
    if ((b & Ledger::kPlaced) == 0) {
        b |= Ledger::kPlaced | Ledger::kTouched;
        now = v;
        return;
    }
    if (now == v) {
        if ((b & Ledger::kTouched) == 0)
            b |= Ledger::kMulti; // an earlier capture placed it too
        b |= Ledger::kTouched;
        return;
    }
    // Another value: the current one is kept as held before, and `v` becomes current.
    b |= Ledger::kContested;
    const Ledger::Held was{now, (b & Ledger::kTouched) != 0, (b & Ledger::kMulti) != 0};
    Ledger::Held next{v, false, false};
    bool found = false;
    if (l.other.empty())
        l.other.assign(a.ledger.bits.size(), 0);
    if ((b & Ledger::kOtherHeld) != 0 && l.other[k] == v) {
        next = {v, (b & Ledger::kOtherTouched) != 0, (b & Ledger::kOtherMulti) != 0};
        found = true;
        b = static_cast<uint8_t>(b & ~(Ledger::kOtherTouched | Ledger::kOtherMulti));
        l.other[k] = was.value;
        b |= (was.touched ? Ledger::kOtherTouched : 0) | (was.multi ? Ledger::kOtherMulti : 0);
    } else if ((b & Ledger::kMoreHeld) != 0) {
        for (Ledger::Held& h : l.more[o]) {
            if (h.value == v) {
                next = h;
                h = was;
                found = true;
                break;
            }
        }
    }
    if (!found) {
        if ((b & Ledger::kOtherHeld) == 0) {
            l.other[k] = was.value;
            b |= Ledger::kOtherHeld | (was.touched ? Ledger::kOtherTouched : 0) |
                 (was.multi ? Ledger::kOtherMulti : 0);
        } else {
            l.more[o].push_back(was);
            b |= Ledger::kMoreHeld;
        }
    }
    if (found && !next.touched)
        next.multi = true; // an earlier capture placed this value
    b = static_cast<uint8_t>(b & ~(Ledger::kTouched | Ledger::kMulti));
    b |= Ledger::kTouched | (next.multi ? Ledger::kMulti : 0);
    now = v;
}

// Places one sound frame of capture `i` (its 163 data values) as the rebuild does; `again`
// when the capture already filled slot `PN`. A capture's slots do not overlap, so only a slot
// that comes again places a byte this capture placed before.
void place(Analysis& a, size_t i, int32_t PN, const uint8_t* values, bool again) {
    const Capture& c = a.captures[i];
    const int64_t size = a.head.imagesize;
    const int64_t start = slot_offset(c.math, PN);
    const Span s = slot_span(start, std::min(c.math.limit, size - 1));
    uint8_t* bits = a.ledger.bits.data();
    uint8_t* image = a.image.data();
    // The common cases at once: bytes none placed yet, or bytes given the same values again.
    uint8_t all = 0xFF, any = 0;
    bool same = true;
    for (int64_t o = s.first; o <= s.last; ++o) {
        all &= bits[o];
        any |= bits[o];
        same &= image[o] == values[o - start];
    }
    uint8_t* cov = a.coverage.data();
    const uint8_t covered = c.repeat ? kCovered : kCovered | kFirstTry;
    for (int64_t o = s.first; o <= s.last; ++o)
        cov[o] |= covered;
    if ((any & Ledger::kPlaced) == 0) {
        for (int64_t o = s.first; o <= s.last; ++o) {
            bits[o] = Ledger::kPlaced | Ledger::kTouched;
            image[o] = values[o - start];
        }
    } else if ((all & Ledger::kPlaced) != 0 && (any & Ledger::kMoreHeld) == 0 && same && !again) {
        // Earlier captures placed the same values: now two or more did.
        for (int64_t o = s.first; o <= s.last; ++o)
            bits[o] = static_cast<uint8_t>((bits[o] & ~Ledger::kOtherTouched) | Ledger::kTouched |
                                           Ledger::kMulti);
    } else {
        for (int64_t o = s.first; o <= s.last; ++o)
            place_byte(a, o, values[o - start], again);
    }
    // Bytes past the image land in the output's extra bytes, as in the rebuild.
    const Span t =
        slot_span(start, std::min(c.math.limit, static_cast<int64_t>(a.image.size()) - 1));
    for (int64_t o = std::max(t.first, size); o <= t.last; ++o)
        a.image[static_cast<size_t>(o)] = values[o - start];
}

// Hands a capture's frames, as they are read, to the image and the ledger.
class Placer final : public FrameSink {
  public:
    Placer(Analysis& a, size_t i, std::vector<uint8_t>* keep) : a_(a), i_(i), keep_(keep) {}
    void frame(int32_t PN, const int32_t* values, bool again) override {
        uint8_t v[kSlotBytes];
        for (int32_t k = 0; k < kSlotBytes; ++k)
            v[k] = static_cast<uint8_t>(values[k]);
        if (keep_ != nullptr)
            keep_->insert(keep_->end(), v, v + kSlotBytes);
        place(a_, i_, PN, v, again);
    }

  private:
    Analysis& a_;
    size_t i_;
    std::vector<uint8_t>* keep_;
};

} // namespace

void read_all(Analysis& a) {
    const int64_t size = a.head.imagesize;
    a.image.assign(static_cast<size_t>(size) + kOutputExtra, 0xFF);
    a.ledger = Ledger{};
    a.ledger.bits.assign(static_cast<size_t>(size), 0);
    a.coverage.assign(static_cast<size_t>(size), 0);
    a.replay.clear();
    std::map<std::string, size_t> first; // name -> its first listing
    std::map<std::string, int32_t> listings;
    for (const Capture& c : a.captures) {
        if (c.has_range())
            ++listings[c.name];
    }
    for (size_t i = 0; i < a.captures.size(); ++i) {
        Capture& c = a.captures[i];
        if (!c.has_range())
            continue;
        const auto [it, fresh] = first.emplace(c.name, i);
        if (fresh) {
            std::vector<uint8_t>* keep = listings[c.name] > 1 ? &a.replay[c.name] : nullptr;
            Placer sink(a, i, keep);
            CaptureReader::forget(c);
            bool reset = false;
            a.reader.read(a.dir, c, sink, reset);
            continue;
        }
        // The same file listed again: the rebuild reads it again; what it holds was read once.
        const Capture& e = a.captures[it->second];
        c.status = e.status;
        c.warning = e.warning;
        c.received = e.received;
        c.slots = e.slots;
        c.frames = e.frames;
        c.progress = e.progress;
        c.blank_lines = e.blank_lines;
        c.bad_lines = e.bad_lines;
        c.not_image = e.not_image;
        c.duplicate_frames = e.duplicate_frames;
        const std::vector<uint8_t>& data = a.replay[c.name];
        std::vector<uint8_t> filled(c.received.size(), 0);
        for (size_t k = 0; k < c.slots.size(); ++k) {
            uint8_t& again = filled[static_cast<size_t>(c.slots[k])];
            place(a, i, c.slots[k], data.data() + k * kSlotBytes, again != 0);
            again = 1;
        }
    }
}

void compute_coverage(Analysis& a) {
    const int64_t size = a.head.imagesize;
    a.coverage.assign(static_cast<size_t>(size), 0);
    for (const Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        const uint8_t bits = c.repeat ? kCovered : kCovered | kFirstTry;
        for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
            if (c.received[static_cast<size_t>(PN)] == 0)
                continue;
            const Span s = slot_span(slot_offset(c.math, PN), std::min(c.math.limit, size - 1));
            for (int64_t o = s.first; o <= s.last; ++o)
                a.coverage[static_cast<size_t>(o)] |= bits;
        }
    }
}

void find_missing_spans(Analysis& a) {
    const int64_t size = a.head.imagesize;
    a.covered_bytes = 0;
    a.missing.clear();
    for (int64_t o = 0; o < size; ++o) {
        if (a.coverage[static_cast<size_t>(o)] & kCovered) {
            ++a.covered_bytes;
        } else if (!a.missing.empty() && a.missing.back().last == o - 1) {
            a.missing.back().last = o;
        } else {
            a.missing.push_back({o, o});
        }
    }
}

void find_unsettled(Analysis& a) {
    const int64_t size = a.head.imagesize;
    const uint8_t* bits = a.ledger.bits.data();
    uint8_t* cov = a.coverage.data();
    a.contested_bytes = 0;
    for (int64_t o = 0; o < size; ++o)
        a.contested_bytes += (bits[o] & Ledger::kContested) != 0;
    a.unsettled_bytes = 0;
    a.unsettled.clear();
    for (Capture& c : a.captures)
        c.contradicted_frames = 0;
    if (a.contested_bytes == 0)
        return; // no frame is contradicted, so every byte is settled
    // A frame is contradicted when a byte it placed is contested. Going through the frames in
    // the rebuild's order, the last frame to place a byte decides whether it is unsettled: it
    // is when that frame is contradicted and only one capture placed the byte's final value.
    for (Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        for (const int32_t PN : c.slots) {
            const Span s = slot_span(slot_offset(c.math, PN), std::min(c.math.limit, size - 1));
            uint8_t any = 0;
            for (int64_t o = s.first; o <= s.last; ++o)
                any |= bits[o];
            if ((any & Ledger::kContested) == 0) {
                for (int64_t o = s.first; o <= s.last; ++o)
                    cov[o] &= static_cast<uint8_t>(~kUnsettled);
                continue;
            }
            ++c.contradicted_frames;
            for (int64_t o = s.first; o <= s.last; ++o)
                cov[o] = (bits[o] & Ledger::kMulti) != 0
                             ? static_cast<uint8_t>(cov[o] & ~kUnsettled)
                             : static_cast<uint8_t>(cov[o] | kUnsettled);
        }
    }
    for (int64_t o = 0; o < size; ++o) {
        if ((cov[o] & kUnsettled) == 0)
            continue;
        ++a.unsettled_bytes;
        if (!a.unsettled.empty() && a.unsettled.back().last == o - 1)
            a.unsettled.back().last = o;
        else
            a.unsettled.push_back({o, o});
    }
}

void find_missing_after_all_passes(Analysis& a) {
    std::map<PageRange, std::vector<uint8_t>> unions;
    for (const Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        std::vector<uint8_t>& u = unions[c.range];
        u.resize(c.received.size(), 0);
        for (size_t k = 0; k < c.received.size(); ++k)
            u[k] |= c.received[k];
    }
    for (Capture& c : a.captures) {
        c.all_passes.clear();
        if (!c.has_range())
            continue;
        const std::vector<uint8_t>& u = unions[c.range];
        for (size_t k = 0; k < u.size(); ++k) {
            if (u[k] == 0)
                c.all_passes.push_back(static_cast<int32_t>(k));
        }
    }
}

void predict_reports(Analysis& a) {
    // The rebuild's own merge, over the captures it could read, in their order.
    const auto rec = std::make_unique<Reception>();
    reception_reset(*rec);
    Capture* previous = nullptr; // the last file the rebuild read
    for (Capture& c : a.captures) {
        c.reported = -1;
        c.report.clear();
        c.report_final = false;
        if (c.status != CaptureStatus::ok)
            continue;
        start_file(*rec, c.math.mcomsize);
        for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
            if (c.received[static_cast<size_t>(PN)] != 0)
                mark_slot(*rec, PN);
        }
        if (previous != nullptr && merges_with_previous(*rec, c.math.rangekey))
            previous->report_final = false;
        c.reported = end_file(*rec, c.math.mcomsize, c.math.rangekey);
        for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
            if (rec->judgeo[PN] == 0)
                c.report.push_back(PN);
        }
        c.report_final = true;
        previous = &c;
    }
}

namespace {

// Everything derived from what the captures received.
// (The coverage bits were set while the frames were placed.)
void derive(Analysis& a) {
    find_missing_spans(a);
    find_unsettled(a);
    find_missing_after_all_passes(a);
    predict_reports(a);
}

// Reads the run description and sets up its captures, with nothing read yet. False, with a
// message, when it cannot be read.
bool load_description(Analysis& a, std::string& error) {
    const std::string path = (fs::path(a.dir) / kRunInfoName).string();
    const FileMark now = mark_of(path);
    RunDescription info;
    if (!a.reader.read_description(path, info, error))
        return false;
    a.head = info.head;
    for (int k = 0; k < 4; ++k)
        a.head_lines[k] = info.head_lines[k];
    a.captures.clear();
    a.captures.reserve(info.names.size());
    for (const std::string& name : info.names)
        a.captures.push_back(a.reader.capture_of(name, info.head.SC_S));
    a.listed = static_cast<int32_t>(info.names.size());
    a.info_mark = now;
    return true;
}

// True when file_info.txt or a capture it lists is not as it was when last read.
bool anything_changed(const Analysis& a) {
    if (!same_mark(mark_of((fs::path(a.dir) / kRunInfoName).string()), a.info_mark))
        return true;
    for (const Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        if (!same_mark(mark_of((fs::path(a.dir) / c.name).string()), c.progress.mark))
            return true;
    }
    return false;
}

} // namespace

bool analyse(Analysis& a, std::string& error) {
    if (!load_description(a, error))
        return false;
    mark_repeats(a);
    read_all(a);
    derive(a);
    return true;
}

bool refresh(Analysis& a, bool& changed, std::string& error) {
    changed = anything_changed(a);
    return !changed || analyse(a, error);
}

int64_t total_frames(const Analysis& a) {
    int64_t n = 0;
    for (const Capture& c : a.captures)
        n += c.frames;
    return n;
}

} // namespace imgcover
