// The run description file: its head (image size, number of capture files, first block), read
// as the rebuild reads it, and the whole file as the companions read and write it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "capture/line_reader.hpp"
#include "log/console.hpp"

namespace imgrebuild {

inline constexpr const char* kRunInfoName = "file_info.txt";

struct RunHead {
    int32_t imagesize; // bytes in the image
    int32_t numfile;   // capture files the run handles
    int32_t SC_S;      // block whose first byte is image offset 0
};

// Outcome of reading the head.
enum class HeadStatus : int32_t {
    ok,           // all three values were read and printed
    format_error, // the file ended early, or a value line has no number as its second token
    read_error,   // the file could not be read
};

// Reads lines 1 to 4 through `data` (kLineCap characters), printing each value as it is read.
// Line 1 is dropped; lines 2 to 4 each give the number in their second space-separated token.
HeadStatus read_head(LineReader& reader, char* data, RunHead& head, Console& con);

// True when the image and its extra bytes fit the image buffer.
bool imagesize_fits(int32_t imagesize);

// Lines of the head: the name lines start on the next one.
inline constexpr int32_t kHeadLines = 4;

// A whole run description, for the companions, which read it as the rebuild does and write new
// ones. Never used by a run.
struct RunDescription {
    RunHead head{};                     // the values, as read_head reads them
    std::string head_lines[kHeadLines]; // lines 1 to 4 as they are, without their line end
    std::vector<std::string> names;     // the name lines, without their line end, each up to
                                        // its first NUL
};

// Which name lines a read of a whole description keeps.
enum class NameLines : int32_t {
    listed, // the first `numfile`, as the rebuild reads them; none when the head is not sound
    all,    // every line after the head, also when the head is not sound
};

// Where a read of a whole description stopped, and why.
struct DescriptionRead {
    HeadStatus status; // ok, or the first fault: a head the rebuild refuses, or a failed read
    int64_t line;      // the line the fault is on (a read of kLineCap - 1 characters counts as
                       // one, as for the rebuild); 0 when there is none
};

// Reads the run description in `file` into `d`, line by line with the rebuild's line reader and
// head rule. The head lines read before a fault are kept; so are, with NameLines::all, the name
// lines. Name lines the file does not have are not a fault: `d.names` is then shorter.
DescriptionRead read_description(std::FILE* file, RunDescription& d, NameLines which);

// A value line of the head as the writers write it: "KEY VALUE".
std::string head_line(const char* key, int32_t value);

// A description of `head` listing `names`, its line 1 `title` and its value lines written from
// `head` (numfile as given, which may differ from the names a test lists).
RunDescription describe_run(const std::string& title, const RunHead& head,
                            std::vector<std::string> names);

// Lists `names` in `d`: numfile and its line follow; the other head lines stay as they are.
void set_names(RunDescription& d, std::vector<std::string> names);

// The text of `d`, the one writer of run descriptions: its head lines, then its name lines,
// each ended by a line feed.
std::string description_text(const RunDescription& d);

} // namespace imgrebuild
