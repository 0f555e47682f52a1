// The plan file, what imgcover asks the spacecraft for again and framesim sends: one request a
// line, "SSC SP ESC EP NAME", its writer and its reader side by side.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "capture/range.hpp"

namespace companion {

// One request of a plan: pages (SSC, SP) to (ESC, EP), both included, and its capture name.
struct Request {
    imgrebuild::PageRange range;
    std::string name;
};

// The plan as text, the one writer of plan files: "SSC SP ESC EP NAME" a line.
std::string plan_text(const std::vector<Request>& plan);

// Reads the requests of a plan from `file`, one "SSC SP ESC EP NAME" a line, the numbers in
// decimal, separated by spaces; blank lines are skipped. Every line is checked before any
// is taken: the range holds 1 to kMaxPages pages, the name is a plain file name (name_fault)
// that states that range, and no name comes twice. False with "SOURCE:LINE: what is wrong" in
// `error`.
bool read_plan_from(std::FILE* file, const std::string& source, std::vector<Request>& plan,
                    std::string& error);

// Reads the plan file at `path` as read_plan_from does; a file that cannot be read is named
// with the reason.
bool read_plan(const std::string& path, std::vector<Request>& plan, std::string& error);

} // namespace companion
