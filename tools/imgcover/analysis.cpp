#include "analysis.hpp"

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <map>
#include <memory>
#include <tuple>
#include <unordered_map>

#include "image/reception.hpp"
#include "limits.hpp"

namespace imgcover {

namespace fs = std::filesystem;
using namespace imgrebuild;

namespace {

// Looks again at bytes lo to hi for `spans`, the maximal runs of bytes for which `in(o)` holds,
// ascending: the runs within those bytes are found anew, joined to the parts outside them of
// the spans that cross their ends. Returns how many more bytes the spans hold than before.
template <class In> int64_t respan(std::vector<Span>& spans, int64_t lo, int64_t hi, In&& in) {
    auto from = std::lower_bound(spans.begin(), spans.end(), lo - 1,
                                 [](const Span& s, int64_t o) { return s.last < o; });
    auto to = from;
    int64_t removed = 0;
    for (; to != spans.end() && to->first <= hi + 1; ++to)
        removed += std::max<int64_t>(0, std::min(to->last, hi) - std::max(to->first, lo) + 1);
    std::vector<Span> found;
    if (from != to && from->first < lo)
        found.push_back({from->first, lo - 1}); // the part before the bytes looked at
    int64_t added = 0;
    for (int64_t o = lo; o <= hi; ++o) {
        if (!in(o))
            continue;
        if (!found.empty() && found.back().last == o - 1)
            found.back().last = o;
        else
            found.push_back({o, o});
        ++added;
    }
    if (from != to && std::prev(to)->last > hi) {
        const Span after{hi + 1, std::prev(to)->last}; // the part after them
        if (!found.empty() && found.back().last == hi)
            found.back().last = after.last;
        else
            found.push_back(after);
    }
    const auto at = spans.erase(from, to);
    spans.insert(at, found.begin(), found.end());
    return added - removed;
}

// Capture `i` disagrees over whole frames with what was placed before: from it on, a new era.
// The bytes it placed so far (its slots before the one being placed) move into the new era
// with it, as their final values are its own.
void begin_era(Analysis& a, size_t i) {
    a.changes.push_back({i, INT64_MAX, INT64_MIN, 0});
    const int32_t now = a.era_now();
    const Capture& c = a.captures[i];
    CaptureFile& f = a.files[static_cast<size_t>(c.file)];
    f.era = now;
    const int64_t size = a.head.imagesize;
    if (a.era.empty())
        a.era.assign(static_cast<size_t>(size), 0); // every byte so far of the first era
    for (size_t k = 0; k + 1 < f.read.slots.size(); ++k) {
        const Span s = frame_span(c.math, f.read.slots[k], size);
        for (int64_t o = s.first; o <= s.last; ++o)
            a.era[static_cast<size_t>(o)] = now;
    }
}

// Notes that a frame of capture `i` over image bytes `s` disagrees over whole bytes with the
// values placed before it in the current era.
void note_change(Analysis& a, size_t i, const Span& s) {
    if (a.changes.empty() || a.changes.back().listing != i)
        begin_era(a, i);
    Change& c = a.changes.back();
    // The pages its name states: a range's last frame may reach a byte into the next page.
    const Capture& at = a.captures[i];
    c.first_page = std::min(c.first_page, std::max(at.first_page(), s.first / kPageBytes));
    c.last_page = std::max(c.last_page, std::min(at.last_page(), s.last / kPageBytes));
    ++c.frames;
}

// Bytes of `in` on which `values` (from image byte `start` on) differ from the values placed
// in the current era (for the capture that began it, in the era before too), leaving out the
// bytes frames disagreed on already: a corrupted value there is no sign of a change, and a frame
// that straddles two corrupted ones would meet two of them besides its own.
int32_t differing_bytes(const Analysis& a, size_t i, const Span& in, int64_t start,
                        const uint8_t* values) {
    const int32_t now = a.era_now();
    const int32_t from = !a.changes.empty() && a.changes.back().listing == i ? now - 1 : now;
    int32_t differ = 0;
    for (int64_t o = in.first; o <= in.last; ++o) {
        const size_t k = static_cast<size_t>(o);
        differ += a.ledger.placed(o) && !a.ledger.contested(o) && a.image[k] != values[o - start] &&
                  a.era_of(o) >= from;
    }
    return differ;
}

// Before `values` of era `era` are placed on bytes `in`: a byte whose value is of another era
// and differs forgets what was placed on it, as values from either side of a change do not
// contest each other (the memory changed in between); an equal value still confirms it.
// `i`: the capture placing them. A capture never makes its own values forgotten: its frames
// are of one era (those placed before it began one move into it).
void forget_other_eras(Analysis& a, const Span& in, int32_t era, const uint8_t* values, size_t i) {
    for (int64_t o = in.first; o <= in.last; ++o) {
        const size_t k = static_cast<size_t>(o);
        if (a.era[k] != era && a.image[k] != values[o - in.first] && a.ledger.placed(o)) {
            a.ledger.forget(o);
            ++a.forgotten;
            if (a.forgot_at.empty())
                a.forgot_at.assign(static_cast<size_t>(a.head.imagesize), 0);
            a.forgot_at[k] = static_cast<int32_t>(i);
        }
    }
}

// Places one sound frame of capture `i` (its 163 data values) where the rebuild places it;
// `again` when the capture already filled slot `PN`, `copy` unless the capture is a file
// listed before, whose values are no further copy. Within the image the ledger records it, the
// coverage marks it, a frame that disagrees over whole bytes with the current era's values
// begins a new one, and the bytes take the era of their values; bytes past the image land in
// the output's extra bytes, as in the rebuild. Returns the image bytes it placed.
Span place(Analysis& a, size_t i, int32_t PN, const uint8_t* values, bool again, bool copy) {
    const Capture& c = a.captures[i];
    const int64_t size = a.head.imagesize;
    const int64_t start = slot_offset(c.math, PN);
    const Span s = frame_span(c.math, PN, static_cast<int64_t>(a.image.size()));
    const Span in{s.first, std::min(s.last, size - 1)};
    if (in.first <= in.last) {
        if (copy && !again && differing_bytes(a, i, in, start, values) >= kChangedBytes)
            note_change(a, i, in);
        const int32_t era = a.file_of(c).era; // a file listed again gives its values' era
        if (!a.changes.empty())
            forget_other_eras(a, in, era, values + (in.first - start), i);
        a.ledger.place(a.image.data(), in.first, in.last, values + (in.first - start), again, copy);
        const uint8_t covered = c.repeat ? kCovered : kCovered | kFirstTry;
        for (int64_t o = in.first; o <= in.last; ++o)
            a.coverage[static_cast<size_t>(o)] |= covered;
        if (!a.era.empty()) {
            for (int64_t o = in.first; o <= in.last; ++o)
                a.era[static_cast<size_t>(o)] = era;
        }
    }
    for (int64_t o = std::max(s.first, size); o <= s.last; ++o)
        a.image[static_cast<size_t>(o)] = values[o - start];
    return in;
}

// Hands the frames of a capture's file, as they are read, to the image and the ledger; keeps
// their values for a later listing, and the image bytes they placed, where asked.
class Placer final : public FrameSink {
  public:
    Placer(Analysis& a, size_t i, std::vector<uint8_t>* keep, std::vector<Span>* placed)
        : a_(a), i_(i), keep_(keep), placed_(placed) {}
    void frame(int32_t PN, const int32_t* values, bool again) override {
        uint8_t v[kSlotBytes];
        for (int32_t k = 0; k < kSlotBytes; ++k)
            v[k] = static_cast<uint8_t>(values[k]);
        if (keep_ != nullptr)
            keep_->insert(keep_->end(), v, v + kSlotBytes);
        const Span s = place(a_, i_, PN, v, again, true);
        if (placed_ != nullptr && s.first <= s.last)
            placed_->push_back(s);
    }

  private:
    Analysis& a_;
    size_t i_;
    std::vector<uint8_t>* keep_;
    std::vector<Span>* placed_;
};

// Places the frames of capture `i`'s file again, as the rebuild does when it reads a file
// listed before: what the file holds was read once.
void replay(Analysis& a, size_t i) {
    const Capture& c = a.captures[i];
    const CaptureFile& f = a.file_of(c);
    if (f.read.slots.empty())
        return; // nothing received: a file not there costs nothing however often listed
    std::vector<uint8_t> filled(f.read.received.size(), 0);
    for (size_t k = 0; k < f.read.slots.size(); ++k) {
        uint8_t& again = filled[static_cast<size_t>(f.read.slots[k])];
        place(a, i, f.read.slots[k], f.replay.data() + k * kSlotBytes, again != 0, false);
        again = 1;
    }
}

// The full path of a file of the run.
std::string path_in(const Analysis& a, const std::string& name) {
    return (fs::path(a.dir) / name).string();
}

// What tells capture `c`'s file from every other: the file (however it is named) and the range
// its name states.
std::string key_of(const Analysis& a, const Listed& c) {
    return file_key(a.dir, c.name) + " " + std::to_string(c.range.SSC) + " " +
           std::to_string(c.range.SP) + " " + std::to_string(c.range.ESC) + " " +
           std::to_string(c.range.EP);
}

// A file that was not there when the run was analysed is now: true when it turns out to be a
// file listed under another name too (a link made since), which only a fresh analysis reads as
// one; else its key is brought up to date.
bool joins_another(Analysis& a, size_t k) {
    CaptureFile& f = a.files[k];
    f.key = key_of(a, a.captures[static_cast<size_t>(f.first)]);
    for (size_t other = 0; other < a.files.size(); ++other) {
        if (other != k && a.files[other].key == f.key)
            return true;
    }
    return false;
}

// Reads the run description and sets up its captures and their files, with nothing read yet.
// False, with a message, when it cannot be read.
bool load_description(Analysis& a, std::string& error) {
    const std::string path = path_in(a, kRunInfoName);
    const FileMark now = mark_of(path);
    RunDescription info;
    if (!a.reader.read_description(path, info, error))
        return false;
    a.head = info.head;
    for (int k = 0; k < 4; ++k)
        a.head_lines[k] = info.head_lines[k];
    a.captures.clear();
    a.files.clear();
    a.captures.reserve(info.names.size());
    // Each name looked up once; two names of one file (a link, "./name") with the same range
    // are one file.
    std::unordered_map<std::string, int32_t> file_named, file_keyed;
    for (const std::string& line : info.names) {
        Capture c;
        static_cast<Listed&>(c) = a.reader.listed_of(line, info.head.SC_S);
        const int32_t i = static_cast<int32_t>(a.captures.size());
        if (c.has_range()) {
            auto named = file_named.find(c.name);
            if (named == file_named.end()) {
                const std::string key = key_of(a, c);
                const auto [it, fresh] =
                    file_keyed.emplace(key, static_cast<int32_t>(a.files.size()));
                if (fresh) {
                    a.files.emplace_back();
                    a.files.back().read = unread(c);
                    a.files.back().first = i;
                    a.files.back().key = key;
                } else {
                    // Another name of a listed file, watched as it stands now.
                    a.files[static_cast<size_t>(it->second)].aliases.push_back(
                        {c.name, mark_of(path_in(a, c.name))});
                }
                named = file_named.emplace(c.name, it->second).first;
            }
            c.file = named->second;
            ++a.files[static_cast<size_t>(c.file)].listings;
        }
        a.captures.push_back(std::move(c));
    }
    a.info_mark = now;
    return true;
}

// Sets every capture's status from its file's.
void take_statuses(Analysis& a) {
    for (Capture& c : a.captures) {
        if (c.has_range())
            c.status = a.read_of(c).status;
    }
}

} // namespace

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

void place_all(Analysis& a) {
    const int64_t size = a.head.imagesize;
    a.image.assign(static_cast<size_t>(size) + kOutputExtra, 0xFF);
    a.ledger.reset(size);
    a.coverage.assign(static_cast<size_t>(size), 0);
    a.era.clear(); // made at the first change
    a.changes.clear();
    a.forgotten = 0;
    a.forgot_at.clear();
    for (size_t i = 0; i < a.captures.size(); ++i) {
        const Capture& c = a.captures[i];
        if (!c.has_range())
            continue;
        CaptureFile& f = a.files[static_cast<size_t>(c.file)];
        if (!a.first_listing(i)) {
            replay(a, i);
            continue;
        }
        f.read = unread(c);
        f.replay.clear();
        f.era = a.era_now();
        Placer sink(a, i, f.listings > 1 ? &f.replay : nullptr, nullptr);
        a.reader.read(a.dir, f.read, sink);
    }
    take_statuses(a);
}

void find_missing_spans(Analysis& a) {
    const int64_t size = a.head.imagesize;
    a.missing.clear();
    const uint8_t* cov = a.coverage.data();
    a.covered_bytes =
        size - respan(a.missing, 0, size - 1, [&](int64_t o) { return (cov[o] & kCovered) == 0; });
}

namespace {

// A frame of capture `i` over image bytes `s` is contradicted: a byte it placed is contested,
// its value not forgotten since (as one from before a change).
bool contradicted(const Analysis& a, const Span& s, size_t i) {
    if (a.forgot_at.empty())
        return a.ledger.any_contested(s.first, s.last);
    for (int64_t o = s.first; o <= s.last; ++o) {
        if (a.ledger.contested(o) && a.forgot_at[static_cast<size_t>(o)] <= static_cast<int32_t>(i))
            return true;
    }
    return false;
}

} // namespace

void find_unsettled(Analysis& a) {
    const int64_t size = a.head.imagesize;
    uint8_t* cov = a.coverage.data();
    a.contested_bytes = 0;
    for (int64_t o = 0; o < size; ++o)
        a.contested_bytes += a.ledger.contested(o);
    a.unsettled_bytes = 0;
    a.unsettled.clear();
    for (CaptureFile& f : a.files)
        f.contradicted_frames = 0;
    if (a.contested_bytes == 0)
        return; // no frame is contradicted, so every byte is settled
    // A frame is contradicted when a byte it placed is contested. Going through the frames in
    // the rebuild's order, the last frame to place a byte decides whether it is unsettled: it
    // is when that frame is contradicted and only one capture placed the byte's final value.
    for (size_t i = 0; i < a.captures.size(); ++i) {
        const Capture& c = a.captures[i];
        if (!c.has_range())
            continue;
        CaptureFile& f = a.files[static_cast<size_t>(c.file)];
        const bool first = a.first_listing(i);
        for (const int32_t PN : f.read.slots) {
            const Span s = frame_span(c.math, PN, size);
            if (!contradicted(a, s, i)) {
                for (int64_t o = s.first; o <= s.last; ++o)
                    cov[o] &= static_cast<uint8_t>(~kUnsettled);
                continue;
            }
            f.contradicted_frames += first;
            for (int64_t o = s.first; o <= s.last; ++o)
                cov[o] = a.ledger.multi(o) ? static_cast<uint8_t>(cov[o] & ~kUnsettled)
                                           : static_cast<uint8_t>(cov[o] | kUnsettled);
        }
    }
    a.unsettled_bytes =
        respan(a.unsettled, 0, size - 1, [&](int64_t o) { return (cov[o] & kUnsettled) != 0; });
}

namespace {

// find_copies for bytes lo to hi, the others being as they were; the unsettled bytes and the
// covered ones already counted.
void find_copies_in(Analysis& a, int64_t lo, int64_t hi) {
    const uint8_t* cov = a.coverage.data();
    const int32_t now = a.era_now();
    a.single_copy_bytes += respan(a.single_copy, lo, hi, [&](int64_t o) {
        return (cov[o] & (kCovered | kUnsettled)) == kCovered && !a.ledger.multi(o);
    });
    a.stale_bytes += respan(
        a.stale, lo, hi, [&](int64_t o) { return (cov[o] & kCovered) != 0 && a.era_of(o) != now; });
    // Every covered byte is confirmed, unsettled or on one copy: unsettled bytes are never
    // confirmed.
    a.confirmed_bytes = a.covered_bytes - a.unsettled_bytes - a.single_copy_bytes;
}

} // namespace

void find_copies(Analysis& a) {
    a.single_copy.clear();
    a.stale.clear();
    a.single_copy_bytes = a.stale_bytes = 0;
    find_copies_in(a, 0, a.head.imagesize - 1);
}

namespace {

// The slots no file of range `key` filled, for every file of that range.
void find_missing_after_all_passes_of(Analysis& a, const PageRange& key,
                                      std::vector<CaptureFile*>& group) {
    group.clear();
    for (CaptureFile& f : a.files) {
        if (a.captures[static_cast<size_t>(f.first)].range == key)
            group.push_back(&f);
    }
    if (group.empty())
        return;
    std::vector<uint8_t> u(group[0]->read.received.size(), 0);
    for (const CaptureFile* f : group) {
        for (size_t k = 0; k < u.size(); ++k)
            u[k] |= f->read.received[k];
    }
    std::vector<int32_t> missing;
    for (size_t k = 0; k < u.size(); ++k) {
        if (u[k] == 0)
            missing.push_back(static_cast<int32_t>(k));
    }
    for (CaptureFile* f : group)
        f->all_passes = missing;
}

} // namespace

void find_missing_after_all_passes(Analysis& a) {
    std::map<PageRange, std::vector<uint8_t>> unions;
    const auto range_of = [&](const CaptureFile& f) {
        return a.captures[static_cast<size_t>(f.first)].range;
    };
    for (const CaptureFile& f : a.files) {
        std::vector<uint8_t>& u = unions[range_of(f)];
        u.resize(f.read.received.size(), 0);
        for (size_t k = 0; k < f.read.received.size(); ++k)
            u[k] |= f.read.received[k];
    }
    for (CaptureFile& f : a.files) {
        f.all_passes.clear();
        const std::vector<uint8_t>& u = unions[range_of(f)];
        for (size_t k = 0; k < u.size(); ++k) {
            if (u[k] == 0)
                f.all_passes.push_back(static_cast<int32_t>(k));
        }
    }
}

namespace {

// The rebuild's merge of capture `i`, which it could read, into `rec`: whether it merged with
// the file before it, and how many slots its report lists (rec.judgeo holds them).
int32_t merge_capture(const Analysis& a, size_t i, Reception& rec, bool& merges) {
    const Capture& c = a.captures[i];
    const CaptureRead& r = a.read_of(c);
    start_file(rec, c.math.mcomsize);
    for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
        if (r.received[static_cast<size_t>(PN)] != 0)
            mark_slot(rec, PN);
    }
    merges = merges_with_previous(rec, c.math.rangekey);
    return end_file(rec, c.math.mcomsize, c.math.rangekey);
}

// predict_reports for captures `changed` and later, the ones before being as they were: goes on
// from the merge point when it stands at or before `changed`, else from the start. Leaves the
// merge point before the last capture the rebuild reads, the one most likely to grow next.
void predict_reports_from(Analysis& a, size_t changed) {
    const MergePoint from = a.merged.at <= changed ? a.merged : MergePoint{};
    const auto rec = std::make_unique<Reception>();
    if (from.rec)
        *rec = *from.rec;
    else
        reception_reset(*rec);
    const size_t n = a.captures.size();
    size_t last = n;
    for (size_t i = from.at; i < n; ++i) {
        Capture& c = a.captures[i];
        c.reported = -1;
        c.report_final = false;
        if (c.status == CaptureStatus::ok)
            last = i;
    }
    int32_t previous = from.previous; // the last file the rebuild read
    if (previous >= 0)
        a.captures[static_cast<size_t>(previous)].report_final = true;
    for (size_t i = from.at; i < n; ++i) {
        if (i == last)
            a.merged = {i, previous, std::make_shared<const Reception>(*rec)};
        Capture& c = a.captures[i];
        if (c.status != CaptureStatus::ok)
            continue;
        bool merges = false;
        c.reported = merge_capture(a, i, *rec, merges);
        if (previous >= 0 && merges)
            a.captures[static_cast<size_t>(previous)].report_final = false;
        c.report_final = true;
        previous = static_cast<int32_t>(i);
    }
}

} // namespace

void predict_reports(Analysis& a) {
    a.merged = MergePoint{};
    predict_reports_from(a, 0);
}

std::vector<int32_t> reported_slots(const Analysis& a, size_t i) {
    const auto rec = std::make_unique<Reception>();
    reception_reset(*rec);
    bool merges = false;
    for (size_t k = 0; k < i; ++k) {
        if (a.captures[k].status == CaptureStatus::ok)
            merge_capture(a, k, *rec, merges);
    }
    std::vector<int32_t> slots;
    if (i >= a.captures.size() || a.captures[i].status != CaptureStatus::ok)
        return slots;
    merge_capture(a, i, *rec, merges);
    for (int32_t PN = 0; PN < a.captures[i].math.mcomsize; ++PN) {
        if (rec->judgeo[PN] == 0)
            slots.push_back(PN);
    }
    return slots;
}

int64_t total_frames(const Analysis& a) {
    int64_t n = 0;
    for (const Capture& c : a.captures) {
        if (c.has_range())
            n += a.read_of(c).frames;
    }
    return n;
}

namespace {

// Everything derived from what the captures received, in its order.
void derive(Analysis& a) {
    find_missing_spans(a);
    find_unsettled(a);
    find_copies(a);
    find_missing_after_all_passes(a);
    predict_reports(a);
}

// True when capture files `grown` (by index, each listed once, in the order listed) can be read
// on from where they stand: no frame of a capture listed after the first of them was placed.
bool extends(const Analysis& a, const std::vector<int32_t>& grown) {
    const size_t first = static_cast<size_t>(a.files[static_cast<size_t>(grown.front())].first);
    for (size_t i = first + 1; i < a.captures.size(); ++i) {
        const Capture& c = a.captures[i];
        if (c.has_range() && a.read_of(c).frames > 0)
            return false;
    }
    return true;
}

// Reads on the grown files and extends every derived part with what they placed. False when a
// read failed, so that only a fresh analysis tells what the files hold.
bool extend(Analysis& a, const std::vector<int32_t>& grown) {
    std::vector<Span> placed;
    const size_t changes = a.changes.size();
    const int64_t forgotten = a.forgotten;
    for (const int32_t k : grown) {
        CaptureFile& f = a.files[static_cast<size_t>(k)];
        if (f.read.frames == 0)
            f.era = a.era_now(); // as a full analysis gives it, after every capture before it
        Placer sink(a, static_cast<size_t>(f.first), nullptr, &placed);
        a.reader.read(a.dir, f.read, sink);
        if (f.read.status != CaptureStatus::ok)
            return false;
    }
    // The memory changed (bytes anywhere may now be stale), or values were forgotten (frames
    // placed before may no longer be contradicted): the contests and copies are found anew.
    const bool eras_moved = a.changes.size() != changes || a.forgotten != forgotten;
    take_statuses(a);
    const int64_t size = a.head.imagesize;
    int64_t lo = size, hi = -1;
    bool contested = false;
    for (const Span& s : placed) {
        lo = std::min(lo, s.first);
        hi = std::max(hi, s.last);
        contested = contested || a.ledger.any_contested(s.first, s.last);
    }
    uint8_t* cov = a.coverage.data();
    if (hi >= lo)
        a.covered_bytes -=
            respan(a.missing, lo, hi, [&](int64_t o) { return (cov[o] & kCovered) == 0; });
    if (contested || eras_moved) {
        find_unsettled(a);
        find_copies(a);
    } else if (hi >= lo) {
        // No frame placed now is contradicted, and none placed before became so: the bytes
        // placed now are settled, the others as they were.
        for (const Span& s : placed) {
            for (int64_t o = s.first; o <= s.last; ++o)
                cov[o] &= static_cast<uint8_t>(~kUnsettled);
        }
        a.unsettled_bytes +=
            respan(a.unsettled, lo, hi, [&](int64_t o) { return (cov[o] & kUnsettled) != 0; });
        find_copies_in(a, lo, hi);
    }
    std::vector<CaptureFile*> group;
    for (const int32_t k : grown) {
        const CaptureFile& f = a.files[static_cast<size_t>(k)];
        find_missing_after_all_passes_of(a, a.captures[static_cast<size_t>(f.first)].range, group);
    }
    predict_reports_from(a, static_cast<size_t>(a.files[static_cast<size_t>(grown.front())].first));
    return true;
}

} // namespace

bool analyse(Analysis& a, std::string& error) {
    if (!load_description(a, error))
        return false;
    mark_repeats(a);
    place_all(a);
    derive(a);
    return true;
}

bool look(Analysis& a, bool& changed, std::string& error) {
    changed = true;
    if (!same_mark(mark_of(path_in(a, kRunInfoName)), a.info_mark))
        return analyse(a, error);
    // Each file looked at once, however often it is listed.
    std::vector<int32_t> grown;
    bool other = false;
    for (size_t k = 0; k < a.files.size() && !other; ++k) {
        const CaptureFile& f = a.files[k]; // joins_another may bring its key up to date
        for (const Alias& alias : f.aliases)
            other = other || !same_mark(mark_of(path_in(a, alias.name)), alias.mark);
        switch (change_of(f.read, mark_of(path_in(a, f.read.name)))) {
        case FileChange::none:
            break;
        case FileChange::appended:
            if (f.listings > 1)
                other = true; // its frames are placed at every listing
            else if (!f.read.progress.mark.exists && joins_another(a, k))
                other = true; // there now, as another name of a listed file
            grown.push_back(static_cast<int32_t>(k));
            break;
        case FileChange::other:
            other = true;
            break;
        }
    }
    if (!other && grown.empty()) {
        changed = false;
        return true;
    }
    if (!other && extends(a, grown) && extend(a, grown))
        return true;
    return analyse(a, error);
}

} // namespace imgcover
