// The head of the run description file: image size, number of capture files, first block.
#pragma once

#include <cstdint>

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

} // namespace imgrebuild
