#include "plan.hpp"

#include <algorithm>
#include <utility>

#include "limits.hpp"

namespace imgcover {

using namespace imgrebuild;

std::string round_prefix(const Analysis& a, const std::string& prefix) {
    if (prefix != "auto")
        return prefix;
    int64_t highest = 0;
    for (const Capture& c : a.captures) {
        const std::string& n = c.name;
        size_t k = 1;
        int64_t round = 0;
        while (k < n.size() && k < 10 && n[k] >= '0' && n[k] <= '9')
            round = round * 10 + (n[k++] - '0');
        if (n.size() > 2 && n[0] == 'r' && k > 1 && k < n.size() && n[k] == '_')
            highest = std::max(highest, round);
    }
    return "r" + std::to_string(highest + 1);
}

std::vector<Request> make_plan(const Analysis& a, int32_t join, const std::string& option) {
    const std::string prefix = round_prefix(a, option);
    // Runs of pages with an uncovered or unsettled byte, as [first, last] page numbers from
    // offset 0: the two lists of spans taken together in ascending order.
    std::vector<Span> runs;
    size_t m = 0, u = 0;
    while (m < a.missing.size() || u < a.unsettled.size()) {
        const bool take_missing =
            u == a.unsettled.size() ||
            (m < a.missing.size() && a.missing[m].first < a.unsettled[u].first);
        const Span& s = take_missing ? a.missing[m++] : a.unsettled[u++];
        const int64_t first = s.first / kPageBytes, last = s.last / kPageBytes;
        if (!runs.empty() && first <= runs.back().last + 1 + join)
            runs.back().last = std::max(runs.back().last, last);
        else
            runs.push_back({first, last});
    }
    std::vector<Request> plan;
    for (const Span& r : runs) {
        for (int64_t first = r.first; first <= r.last; first += kMaxPages) {
            const int64_t last = std::min(r.last, first + kMaxPages - 1);
            PageRange range{};
            if (range_of_pages(first, last, a.head.SC_S, range))
                plan.push_back({range, capture_name(prefix, range)});
        }
    }
    return plan;
}

int64_t planned_pages(const std::vector<Request>& plan) {
    int64_t pages = 0;
    for (const Request& q : plan)
        pages += page_count(q.range);
    return pages;
}

std::string next_info(const Analysis& a, const std::vector<Request>& plan,
                      std::vector<std::string>& warnings) {
    std::vector<std::string> names;
    for (const Capture& c : a.captures) {
        if (c.status == CaptureStatus::ok)
            names.push_back(c.name);
        else
            warnings.push_back("left out of the next run description: " + c.name + " (" +
                               status_name(c.status) + ")");
    }
    for (const Request& q : plan)
        names.push_back(q.name);
    RunDescription next;
    next.head = a.head;
    for (int k = 0; k < kHeadLines; ++k)
        next.head_lines[k] = a.head_lines[k];
    set_names(next, std::move(names));
    return description_text(next);
}

} // namespace imgcover
