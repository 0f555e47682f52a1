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
    std::set<PageRange> later;
    for (size_t i = a.captures.size(); i-- > 0;) {
        const Capture& c = a.captures[i];
        if (c.has_range())
            last[i] = later.insert(c.range).second;
    }
    return last;
}

// The report's lines are at most this wide, so that it never wraps on a terminal of 80 columns.
constexpr size_t kReportWidth = 80;

// `items` joined by ", " after `lead`, the line broken before an item that would pass the
// report's width and carried on under `indent` spaces; ends with a line feed.
std::string wrapped(const std::string& lead, const std::vector<std::string>& items, size_t indent) {
    std::string s = lead, line;
    size_t at = columns(lead);
    for (size_t k = 0; k < items.size(); ++k) {
        const std::string item = items[k] + (k + 1 < items.size() ? "," : "");
        if (k > 0 && at + 1 + columns(item) > kReportWidth) {
            s += "\n" + std::string(indent, ' ');
            at = indent;
        } else if (k > 0 || !lead.empty()) {
            s += ' ';
            ++at;
        }
        s += item;
        at += columns(item);
    }
    return s + "\n";
}

// What the lines of a capture were, when any was not a sound frame of its own slot or a frame
// was contradicted; else nothing.
std::string line_quality(const CaptureFile& f) {
    const CaptureRead& c = f.read;
    if (c.blank_lines + c.bad_lines + c.not_image + c.duplicate_frames + f.contradicted_frames == 0)
        return {};
    std::vector<std::string> items;
    const auto add = [&](int64_t n, const char* what) {
        if (n > 0)
            items.push_back(grouped(n) + " " + what);
    };
    add(c.blank_lines, "blank");
    add(c.bad_lines, "not a valid frame");
    add(c.not_image, "not image data");
    add(c.duplicate_frames, "duplicate");
    add(f.contradicted_frames, "contradicted");
    return wrapped("    " + grouped(c.progress.lines) + " lines:", items, 6);
}

// The last byte of the image in the capture's pages.
int64_t last_byte(const Analysis& a, const Capture& c) {
    return std::min<int64_t>(imgrebuild::range_end(c.math) - 1, a.head.imagesize - 1);
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

// The line on copies: how many covered bytes rest on one capture file, and --confirm; nothing
// before a byte is received.
std::string copies_text(const Analysis& a) {
    if (a.covered_bytes == 0)
        return {};
    if (a.single_copy_bytes == 0)
        return a.confirmed_bytes == a.covered_bytes
                   ? "copies: two capture files or more gave every byte received\n"
                   : "copies: no byte from one capture file only\n";
    return word_wrapped(
        format("copies: %s byte%s from one capture file only", grouped(a.single_copy_bytes).c_str(),
               a.single_copy_bytes == 1 ? "" : "s") +
            (a.confirm ? ", asked for again (--confirm)" : "; --confirm asks for a second"),
        "", kReportWidth - 1);
}

// A page counted from block SC_S page 0, as (block,page).
std::string page_text(const Analysis& a, int64_t p) {
    return format("(%lld,%lld)", static_cast<long long>(a.head.SC_S + p / imgrebuild::kBlockPages),
                  static_cast<long long>(p % imgrebuild::kBlockPages));
}

// The files listed before capture `before` some of whose pages hold a stale byte: their first
// names, at most `most`, and how many there are.
std::vector<std::string> stale_sources(const Analysis& a, size_t before, size_t most,
                                       size_t& count) {
    std::vector<std::string> names;
    std::vector<bool> seen(a.files.size(), false);
    count = 0;
    for (size_t i = 0; i < before; ++i) {
        const Capture& c = a.captures[i];
        if (!c.has_range() || seen[static_cast<size_t>(c.file)])
            continue;
        const int64_t first = c.math.base,
                      last = std::min<int64_t>(c.math.limit, a.head.imagesize - 1);
        const auto hit = std::lower_bound(a.stale.begin(), a.stale.end(), first,
                                          [](const Span& s, int64_t o) { return s.last < o; });
        if (hit == a.stale.end() || hit->first > last)
            continue;
        seen[static_cast<size_t>(c.file)] = true;
        if (++count <= most)
            names.push_back(shortened(c.name, 40));
    }
    return names;
}

// What the report says of a memory that changed between passes: the captures that showed it and
// their pages, and how many bytes still rest on captures from before it, and which.
std::string changes_text(const Analysis& a) {
    if (a.changes.empty())
        return {};
    constexpr size_t kShown = 3;
    const size_t shown = std::min(a.changes.size(), kShown);
    std::string said = "changed memory: the image seems to have changed between passes: frames of";
    for (size_t k = 0; k < shown; ++k) {
        const Change& c = a.changes[a.changes.size() - shown + k];
        said += std::string(k == 0           ? " "
                            : k + 1 == shown ? " and "
                                             : ", ") +
                shortened(a.captures[c.listing].name, 40) + " (pages " +
                page_text(a, c.first_page) + "-" + page_text(a, c.last_page) + ")";
    }
    if (a.changes.size() > shown)
        said += format(" (the last %zu of %zu changes)", shown, a.changes.size());
    said += " disagree with earlier captures over whole frames.";
    if (a.stale_bytes > 0) {
        size_t count = 0;
        const std::vector<std::string> names =
            stale_sources(a, a.changes.back().listing, kShown, count);
        std::string which;
        for (size_t k = 0; k < names.size(); ++k)
            which += (k == 0 ? "" : ", ") + names[k];
        if (count > names.size())
            which += format(" and %zu more", count - names.size());
        said += " " + grouped(a.stale_bytes) +
                (a.stale_bytes == 1 ? " byte still rests" : " bytes still rest") +
                " on captures from before the change" + (which.empty() ? "" : " (" + which + ")") +
                ": the plan asks for every page of them again.";
    }
    return word_wrapped(said, "", kReportWidth - 1);
}

// The columns of the per-capture table: the name's and the range's widths, and the counts'.
struct Columns {
    size_t name = 7, range = 5, slots = 5, got = 3;
};

Columns columns_for(const Analysis& a) {
    Columns w;
    size_t longest = 0;
    for (const Capture& c : a.captures) {
        longest = std::max(longest, columns(printable(c.name)));
        if (c.status == CaptureStatus::bad_name || c.status == CaptureStatus::bad_range)
            continue;
        w.range = std::max(w.range, range_text(c.range).size());
        w.slots = std::max(w.slots, std::to_string(c.math.mcomsize).size());
        w.got = std::max(w.got, std::to_string(c.math.mcomsize).size());
    }
    // The name takes what the other columns leave of the width, never less than 12.
    const size_t rest = 2 + w.range + 2 + w.slots + 2 + w.got + 2 + 12 + 2 + 12;
    w.name = std::max<size_t>(
        w.name, std::min(longest, kReportWidth - std::min<size_t>(rest, kReportWidth - 12)));
    return w;
}

// `text` followed by spaces up to `width` columns.
std::string padded(const std::string& text, size_t width) {
    const size_t n = columns(text);
    return n >= width ? text : text + std::string(width - n, ' ');
}

// The table of captures: one row each, with a line under it for what its lines were and for
// what the rebuild's own report says differently; then the notes the marks call for.
// The lines under capture `c`'s row: that it is unreadable, or what the rebuild's own report
// says differently (`last`: no later capture covers its range), and what its lines were.
std::string row_notes(const Analysis& a, const Capture& c, bool last, bool& overstated,
                      bool& understated) {
    const CaptureFile& f = a.file_of(c);
    const int32_t truth = static_cast<int32_t>(f.all_passes.size());
    std::string s;
    if (c.status == CaptureStatus::unreadable) {
        s += "    unreadable: not received yet\n";
    } else if (c.reported >= 0 && c.reported < truth) {
        s += format("    ! rebuild lists only %d missing slot%s; %d after every pass\n", c.reported,
                    c.reported == 1 ? "" : "s", truth);
        understated = true;
    } else if (c.reported > truth && last) {
        s += format("    * rebuild lists %d missing slot%s; %d after every pass\n", c.reported,
                    c.reported == 1 ? "" : "s", truth);
        overstated = true;
    }
    return s + line_quality(f);
}

std::string capture_table(const Analysis& a) {
    const Columns w = columns_for(a);
    const int ws = static_cast<int>(w.slots), wg = static_cast<int>(w.got);
    const size_t before_missing = w.name + 2 + w.range + 2 + w.slots + 2 + w.got + 2;
    std::string s = std::string(before_missing + 7, ' ') + "missing bytes\n";
    s += padded("capture", w.name) + "  " + padded("range", w.range) +
         format("  %*s  %*s  %12s  %12s\n", ws, "slots", wg, "got", "in this file", "in the image");
    bool overstated = false, understated = false;
    const std::vector<bool> last = last_of_range(a);
    // Per file, its counts, made at its first listing: a file listed again costs nothing more.
    // Its row is made once per name: a name listed again repeats it.
    struct Counts {
        int64_t got = -1, in_file = 0, in_image = 0;
        std::string row;             // the row of the name it was last listed under
        const char* named = nullptr; // that name's text, to tell when it is listed again
    };
    std::vector<Counts> counts(a.files.size());
    for (size_t i = 0; i < a.captures.size(); ++i) {
        const Capture& c = a.captures[i];
        if (c.has_range()) {
            Counts& n = counts[static_cast<size_t>(c.file)];
            if (n.named != nullptr && c.name == n.named) {
                s += n.row;
                s += row_notes(a, c, last[i], overstated, understated);
                continue;
            }
        }
        const std::string name = padded(shortened(c.name, w.name), w.name) + "  ";
        if (c.status == CaptureStatus::bad_name) {
            s += name + "not a capture name\n";
            continue;
        }
        if (c.status == CaptureStatus::bad_range) {
            s += name + range_text(c.range) + "\n" +
                 format("    a range of fewer than 1 or more than %d pages\n",
                        imgrebuild::kMaxPages);
            continue;
        }
        const CaptureFile& f = a.file_of(c);
        Counts& n = counts[static_cast<size_t>(c.file)];
        if (n.got < 0) {
            n.got = 0;
            for (uint8_t r : f.read.received)
                n.got += r;
            n.in_file = missing_in_file(a, c);
            n.in_image = missing_in_image(a, c);
        }
        n.row = name + padded(range_text(c.range), w.range) +
                format("  %*d  %*lld  %12s  %12s\n", ws, c.math.mcomsize, wg,
                       static_cast<long long>(n.got), grouped(n.in_file).c_str(),
                       grouped(n.in_image).c_str());
        n.named = c.name.c_str();
        s += n.row;
        s += row_notes(a, c, last[i], overstated, understated);
    }
    s += "(missing bytes in this file: of the slots this capture did not receive; in the\n"
         " image: of its range, that no capture has received yet, after every pass and\n"
         " resend)\n";
    if (overstated)
        s += "* the rebuild's report after the last pass over that range lists more: it merges\n"
             "  a pass only with the file just before it.\n";
    if (understated)
        s += "! the rebuild's report lists fewer: it merged that file with another range whose\n"
             "  numbers have the same sum, and takes slots of that range as received.\n";
    return s;
}

// The operator's next steps after a plan, in the spelling of this platform's console.
std::string next_steps(const Analysis& a, const std::vector<Request>& plan,
                       const ReportFiles& files) {
#ifdef _WIN32
    const char* sep = "\\";
    const char* move = "move /y";
    const char* rebuild = "imgrebuild.exe < NUL > imgrebuild.log";
#else
    const char* sep = "/";
    const char* move = "mv";
    const char* rebuild = "imgrebuild </dev/null >imgrebuild.log";
#endif
    const bool here = a.dir == ".";
    const std::string dir = shortened(a.dir, 22);
    const std::string plan_file = shortened(files.plan, 22);
    const std::string next_file = shortened(files.next_info, 22);
    std::string s = "\nnext steps:\n";
    if (!files.plan.empty())
        s += "  1. send the plan in " + plan_file +
             " to the spacecraft; in a drill:\n       framesim --out " +
             (here ? std::string(".") : dir) + " --ranges " + plan_file + "\n";
    else
        s += "  1. send the requests above to the spacecraft (--plan FILE writes them)\n";
    s += format("  2. wait until the %s capture%s it asks for %s received, under those names\n",
                grouped(static_cast<int64_t>(plan.size())).c_str(), plan.size() == 1 ? "" : "s",
                plan.size() == 1 ? "is" : "are");
    if (!files.next_info.empty()) {
        s += "  3. replace file_info.txt by the next run description, then rebuild:\n";
        s += "       " + std::string(move) + " " + next_file + " " +
             (here ? std::string() : dir + sep) + "file_info.txt\n";
        s += "       " + (here ? std::string() : "cd " + dir + " && ") + rebuild + "\n";
    } else {
        s += "  3. make the next run description (--next-info FILE), put it in place of\n"
             "     file_info.txt, then rebuild: " +
             std::string(rebuild) + "\n";
    }
    s += "  4. run imgcover again with a new --prefix (auto takes the next round) until it\n"
         "     says complete\n";
    return s;
}

} // namespace

std::string human_report(const Analysis& a, const std::vector<Request>& plan,
                         const ReportFiles& files, const RunCheck* check) {
    std::string s = "run in " + shortened(a.dir, 30) +
                    format(": imagesize %s, SC_S %d, %d of %d listed captures\n\n",
                           grouped(a.head.imagesize).c_str(), a.head.SC_S,
                           static_cast<int32_t>(a.captures.size()), a.head.numfile);
    s += capture_table(a);

    const int64_t size = a.head.imagesize;
    s += format("\nimage: %s of %s bytes covered (%s)\n", grouped(a.covered_bytes).c_str(),
                grouped(size).c_str(), percent_text(a.covered_bytes, size, a.complete()).c_str());
    if (a.contested_bytes > 0) {
        s += format("contested: %s byte%s (sound frames gave %s different values)\n",
                    grouped(a.contested_bytes).c_str(), a.contested_bytes == 1 ? "" : "s",
                    a.contested_bytes == 1 ? "it" : "them");
        if (a.unsettled_bytes == 0)
            s += "unsettled: none (a second capture confirms every contested value)\n";
        else
            s += format("unsettled: %s byte%s in %zu span%s\n", grouped(a.unsettled_bytes).c_str(),
                        a.unsettled_bytes == 1 ? "" : "s", a.unsettled.size(),
                        a.unsettled.size() == 1 ? "" : "s") +
                 "  (no second capture confirms the value their last frame gave, which another\n"
                 "  frame contradicts: the plan asks for their pages again, and a copy that\n"
                 "  agrees settles them)\n";
    }
    s += copies_text(a);
    s += changes_text(a);
    const bool rebuilds = check == nullptr || check->rebuild.verdict == Verdict::succeeds;
    if (a.complete() && !rebuilds) {
        s += "every byte was received, but imgrebuild will not rebuild the image:\n";
    } else if (a.complete()) {
        s += "complete: every byte was received\n";
    } else if (a.missing.empty() && a.unsettled_bytes > 0) {
        s += "not complete: unsettled bytes wait for a copy that agrees with their last frame\n";
    } else if (a.missing.empty() && a.stale_bytes > 0) {
        s += "not complete: bytes from before the memory changed wait for a newer copy\n";
    } else if (a.missing.empty()) {
        s += "not complete: bytes that rest on one copy wait for a second (--confirm)\n";
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
    if (!rebuilds)
        s += outcome_text(check->rebuild);
    if (plan.empty())
        return s + "plan: nothing to ask for again\n";
    const int64_t pages = planned_pages(plan);
    s += format("\nplan: %zu request%s, %s page%s to send again\n", plan.size(),
                plan.size() == 1 ? "" : "s", grouped(pages).c_str(), pages == 1 ? "" : "s");
    const size_t shown = std::min<size_t>(plan.size(), 20);
    for (size_t k = 0; k < shown; ++k)
        s += format("  pages %-22s ", range_text(plan[k].range).c_str()) +
             shortened(plan[k].name, kReportWidth - 31) + "\n";
    if (plan.size() > shown)
        s += format("  ... and %zu more (see --plan)\n", plan.size() - shown);
    if (!files.plan.empty() || !files.next_info.empty())
        s += next_steps(a, plan, files);
    return s;
}

// Capture `i`'s entry of the JSON. A file listed again refers to its first listing's entry
// (same_file_as) for what its file holds, and keeps what is its own: its range, whether it is a
// repeat, and the rebuild's report for it.
nlohmann::json capture_json(const Analysis& a, size_t i) {
    using nlohmann::json;
    const Capture& c = a.captures[i];
    json e;
    e["name"] = utf8_clean(c.name);
    e["status"] = status_name(c.status);
    e["frames"] = c.has_range() ? a.read_of(c).frames : 0;
    if (c.has_range() && !a.first_listing(i)) {
        e["same_file_as"] = a.file_of(c).first;
        e["SSC"] = c.range.SSC;
        e["SP"] = c.range.SP;
        e["ESC"] = c.range.ESC;
        e["EP"] = c.range.EP;
        e["mcomsize"] = c.math.mcomsize;
        e["repeat"] = c.repeat;
        if (c.reported >= 0)
            e["reported_by_rebuild"] = c.reported;
        return e;
    }
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

// The rebuild's outcome as JSON.
nlohmann::json outcome_json(const Outcome& o) {
    static const char* const verdicts[] = {"succeeds", "fails", "unsure"};
    nlohmann::json j;
    j["outcome"] = verdicts[static_cast<int>(o.verdict)];
    if (o.verdict == Verdict::succeeds)
        return j;
    if (o.verdict == Verdict::fails)
        j["log"] = o.log;
    j["line"] = o.line > 0 ? nlohmann::json(o.line) : nlohmann::json(nullptr);
    if (!o.name.empty())
        j["name"] = utf8_clean(o.name);
    j["why"] = utf8_clean(o.why);
    j["todo"] = utf8_clean(o.todo);
    return j;
}

namespace {

// Spans as the JSON gives them: [first, last] pairs, in order.
nlohmann::json spans_json(const std::vector<Span>& spans) {
    nlohmann::json out = nlohmann::json::array();
    for (const Span& s : spans)
        out.push_back({s.first, s.last});
    return out;
}

} // namespace

nlohmann::json to_json(const Analysis& a, const std::vector<Request>& plan, bool with_captures,
                       const RunCheck* check) {
    using nlohmann::json;
    json j;
    j["imagesize"] = a.head.imagesize;
    j["SC_S"] = a.head.SC_S;
    j["numfile"] = a.head.numfile;
    j["complete"] = a.complete();
    j["covered_bytes"] = a.covered_bytes;
    j["missing_bytes"] = a.head.imagesize - a.covered_bytes;
    j["frames"] = total_frames(a);
    j["missing_spans"] = spans_json(a.missing);
    j["contested_bytes"] = a.contested_bytes;
    j["unsettled_bytes"] = a.unsettled_bytes;
    j["unsettled_spans"] = spans_json(a.unsettled);
    j["confirm"] = a.confirm;
    j["confirmed_bytes"] = a.confirmed_bytes;
    j["single_copy_bytes"] = a.single_copy_bytes;
    j["stale_bytes"] = a.stale_bytes;
    j["stale_spans"] = spans_json(a.stale);
    json changes = json::array();
    for (const Change& c : a.changes) {
        const auto at = [&](int64_t p) {
            return json::array(
                {a.head.SC_S + p / imgrebuild::kBlockPages, p % imgrebuild::kBlockPages});
        };
        changes.push_back({{"name", utf8_clean(a.captures[c.listing].name)},
                           {"first_page", at(c.first_page)},
                           {"last_page", at(c.last_page)},
                           {"frames", c.frames}});
    }
    j["changes"] = std::move(changes);
    json captures = json::array();
    for (size_t i = 0; with_captures && i < a.captures.size(); ++i)
        captures.push_back(capture_json(a, i));
    j["captures"] = std::move(captures);
    json requests = json::array();
    for (const Request& q : plan)
        requests.push_back({{"SSC", q.range.SSC},
                            {"SP", q.range.SP},
                            {"ESC", q.range.ESC},
                            {"EP", q.range.EP},
                            {"name", q.name}});
    j["plan"] = std::move(requests);
    if (check != nullptr) {
        j["rebuild"] = outcome_json(check->rebuild);
        json warnings = json::array();
        for (const RunWarning& w : check->warnings)
            warnings.push_back(
                {{"kind", w.kind}, {"lines", w.lines}, {"text", utf8_clean(w.text)}});
        j["run_warnings"] = std::move(warnings);
    }
    return j;
}

} // namespace imgcover

namespace imgcover {

std::string json_text(const Analysis& a, const std::vector<Request>& plan, const RunCheck* check) {
    // The whole object without its captures, then the captures put in one by one, indented as
    // dump(2) indents them, so that no tree of every capture is ever held.
    const std::string head = to_json(a, plan, false, check).dump(2);
    const std::string mark = "\"captures\": []";
    const size_t at = head.find(mark);
    std::string s = head.substr(0, at) + "\"captures\": [";
    for (size_t i = 0; i < a.captures.size(); ++i) {
        std::string e = capture_json(a, i).dump(2);
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
