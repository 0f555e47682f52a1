// The frame loop of one capture file: every line read, decoded, and handed on in order.
#pragma once

#include <cstdint>

#include "capture/frame.hpp"
#include "capture/line_reader.hpp"

namespace imgrebuild {

// How a capture file's frame loop ended.
struct FramesRead {
    ReadStatus status; // failed when a read failed; otherwise how the last read ended
    int64_t lines;     // lines handled as frames
    int64_t end;       // offset, from where the reader was opened, just past the last of them
};

// Reads `reader` to its end through `data` (kLineCap characters), decodes every line into
// `frame` and calls on_line(lineno, status) for it, lineno counting from `first_line`. A read
// that reaches the end of the file ends the loop even when it brought text, so a last line
// without a line feed is never handled; a failed read ends it too.
template <class OnLine>
FramesRead read_frames(LineReader& reader, char* data, Frame& frame, int64_t first_line,
                       OnLine&& on_line) {
    FramesRead r{ReadStatus::line, 0, reader_offset(reader)};
    int32_t length = 0;
    for (;;) {
        r.status = read_line(reader, data, length);
        if (r.status != ReadStatus::line)
            return r;
        on_line(first_line + r.lines, decode_frame(data, text_end(data, length), frame));
        ++r.lines;
        r.end = reader_offset(reader);
    }
}

} // namespace imgrebuild
