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
    for (size_t j = 0; j < a.captures.size(); ++j) {
        Capture& c = a.captures[j];
        c.repeat = false;
        if (!c.has_range())
            continue;
        for (size_t i = 0; i < j && !c.repeat; ++i) {
            const Capture& e = a.captures[i];
            c.repeat =
                e.has_range() && e.first_page() <= c.last_page() && c.first_page() <= e.last_page();
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

void find_missing_after_all_passes(Analysis& a) {
    std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, std::vector<uint8_t>> unions;
    for (const Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        std::vector<uint8_t>& u = unions[{c.range.SSC, c.range.SP, c.range.ESC, c.range.EP}];
        u.resize(c.received.size(), 0);
        for (size_t k = 0; k < c.received.size(); ++k)
            u[k] |= c.received[k];
    }
    for (Capture& c : a.captures) {
        c.all_passes.clear();
        if (!c.has_range())
            continue;
        const std::vector<uint8_t>& u = unions[{c.range.SSC, c.range.SP, c.range.ESC, c.range.EP}];
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
void derive(Analysis& a) {
    mark_repeats(a);
    compute_coverage(a);
    find_missing_spans(a);
    find_missing_after_all_passes(a);
    predict_reports(a);
}

// Takes the run description's name lines: a capture whose line is unchanged keeps what was
// read of it.
void take_names(Analysis& a, const RunDescription& info) {
    std::vector<Capture> next;
    next.reserve(info.names.size());
    for (size_t i = 0; i < info.names.size(); ++i) {
        Capture c = a.reader.capture_of(info.names[i], info.head.SC_S);
        if (i < a.captures.size() && a.captures[i].name == c.name &&
            a.captures[i].status == c.status && a.captures[i].has_range() == c.has_range() &&
            (!c.has_range() ||
             (a.captures[i].math.base == c.math.base && a.captures[i].math.npage == c.math.npage)))
            next.push_back(std::move(a.captures[i]));
        else
            next.push_back(std::move(c));
    }
    a.captures = std::move(next);
    a.listed = static_cast<int32_t>(info.names.size());
}

// Reads the run description again when it changed (always when `fresh`). True when it was
// read; false, with a message, when it could not be.
bool load_description(Analysis& a, bool fresh, bool& any, std::string& error) {
    const std::string path = (fs::path(a.dir) / kRunInfoName).string();
    const FileMark now = mark_of(path);
    if (!fresh && same_mark(now, a.info_mark))
        return true;
    RunDescription info;
    if (!a.reader.read_description(path, info, error))
        return false;
    const bool head_changed =
        fresh || info.head.imagesize != a.head.imagesize || info.head.SC_S != a.head.SC_S;
    if (head_changed) {
        a.captures.clear();
        a.image.assign(a.keep_image ? static_cast<size_t>(info.head.imagesize) + kOutputExtra : 0,
                       0xFF);
    }
    a.head = info.head;
    for (int k = 0; k < 4; ++k)
        a.head_lines[k] = info.head_lines[k];
    take_names(a, info);
    a.info_mark = now;
    any = true;
    return true;
}

// Reads what every capture gained. True when anything changed.
bool read_captures(Analysis& a) {
    const ImageSink sink{a.keep_image ? a.image.data() : nullptr,
                         static_cast<int64_t>(a.image.size())};
    bool any = false, reset_any = false;
    for (Capture& c : a.captures) {
        bool reset = false;
        any = a.reader.read(a.dir, c, sink, reset) || any;
        reset_any = reset_any || reset;
    }
    if (reset_any && a.keep_image) {
        // A capture was read again from its start: rebuild the image from every capture, in
        // their order, so that the later frame wins as in the rebuild.
        std::fill(a.image.begin(), a.image.end(), 0xFF);
        for (Capture& c : a.captures) {
            CaptureReader::forget(c);
            bool reset = false;
            a.reader.read(a.dir, c, sink, reset);
        }
    }
    return any;
}

bool load(Analysis& a, bool& changed, bool fresh, std::string& error) {
    bool any = false;
    if (!load_description(a, fresh, any, error))
        return false;
    any = read_captures(a) || any;
    if (any || fresh)
        derive(a);
    changed = any;
    return true;
}

} // namespace

bool analyse(Analysis& a, std::string& error) {
    bool changed = false;
    return load(a, changed, true, error);
}

bool refresh(Analysis& a, bool& changed, std::string& error) {
    return load(a, changed, false, error);
}

int64_t total_frames(const Analysis& a) {
    int64_t n = 0;
    for (const Capture& c : a.captures)
        n += c.frames;
    return n;
}

} // namespace imgcover
