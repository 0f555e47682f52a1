// What imgcover tells of an analysis: the report for a person and the JSON.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.hpp"
#include "checks.hpp"
#include "plan.hpp"

namespace imgcover {

// The files a command writes that the report's next steps name (empty: not written).
struct ReportFiles {
    std::string plan, next_info;
};

// The report for a person, every line within 80 columns: one row per capture, the coverage
// and missing spans, the plan, and after a plan or a next run description was written, the
// operator's next steps; how the rebuild will end when `check` is given and it will not
// succeed.
std::string human_report(const Analysis& a, const std::vector<Request>& plan,
                         const ReportFiles& files = {}, const RunCheck* check = nullptr);

// The whole analysis as one JSON object (its captures left out, as an empty list, when not
// `with_captures`), with the rebuild's outcome and the run description's warnings when
// `check` is given.
nlohmann::json to_json(const Analysis& a, const std::vector<Request>& plan,
                       bool with_captures = true, const RunCheck* check = nullptr);

// The same object as text, as to_json(...).dump(2) and a line feed, made capture by capture so
// that memory holds the text but never the tree of every capture.
std::string json_text(const Analysis& a, const std::vector<Request>& plan,
                      const RunCheck* check = nullptr);

} // namespace imgcover
