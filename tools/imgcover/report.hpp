// What imgcover tells of an analysis: the report for a person and the JSON.
#pragma once

#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.hpp"
#include "plan.hpp"

namespace imgcover {

// The report for a person: one line per capture, the coverage and missing spans, the plan.
std::string human_report(const Analysis& a, const std::vector<Request>& plan);

// The whole analysis as one JSON object.
nlohmann::json to_json(const Analysis& a, const std::vector<Request>& plan);

} // namespace imgcover
