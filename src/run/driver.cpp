#include "run/driver.hpp"

#include <cstring>

#include "capture/capture_file.hpp"
#include "capture/frame.hpp"
#include "capture/input_file.hpp"
#include "capture/line_reader.hpp"
#include "capture/range.hpp"
#include "image/image.hpp"
#include "image/reception.hpp"
#include "limits.hpp"
#include "log/console.hpp"
#include "run/run_info.hpp"

namespace imgrebuild {

namespace {

// Everything a run holds. About 500 KB: it lives in static storage, not on the stack.
struct RunState {
    Console con;
    LineReader info;     // file_info.txt, open for the whole run
    LineReader capture;  // the current capture file
    char data[kLineCap]; // one read: at most 19,999 characters and the NUL
    char na[kLineCap];   // a name line's text up to its line feed: at most 19,999 and the NUL
    Frame frame;         // the current frame: 168 unescaped values
    Reception reception; // three tables of 20,000 slots: at most 12,734 pages give 20,000
};

RunState state;

// Prints the failure message and ends the run with -1.
int fail(Console& con, const char* message) {
    say(con, "%s", message);
    console_flush(con);
    return -1;
}

// Reports a failed write of the output file; 0 when it was written.
int check_write(Console& con, WriteStatus status) {
    if (status == WriteStatus::open_failed)
        return fail(con, "write file open error.\r\n");
    if (status == WriteStatus::write_failed)
        return fail(con, "write file write error.\r\n");
    return 0;
}

// Handles one decoded line of a capture file: a sound frame marks its slot and places its
// data bytes; a refused one is reported and the file goes on.
void handle_frame(RunState& s, int64_t lineno, FrameStatus status, const RangeMath& math) {
    if (status == FrameStatus::ok) {
        const int32_t PN = slot_of(s.frame.counter, math.mcomsize);
        mark_slot(s.reception, PN);
        place_frame(s.frame.rda + kFrameDataFirst, slot_offset(math, PN), math.limit);
    } else if (status == FrameStatus::not_image) {
        say(s.con, "ID=%x\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n",
            static_cast<unsigned>(s.frame.id));
    } else if (is_invalid(status)) {
        say(s.con, "line %lld is not a valid frame.\r\n", static_cast<long long>(lineno));
    }
}

// One capture file's pass: name line, range, frames, report. 0, or -1 after a failure.
int process_capture(RunState& s, int32_t i, int32_t SC_S) {
    say(s.con, "\r\ni=%d\r\n", i);
    int32_t length = 0;
    const ReadStatus read = read_line(s.info, s.data, length);
    if (read == ReadStatus::failed)
        return fail(s.con, "read file read error.\r\n");
    if (read == ReadStatus::no_line)
        return fail(s.con, "read file format error.\r\n");
    PageRange range{};
    if (parse_name_line(s.data, text_end(s.data, length), s.na, range) != NameStatus::ok)
        return fail(s.con, "read file format error.\r\n");
    say(s.con, "na=%s\r\nSSC=%d SP=%d ESC=%d EP=%d\r\n", s.na, range.SSC, range.SP, range.ESC,
        range.EP);

    RangeMath math{};
    if (!compute_range(range, SC_S, math))
        return fail(s.con, "range error.\r\n");
    start_file(s.reception, math.mcomsize);
    say(s.con, "mcomsize=%d\r\n", math.mcomsize);

    console_flush(s.con); // the operator sees which file the tool is waiting on
    FileGuard file{open_input(s.na)};
    if (file.file == nullptr)
        return fail(s.con, "read file open error.\r\n");
    reader_open(s.capture, file.file);
    const FramesRead frames =
        read_frames(s.capture, s.data, s.frame, 1, [&](int64_t lineno, FrameStatus status) {
            handle_frame(s, lineno, status, math);
        });
    if (frames.status == ReadStatus::failed)
        return fail(s.con, "read file read error.\r\n");
    const int32_t loss_num = end_file(s.reception, math.mcomsize, math.rangekey);
    report_file(s.reception, math.mcomsize, loss_num, s.con);
    console_flush(s.con);
    return 0;
}

// The run from the start line to the final wait. 0, or -1 after a failure.
int rebuild(RunState& s, std::FILE* in) {
    reception_reset(s.reception);
    say(s.con, "Program start ver.3\r\n");

    console_flush(s.con);
    FileGuard info{open_input(kRunInfoName)};
    if (info.file == nullptr)
        return fail(s.con, "read file open error.\r\n");
    reader_open(s.info, info.file);

    RunHead head{};
    const HeadStatus head_status = read_head(s.info, s.data, head, s.con);
    if (head_status == HeadStatus::read_error)
        return fail(s.con, "read file read error.\r\n");
    if (head_status == HeadStatus::format_error)
        return fail(s.con, "read file format error.\r\n");
    if (!imagesize_fits(head.imagesize))
        return fail(s.con, "imagesize error.\r\n");
    const int32_t outsize = head.imagesize + kOutputExtra;
    console_flush(s.con); // the log so far is out before output.bin's open, which may block
    if (check_write(s.con, write_blank_output(outsize)) != 0)
        return -1;

    for (int32_t i = 0; i < head.numfile; ++i) {
        if (process_capture(s, i, head.SC_S) != 0)
            return -1;
    }

    console_flush(s.con);
    if (check_write(s.con, write_output(outsize)) != 0)
        return -1;
    std::fclose(info.file);
    info.file = nullptr;
    say(s.con, "Program is finished.\r\n");
    console_flush(s.con);
    std::fgetc(in);
    return 0;
}

} // namespace

int run(std::FILE* in, std::FILE* out, std::FILE* err) {
    RunState& s = state;
    console_open(s.con, out);
    const int status = rebuild(s, in);
    if (!s.con.failed)
        return status;
    // The image and the run went on without the log; the operator must not take it as whole.
    std::fprintf(err, "imgrebuild: the log could not be written: %s\n", std::strerror(s.con.error));
    std::fflush(err);
    return -1;
}

} // namespace imgrebuild
