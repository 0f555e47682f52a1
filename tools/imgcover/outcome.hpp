// What imgrebuild will make of a working directory, told before it runs: the run description
// read line by line with the rebuild's own head reader, name parser and range arithmetic, and
// the first step at which the rebuild will stop (leaving output.bin blank).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "capture/range.hpp"
#include "run/run_info.hpp"

namespace imgcover {

// One name line of the run description, as the rebuild reads it.
struct NameLine {
    int64_t line = 0;  // its line number in file_info.txt, from 1
    std::string name;  // the name the rebuild opens: the text up to its line feed or first NUL
    bool blank = true; // empty or only white space
    imgrebuild::NameStatus parsed = imgrebuild::NameStatus::too_few_pieces;
    imgrebuild::PageRange range{};
    bool range_ok = false; // the range holds 1 to kMaxPages pages
    imgrebuild::RangeMath math{};
};

// The run description read as the rebuild reads it, from its first line to its end.
struct RunWalk {
    bool opened = false; // file_info.txt was opened (only a regular file is)
    imgrebuild::HeadStatus head_status = imgrebuild::HeadStatus::format_error;
    imgrebuild::RunHead head{};
    std::string head_text[4];      // lines 1 to 4 as read, without their line feed
    std::vector<NameLine> names;   // the first `numfile` name lines, fewer when the file ends
    bool names_failed = false;     // a read of the name lines failed
    int64_t end_line = 0;          // the first line number the file does not hold
    int64_t extra_lines = 0;       // lines after the first `numfile` names that are not blank
    int64_t first_extra_line = 0;  // the first of them
    std::vector<int64_t> extra_at; // their line numbers, the first few
};

// Reads DIR/file_info.txt through to its end as the rebuild reads its head and name lines.
RunWalk walk_run(const std::string& dir);

// How the rebuild will end.
enum class Verdict {
    succeeds, // it reads every listed capture and writes the image
    fails,    // it stops with a message and exit status 255, leaving output.bin blank
    unsure,   // it may wait or read something no one can tell in advance (a pipe, a device)
};

struct Outcome {
    Verdict verdict = Verdict::succeeds;
    std::string log;  // the rebuild's last log line when it fails, as "range error."
    int64_t line = 0; // the line of file_info.txt where it stops; 0 when no line is to blame
    std::string name; // the capture the line names, when there is one
    std::string why;  // what the rebuild will find, for a person
    std::string todo; // what to do about it
};

// Foretells the rebuild in `dir` step by step, in the rebuild's order: the run description,
// output.bin (as far as this user can tell it will be writable), then every listed capture.
// A capture the analysis could open but not read to its end is a read error there too.
Outcome predict_rebuild(const std::string& dir, const RunWalk& walk, const Analysis& a);

// The outcome for a person: empty when the rebuild succeeds; else lines saying where and why
// the rebuild will stop, that output.bin will be left blank, and what to do.
std::string outcome_text(const Outcome& o);

} // namespace imgcover
