#include "plan.hpp"

#include <algorithm>
#include <climits>
#include <filesystem>
#include <unordered_set>
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

namespace {

// The requests for `runs` (page indexes from offset 0) named with `prefix`; pages no name can
// state are counted in `unnameable`.
std::vector<Request> requests_of(const std::vector<Span>& runs, int32_t SC_S,
                                 const std::string& prefix, int64_t& unnameable) {
    // The last page a name can state: page 1023 of block 2^31 - 1.
    const int64_t last_named = (int64_t{INT32_MAX} - SC_S + 1) * kBlockPages - 1;
    std::vector<Request> plan;
    unnameable = 0;
    for (const Span& r : runs) {
        const int64_t end = std::min(r.last, last_named);
        unnameable += r.last - std::max(end, r.first - 1);
        for (int64_t first = r.first; first <= end; first += kMaxPages) {
            const int64_t last = std::min(end, first + kMaxPages - 1);
            PageRange range{};
            if (range_of_pages(first, last, SC_S, range))
                plan.push_back({range, capture_name(prefix, range)});
        }
    }
    return plan;
}

// The prefixes that would make a name of `plan` that is listed already (as it is, or with a
// folder part of "."): a listed name that ends as a planned name does after its prefix blocks
// the part before.
std::unordered_set<std::string> taken_prefixes(const Analysis& a, const std::vector<Request>& plan,
                                               const std::string& prefix) {
    std::unordered_set<std::string> suffixes;
    for (const Request& q : plan)
        suffixes.insert(q.name.substr(prefix.size()));
    std::unordered_set<std::string> taken;
    for (const Capture& c : a.captures) {
        const std::string name = std::filesystem::path(c.name).lexically_normal().generic_string();
        size_t cut = name.size();
        for (int k = 0; k < 4 && cut != std::string::npos && cut > 0; ++k)
            cut = name.rfind('_', cut - 1);
        if (cut != std::string::npos && suffixes.count(name.substr(cut)) != 0)
            taken.insert(name.substr(0, cut));
    }
    return taken;
}

} // namespace

std::vector<std::string> plan_note_lines(const PlanNotes& n) {
    std::vector<std::string> lines;
    if (n.prefix != n.asked)
        lines.push_back("names with prefix " + n.asked + " are listed already: the plan uses " +
                        n.prefix + " instead, so that no name is listed twice");
    if (n.unnameable_pages > 0)
        lines.push_back(std::to_string(n.unnameable_pages) +
                        " missing pages lie past block 2147483647, which no capture name can "
                        "state: the plan cannot ask for them");
    return lines;
}

std::vector<Request> make_plan(const Analysis& a, int32_t join, const std::string& option,
                               PlanNotes* notes) {
    const std::string asked = round_prefix(a, option);
    // Runs of pages with a byte to ask for again, as [first, last] page numbers from offset 0:
    // uncovered, unsettled, stale (given before the memory changed), and with --confirm resting
    // on one copy; the lists taken together in ascending order.
    std::vector<const std::vector<Span>*> lists{&a.missing, &a.unsettled, &a.stale};
    if (a.confirm)
        lists.push_back(&a.single_copy);
    std::vector<Span> all;
    for (const std::vector<Span>* l : lists)
        all.insert(all.end(), l->begin(), l->end());
    std::sort(all.begin(), all.end(),
              [](const Span& x, const Span& y) { return x.first < y.first; });
    std::vector<Span> runs;
    for (const Span& s : all) {
        const int64_t first = s.first / kPageBytes, last = s.last / kPageBytes;
        if (!runs.empty() && first <= runs.back().last + 1 + join)
            runs.back().last = std::max(runs.back().last, last);
        else
            runs.push_back({first, last});
    }
    int64_t unnameable = 0;
    std::string prefix = asked;
    std::vector<Request> plan = requests_of(runs, a.head.SC_S, prefix, unnameable);
    const std::unordered_set<std::string> taken = taken_prefixes(a, plan, prefix);
    if (taken.count(prefix) != 0) {
        // The first free one of PREFIX2, PREFIX3, ...: at most one more than the names listed.
        for (int64_t next = 2; taken.count(prefix) != 0; ++next)
            prefix = asked + std::to_string(next);
        plan = requests_of(runs, a.head.SC_S, prefix, unnameable);
    }
    if (notes != nullptr)
        *notes = {asked, prefix, unnameable};
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
