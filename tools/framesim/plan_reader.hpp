// Reading a resend plan, and the rule for every name framesim writes or removes in its folder.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#include "sim.hpp"

namespace framesim {

// Why `name` is no plain file name inside the output folder (a folder part, a drive or stream
// prefix, "." or "..", a control character, a trailing dot or space that Windows drops), or
// nullptr when it is one.
const char* name_fault(std::string_view name);

// `text` as it is shown to a person: a control character as \xNN, a backslash doubled.
std::string shown(std::string_view text);

// Reads the requests of a plan from `file`, one "SSC SP ESC EP NAME" a line, the numbers in
// decimal, separated by spaces; blank lines are skipped. Every line is checked before any
// is taken: the range holds 1 to kMaxPages pages, the name is a plain file name that states
// that range, and no name comes twice. False with "SOURCE:LINE: what is wrong" in `error`.
bool read_plan_from(std::FILE* file, const std::string& source, std::vector<Resend>& plan,
                    std::string& error);

// Reads the plan file at `path` as read_plan_from does; a file that cannot be read is named
// with the reason.
bool read_plan(const std::string& path, std::vector<Resend>& plan, std::string& error);

} // namespace framesim
