// Line reading with text-mode semantics, the same on every platform.
//
// A line ends at a line feed, which stays in the line. A carriage return directly before a line
// feed is dropped by the read itself, before the line limit is counted; any other carriage
// return stays. A read stops after kLineCap - 1 characters, so a longer line comes in pieces.
// No other byte is special: NUL and 0x1A are stored like any other.
#pragma once

#include <cstdint>
#include <cstdio>

#include "limits.hpp"

namespace imgrebuild {

// Bytes fetched from the file per refill.
inline constexpr int32_t kReadChunk = 1 << 16;

// Outcome of one read.
enum class ReadStatus : int32_t {
    line,      // a line was read and the end of the file has not been reached
    last_line, // a line was read and the read reached the end of the file
    no_line,   // the end of the file came before any character
    failed,    // the file could not be read; the end of the file had not been reached
};

struct LineReader {
    std::FILE* file;
    int32_t chunk; // bytes asked of the file per refill
    int32_t pos;   // next unread byte of buf
    int32_t fill;  // bytes of buf that hold file data
    bool at_end;   // the file has no more bytes (sticky, as a stream's end-of-file indicator)
    bool failed;   // a read from the file failed (sticky)
    int64_t taken; // bytes fetched from the file since the reader was opened
    unsigned char buf[kReadChunk]; // one refill: at most `chunk` bytes of the file
};

// Starts reading `file` from its current position, `chunk` bytes at a time (1 to kReadChunk;
// smaller chunks only serve tests of lines that cross refills).
void reader_open(LineReader& reader, std::FILE* file, int32_t chunk = kReadChunk);

// Reads the next line into `data` (kLineCap characters, NUL-terminated) and its length,
// NUL bytes inside the line included, into `length`.
ReadStatus read_line(LineReader& reader, char* data, int32_t& length);

// Bytes of the file, from where the reader was opened, that the reads so far have consumed.
inline int64_t reader_offset(const LineReader& reader) {
    return reader.taken - (reader.fill - reader.pos);
}

// End of a line's text: its first NUL byte, or its end. Everything after a read looks no further.
const char* text_end(const char* data, int32_t length);

} // namespace imgrebuild
