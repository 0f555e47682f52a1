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

// What planning tells the operator, once a plan.
struct PlanNotes {
    std::string asked;            // the prefix as round_prefix gives it
    std::string prefix;           // the prefix the names were made with
    int64_t unnameable_pages = 0; // pages past the last block a name can state (2^31 - 1)
};

// Every page with an uncovered, unsettled or stale byte (and, when the analysis asks to
// confirm, one resting on one copy), runs of them (joined across at most `join` other pages) cut
// into requests of at most kMaxPages pages, named PREFIX_SSC_SP_ESC_EP.txt. The
// prefix is the one round_prefix gives, or, when a name made with it is listed already, the
// first of PREFIX2, PREFIX3, ... that makes no listed name, so that no name is listed twice.
// Pages that no name can state are left out and counted in `notes`.
std::vector<Request> make_plan(const Analysis& a, int32_t join, const std::string& prefix,
                               PlanNotes* notes = nullptr);

// The lines that tell what `notes` holds (a prefix taken instead of the one asked for, pages
// that cannot be asked for): one each, none when there is nothing to tell.
std::vector<std::string> plan_note_lines(const PlanNotes& notes);

// Pages the plan asks for, all requests together.
int64_t planned_pages(const std::vector<Request>& plan);

// A run description for the rebuild after the resend: the head as it was, the captures that
// the rebuild can read, then the planned names. Lines left out are named in `warnings`.
std::string next_info(const Analysis& a, const std::vector<Request>& plan,
                      std::vector<std::string>& warnings);

} // namespace imgcover
