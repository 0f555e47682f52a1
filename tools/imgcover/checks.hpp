// The run description checked for the slips that make a rebuild quietly wrong or make the
// operator ask the spacecraft again for data already on disk: each a warning with the lines
// it concerns and what to do. The rebuild itself is never changed by them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "outcome.hpp"

namespace imgcover {

// One warning about the run description: the lines of file_info.txt it concerns, ascending,
// and the text, which names them and says what to do.
struct RunWarning {
    std::string kind; // a short key: past_image, before_image, numfile_low, numfile_high,
                      // blank_name, white_space, near_match
    std::vector<int64_t> lines;
    std::string text;
};

// Checks the run description walked in `dir`: captures that reach past imagesize, captures
// outside the image, numfile against the name lines, blank name lines, names with white space
// at an end, and missing captures with a near match on disk (by case or white space).
std::vector<RunWarning> check_run(const std::string& dir, const RunWalk& walk);

// What imgcover tells of a run beyond its analysis: how the rebuild will end, and the warnings
// about its run description.
struct RunCheck {
    Outcome rebuild;
    std::vector<RunWarning> warnings;
};

// Walks the run description in `dir` as the rebuild will, foretells the rebuild and checks the
// description.
RunCheck check_all(const std::string& dir, const Analysis& a);

// Line numbers as a person reads them: "line 5", "lines 5 to 9 and 12", at most a few groups
// then how many more.
std::string lines_text(const std::vector<int64_t>& lines);

} // namespace imgcover
