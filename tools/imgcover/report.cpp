#include "report.hpp"

#include <algorithm>
#include <set>
#include <tuple>

#include "image/image.hpp"
#include "limits.hpp"
#include "text.hpp"

namespace imgcover {

namespace {

std::string range_text(const PageRange& r) {
    return format("(%d,%d)-(%d,%d)", r.SSC, r.SP, r.ESC, r.EP);
}

// Per capture: true when no capture after it covers the same exact range, so that its report
// is the one an operator acts on.
std::vector<bool> last_of_range(const Analysis& a) {
    std::vector<bool> last(a.captures.size(), false);
    std::set<std::tuple<int32_t, int32_t, int32_t, int32_t>> later;
    for (size_t i = a.captures.size(); i-- > 0;) {
        const Capture& c = a.captures[i];
        if (c.has_range())
            last[i] = later.insert({c.range.SSC, c.range.SP, c.range.ESC, c.range.EP}).second;
    }
    return last;
}

// What the lines of a capture were, when any was not a sound frame of its own slot or a frame
// was contradicted; else nothing.
std::string line_quality(const CaptureFile& f) {
    const CaptureRead& c = f.read;
    if (c.blank_lines + c.bad_lines + c.not_image + c.duplicate_frames + f.contradicted_frames == 0)
        return {};
    std::string s = format("    %s lines:", grouped(c.progress.lines).c_str());
    const auto add = [&](int64_t n, const char* what) {
        if (n > 0)
            s += format(" %s %s,", grouped(n).c_str(), what);
    };
    add(c.blank_lines, "blank");
    add(c.bad_lines, "not a valid frame");
    add(c.not_image, "not image data");
    add(c.duplicate_frames, "duplicate");
    add(f.contradicted_frames, "contradicted");
    s.back() = '\n';
    return s;
}

// The last byte of the image in the capture's pages.
int64_t last_byte(const Analysis& a, const Capture& c) {
    return std::min<int64_t>(c.math.base + int64_t{c.math.npage} * imgrebuild::kPageBytes - 1,
                             a.head.imagesize - 1);
}

// Bytes of the image in the slots the capture did not receive.
int64_t missing_in_file(const Analysis& a, const Capture& c) {
    const int64_t last = last_byte(a, c);
    const std::vector<uint8_t>& received = a.read_of(c).received;
    int64_t n = 0;
    for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
        if (received[static_cast<size_t>(PN)] != 0)
            continue;
        const Span s = imgrebuild::slot_span(imgrebuild::slot_offset(c.math, PN), last);
        n += std::max<int64_t>(0, s.last - s.first + 1);
    }
    return n;
}

// Bytes of the image in the capture's pages that no capture covered.
int64_t missing_in_image(const Analysis& a, const Capture& c) {
    const int64_t last = last_byte(a, c);
    int64_t n = 0;
    for (int64_t o = std::max<int64_t>(0, c.math.base); o <= last; ++o)
        n += (a.coverage[static_cast<size_t>(o)] & kCovered) == 0;
    return n;
}

} // namespace

std::string human_report(const Analysis& a, const std::vector<Request>& plan) {
    std::string s = format("run in %s: imagesize %s, SC_S %d, %d of %d listed captures\n\n",
                           printable(a.dir).c_str(), grouped(a.head.imagesize).c_str(), a.head.SC_S,
                           static_cast<int32_t>(a.captures.size()), a.head.numfile);
    size_t width = 7;
    for (const Capture& c : a.captures)
        width = std::max(width, std::min<size_t>(c.name.size(), 40));
    s += format("%*s%s\n", static_cast<int>(width) + 2 + 22 + 1 + 6 + 1 + 6 + 8, "",
                "missing bytes");
    s += format("%-*s  %-22s %6s %6s %13s %13s\n", static_cast<int>(width), "capture", "range",
                "slots", "got", "in this file", "in the image");
    bool overstated = false, understated = false;
    const std::vector<bool> last = last_of_range(a);
    for (size_t i = 0; i < a.captures.size(); ++i) {
        const Capture& c = a.captures[i];
        const std::string name =
            c.name.size() > width ? c.name.substr(0, width - 3) + "..." : c.name;
        s += format("%-*s  ", static_cast<int>(width), printable(name).c_str());
        if (c.status == CaptureStatus::bad_name) {
            s += "not a capture name\n";
            continue;
        }
        if (c.status == CaptureStatus::bad_range) {
            s += format("%-22s range of fewer than 1 or more than %d pages\n",
                        range_text(c.range).c_str(), imgrebuild::kMaxPages);
            continue;
        }
        const CaptureFile& f = a.file_of(c);
        int64_t got = 0;
        for (uint8_t r : f.read.received)
            got += r;
        s += format("%-22s %6d %6lld %13s %13s", range_text(c.range).c_str(), c.math.mcomsize,
                    static_cast<long long>(got), grouped(missing_in_file(a, c)).c_str(),
                    grouped(missing_in_image(a, c)).c_str());
        const int32_t truth = static_cast<int32_t>(f.all_passes.size());
        if (c.status == CaptureStatus::unreadable) {
            s += "  unreadable (not received yet)";
        } else if (c.reported >= 0 && c.reported < truth) {
            s += format("  ! rebuild lists only %d", c.reported);
            understated = true;
        } else if (c.reported > truth && last[i]) {
            s += format("  * rebuild lists %d", c.reported);
            overstated = true;
        }
        s += '\n';
        s += line_quality(f);
    }
    s += "(missing bytes in this file: of the slots this capture did not receive; in the image:\n"
         " of its range, that no capture has received yet, after every pass and resend)\n";
    if (overstated)
        s += "* the rebuild's report after the last pass over that range lists more: it merges a\n"
             "  pass only with the file just before it.\n";
    if (understated)
        s += "! the rebuild's report lists fewer: it merged that file with another range whose\n"
             "  numbers have the same sum, and takes slots of that range as received.\n";

    const int64_t size = a.head.imagesize;
    s += format("\nimage: %s of %s bytes covered (%.2f%%)\n", grouped(a.covered_bytes).c_str(),
                grouped(size).c_str(), a.covered_percent());
    if (a.contested_bytes > 0)
        s += format("contested: %s byte%s on which frames disagree; %s unsettled in %zu span%s\n",
                    grouped(a.contested_bytes).c_str(), a.contested_bytes == 1 ? "" : "s",
                    grouped(a.unsettled_bytes).c_str(), a.unsettled.size(),
                    a.unsettled.size() == 1 ? "" : "s");
    if (a.complete()) {
        s += "complete: every byte was received\n";
    } else if (a.missing.empty()) {
        s += "not complete: unsettled bytes wait for a capture that agrees with their last frame\n";
    } else {
        s += format("missing: %s bytes in %zu span%s\n", grouped(size - a.covered_bytes).c_str(),
                    a.missing.size(), a.missing.size() == 1 ? "" : "s");
        const size_t shown = std::min<size_t>(a.missing.size(), 20);
        for (size_t k = 0; k < shown; ++k) {
            const Span& m = a.missing[k];
            s += format("  bytes %10s - %10s  (%s)\n", grouped(m.first).c_str(),
                        grouped(m.last).c_str(), grouped(m.last - m.first + 1).c_str());
        }
        if (a.missing.size() > shown)
            s += format("  ... and %zu more\n", a.missing.size() - shown);
    }
    if (plan.empty())
        return s + "plan: nothing to ask for again\n";
    const int64_t pages = planned_pages(plan);
    s += format("\nplan: %zu request%s, %s page%s to send again\n", plan.size(),
                plan.size() == 1 ? "" : "s", grouped(pages).c_str(), pages == 1 ? "" : "s");
    const size_t shown = std::min<size_t>(plan.size(), 20);
    for (size_t k = 0; k < shown; ++k)
        s += format("  pages %-22s %s\n", range_text(plan[k].range).c_str(),
                    printable(plan[k].name).c_str());
    if (plan.size() > shown)
        s += format("  ... and %zu more (see --plan)\n", plan.size() - shown);
    return s;
}

// One capture's entry of the JSON.
nlohmann::json capture_json(const Analysis& a, const Capture& c) {
    using nlohmann::json;
    json e;
    e["name"] = utf8_clean(c.name);
    e["status"] = status_name(c.status);
    e["frames"] = c.has_range() ? a.read_of(c).frames : 0;
    if (c.has_range()) {
        const CaptureRead& r = a.read_of(c);
        e["lines"] = r.progress.lines;
        e["blank_lines"] = r.blank_lines;
        e["bad_lines"] = r.bad_lines;
        e["not_image"] = r.not_image;
        e["duplicate_frames"] = r.duplicate_frames;
        e["contradicted_frames"] = a.file_of(c).contradicted_frames;
    }
    if (c.status != CaptureStatus::bad_name) {
        e["SSC"] = c.range.SSC;
        e["SP"] = c.range.SP;
        e["ESC"] = c.range.ESC;
        e["EP"] = c.range.EP;
    }
    if (c.has_range()) {
        e["mcomsize"] = c.math.mcomsize;
        const std::vector<uint8_t>& received = a.read_of(c).received;
        json missing = json::array();
        for (size_t k = 0; k < received.size(); ++k) {
            if (received[k] == 0)
                missing.push_back(k);
        }
        e["missing_slots"] = std::move(missing);
        e["missing_after_all_passes"] = a.file_of(c).all_passes;
        e["repeat"] = c.repeat;
    }
    if (c.reported >= 0)
        e["reported_by_rebuild"] = c.reported;
    if (c.has_range() && !a.read_of(c).warning.empty())
        e["warning"] = utf8_clean(a.read_of(c).warning);
    return e;
}

nlohmann::json to_json(const Analysis& a, const std::vector<Request>& plan, bool with_captures) {
    using nlohmann::json;
    json j;
    j["imagesize"] = a.head.imagesize;
    j["SC_S"] = a.head.SC_S;
    j["numfile"] = a.head.numfile;
    j["complete"] = a.complete();
    j["covered_bytes"] = a.covered_bytes;
    j["missing_bytes"] = a.head.imagesize - a.covered_bytes;
    j["frames"] = total_frames(a);
    json spans = json::array();
    for (const Span& m : a.missing)
        spans.push_back({m.first, m.last});
    j["missing_spans"] = std::move(spans);
    j["contested_bytes"] = a.contested_bytes;
    j["unsettled_bytes"] = a.unsettled_bytes;
    json unsettled = json::array();
    for (const Span& u : a.unsettled)
        unsettled.push_back({u.first, u.last});
    j["unsettled_spans"] = std::move(unsettled);
    json captures = json::array();
    for (size_t i = 0; with_captures && i < a.captures.size(); ++i)
        captures.push_back(capture_json(a, a.captures[i]));
    j["captures"] = std::move(captures);
    json requests = json::array();
    for (const Request& q : plan)
        requests.push_back({{"SSC", q.range.SSC},
                            {"SP", q.range.SP},
                            {"ESC", q.range.ESC},
                            {"EP", q.range.EP},
                            {"name", q.name}});
    j["plan"] = std::move(requests);
    return j;
}

} // namespace imgcover

namespace imgcover {

std::string json_text(const Analysis& a, const std::vector<Request>& plan) {
    // The whole object without its captures, then the captures put in one by one, indented as
    // dump(2) indents them, so that no tree of every capture is ever held.
    const std::string head = to_json(a, plan, false).dump(2);
    const std::string mark = "\"captures\": []";
    const size_t at = head.find(mark);
    std::string s = head.substr(0, at) + "\"captures\": [";
    for (size_t i = 0; i < a.captures.size(); ++i) {
        std::string e = capture_json(a, a.captures[i]).dump(2);
        s += i == 0 ? "\n    " : ",\n    ";
        for (const char ch : e) {
            s += ch;
            if (ch == '\n')
                s += "    ";
        }
    }
    s += a.captures.empty() ? "]" : "\n  ]";
    s += head.substr(at + mark.size());
    return s + "\n";
}

} // namespace imgcover
