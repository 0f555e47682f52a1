#include "page_state.hpp"

#include <algorithm>
#include <utility>

#include <nlohmann/json.hpp>

#include "report.hpp"
#include "text.hpp"

namespace imgcover {

namespace {

using nlohmann::json;

// JSON text that never throws: bytes that are no UTF-8 become U+FFFD.
std::string dumped(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

// Why a capture shows no bar, or empty when it has one.
const char* no_bar_reason(const Capture& c) {
    if (c.status == CaptureStatus::bad_name)
        return "not a capture name";
    if (c.status == CaptureStatus::bad_range)
        return "range too large or empty";
    if (c.status == CaptureStatus::unreadable)
        return "not received yet";
    return "";
}

json row_of(const Analysis& a, const Capture& c, bool receiving, bool growing) {
    json r;
    r["name"] = utf8_clean(c.name);
    r["receiving"] = receiving;
    r["repeat"] = c.repeat;
    r["frames"] = c.has_range() ? a.read_of(c).frames : 0;
    if (c.status != CaptureStatus::bad_name)
        r["range"] = format("%d %d %d %d", c.range.SSC, c.range.SP, c.range.ESC, c.range.EP);
    const char* why = no_bar_reason(c);
    if (*why != '\0') {
        r["note"] = why;
        return r;
    }
    int64_t got = 0;
    for (const uint8_t s : a.read_of(c).received)
        got += s;
    r["got"] = got;
    r["slots"] = c.math.mcomsize;
    r["bar"] = bar_of(a, c, kPageBarCells, receiving && growing);
    return r;
}

} // namespace

void PageState::put(PagePart& part, std::string text) {
    if (part.json == text && part.changed != 0)
        return;
    part.json = std::move(text);
    part.changed = pending_;
}

void PageState::update(const Analysis& a, const Header& h, bool analysed, bool fresh,
                       const std::vector<Request>& plan, int receiving, bool growing) {
    begin();
    const uint64_t before = std::max({header_.changed, report_.changed, count_changed_});
    json head;
    head["dir"] = utf8_clean(a.dir);
    head["analysed"] = analysed;
    head["problem"] = utf8_clean(h.problem);
    head["ended"] = ended_;
    if (analysed) {
        head["imagesize"] = a.head.imagesize;
        head["covered"] = a.covered_bytes;
        head["missing"] = a.head.imagesize - a.covered_bytes;
        head["percent"] = h.percent;
        head["unsettled"] = a.unsettled_bytes;
        head["single_copy"] = a.single_copy_bytes;
        head["stale"] = a.stale_bytes;
        head["changes"] = a.changes.size();
        head["contested"] = a.contested_bytes;
        head["frames"] = total_frames(a);
        head["rate"] = h.frames; // "frames N (R/s)"
        head["requests"] = plan.size();
        head["pages"] = planned_pages(plan);
        head["complete"] = a.complete();
        head["captures"] = a.captures.size();
        head["receiving"] = receiving;
    }
    put(header_, dumped(head));

    bool rows_changed = false;
    const size_t n = analysed ? a.captures.size() : 0;
    if (rows_.size() != n) {
        rows_.resize(n);
        count_changed_ = pending_;
        rows_changed = true;
    }
    // A look that found nothing new changes at most the rows of the capture being received,
    // when that one or whether it still grows changed: the bars of the others stay as they
    // were, and are not drawn again.
    const bool follow_changed = receiving != receiving_ || growing != growing_;
    for (size_t k = 0; k < n; ++k) {
        const int i = static_cast<int>(k);
        if (!fresh && !rows_changed && !(follow_changed && (i == receiving || i == receiving_)))
            continue;
        const uint64_t was = rows_[k].changed;
        put(rows_[k], dumped(row_of(a, a.captures[k], i == receiving, growing)));
        rows_changed = rows_changed || rows_[k].changed != was;
    }
    receiving_ = receiving;
    growing_ = growing;
    if (fresh && analysed) {
        texts_.plan = plan_text(plan);
        std::vector<std::string> warnings;
        texts_.next_info = next_info(a, plan, warnings);
        texts_.report = human_report(a, plan);
        has_texts_ = true;
        put(report_, dumped(json(texts_.report)));
    } else if (!analysed) {
        texts_ = PageTexts{};
        has_texts_ = false;
        put(report_, dumped(json("")));
    }
    const uint64_t after = std::max({header_.changed, report_.changed, count_changed_});
    commit(rows_changed || after != before);
}

void PageState::end() {
    begin();
    ended_ = true;
    json head = json::parse(header_.json.empty() ? "{}" : header_.json, nullptr, false);
    if (head.is_discarded() || !head.is_object())
        head = json::object();
    head["ended"] = true;
    put(header_, dumped(head));
    commit(true);
}

void PageState::put_pictures() {
    json p;
    p["map"] = map_drawn_;
    p["picture"] = picture_drawn_;
    p["scale"] = scale_;
    p["enabled"] = picture_enabled_;
    put(pictures_, dumped(p));
}

void PageState::picture_enabled(bool on) {
    begin();
    picture_enabled_ = on;
    put_pictures();
    commit(true);
}

void PageState::pictures_drawn(bool map, bool picture, int64_t scale) {
    begin();
    if (map)
        map_drawn_ = pending_;
    if (picture) {
        picture_drawn_ = pending_;
        scale_ = scale;
    }
    put_pictures();
    commit(true);
}

std::string PageState::changes_since(uint64_t since) const {
    std::string out = "{\"v\":" + std::to_string(version_);
    const auto add = [&](const char* key, const PagePart& part) {
        if (part.changed > since && !part.json.empty())
            out += std::string(",\"") + key + "\":" + part.json;
    };
    add("header", header_);
    add("report", report_);
    add("pictures", pictures_);
    if (count_changed_ > since || since == 0)
        out += ",\"count\":" + std::to_string(rows_.size());
    bool first = true;
    for (size_t k = 0; k < rows_.size(); ++k) {
        if (rows_[k].changed <= since)
            continue;
        out += first ? ",\"rows\":{" : ",";
        first = false;
        out += "\"" + std::to_string(k) + "\":" + rows_[k].json;
    }
    if (!first)
        out += "}";
    out += "}";
    return out;
}

int GrowthTracker::update(const Analysis& a, double now) {
    const size_t n = a.captures.size();
    frames_.resize(n, 0);
    for (size_t k = 0; k < n; ++k) {
        const Capture& c = a.captures[k];
        const int64_t frames = c.has_range() ? a.read_of(c).frames : 0;
        if (frames > frames_[k]) {
            receiving_ = static_cast<int>(k);
            grew_at_ = now;
        }
        frames_[k] = frames;
    }
    if (receiving_ >= static_cast<int>(n))
        receiving_ = -1;
    return receiving_;
}

bool GrowthTracker::growing(double now, double seconds) const {
    return receiving_ >= 0 && now - grew_at_ < seconds;
}

} // namespace imgcover
