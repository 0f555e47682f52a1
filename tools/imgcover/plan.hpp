// The plan: the pages to ask for again, as requests a resend can take, and the run description
// for the rebuild after the resend.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "common/plan_file.hpp"

namespace imgcover {

// One request of the plan: the plan file's own.
using companion::plan_text;
using companion::Request;

// The prefix that asks for the next round: "auto" gives rN for the N after the highest round
// already listed (names rN_...), r1 when there is none; any other prefix is itself.
std::string round_prefix(const Analysis& a, const std::string& prefix);

// Every page with an uncovered byte, runs of them (joined across at most `join` covered
// pages) cut into requests of at most kMaxPages pages, named PREFIX_SSC_SP_ESC_EP.txt
// (the prefix as round_prefix gives it).
std::vector<Request> make_plan(const Analysis& a, int32_t join, const std::string& prefix);

// Pages the plan asks for, all requests together.
int64_t planned_pages(const std::vector<Request>& plan);

// A run description for the rebuild after the resend: the head as it was, the captures that
// the rebuild can read, then the planned names. Lines left out are named in `warnings`.
std::string next_info(const Analysis& a, const std::vector<Request>& plan,
                      std::vector<std::string>& warnings);

} // namespace imgcover
