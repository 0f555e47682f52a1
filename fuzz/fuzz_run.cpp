// A whole run. The input is split at "@@@\n" into file_info.txt and up to two capture files,
// written under the names that lines 5 and 6 of file_info.txt give, in a fresh directory.
// The driver runs there and its status, log and output.bin are compared with the plain model;
// the run's own invariants are checked on top.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "capture/frame.hpp"
#include "capture/line_reader.hpp"
#include "plain_model.hpp"
#include "run/driver.hpp"
#include "scratch.hpp"
#include "support.hpp"

namespace {

using namespace fuzzscratch;

// True when some line the tool handles in `bytes` is a sound frame.
bool has_sound_frame(const std::string& bytes) {
    static imgrebuild::LineReader reader;
    static char data[imgrebuild::kLineCap];
    static imgrebuild::Frame frame;
    std::FILE* f = fuzzsupport::open_bytes(bytes);
    imgrebuild::reader_open(reader, f);
    bool sound = false;
    int32_t length = 0;
    while (!sound && imgrebuild::read_line(reader, data, length) == imgrebuild::ReadStatus::line)
        sound = imgrebuild::decode_frame(data, imgrebuild::text_end(data, length), frame) ==
                imgrebuild::FrameStatus::ok;
    std::fclose(f);
    return sound;
}

std::vector<std::string> log_lines(const std::string& log) {
    std::vector<std::string> lines;
    size_t from = 0;
    for (size_t at; (at = log.find("\r\n", from)) != std::string::npos; from = at + 2)
        lines.push_back(log.substr(from, at - from));
    return lines;
}

// The value after `label` on a log line that starts with it.
bool logged_value(const std::string& line, const char* label, long long& value) {
    const size_t n = std::strlen(label);
    if (line.compare(0, n, label) != 0)
        return false;
    value = std::atoll(line.c_str() + n);
    return true;
}

} // namespace

namespace {

void check_run(const uint8_t* bytes, size_t size) {
    const std::vector<std::string> written = lay_out_run(bytes, size);
    // file_info.txt itself may be named as a capture.
    bool any_sound = false;
    for (const std::string& part : written)
        any_sound = any_sound || has_sound_frame(part);

    const model::Outcome want = model::run();
    std::remove("output.bin");

    std::FILE* log = std::tmpfile();
    const int status = imgrebuild::run(no_input, log, stderr);
    const std::string got = fuzzsupport::read_back(log);
    std::fclose(log);
    bool has_output = false;
    const std::string output = read_file("output.bin", has_output);

    FUZZ_CHECK(status == 0 || status == -1);
    FUZZ_CHECK(status == want.status);
    FUZZ_CHECK(got == want.log);
    FUZZ_CHECK(has_output == want.wrote_output);
    FUZZ_CHECK(output == want.output);

    const std::vector<std::string> lines = log_lines(got);
    FUZZ_CHECK(!lines.empty() && lines.front() == "Program start ver.3");
    if (status == -1) {
        static const char* const failures[] = {
            "read file open error.",  "read file read error.", "read file format error.",
            "imagesize error.",       "range error.",          "write file open error.",
            "write file write error."};
        bool known = false;
        for (const char* f : failures)
            known = known || lines.back() == f;
        FUZZ_CHECK(known);
        return;
    }
    FUZZ_CHECK(lines.back() == "Program is finished.");
    long long imagesize = -1;
    for (const std::string& l : lines)
        logged_value(l, "imagesize=", imagesize);
    FUZZ_CHECK(has_output && static_cast<long long>(output.size()) == imagesize + 1024);
    if (!any_sound) {
        // No sound frame anywhere: nothing placed, every slot of every file reported missing.
        FUZZ_CHECK(output.find_first_not_of('\xFF') == std::string::npos);
        long long mcomsize = -1, lost = -1;
        for (const std::string& l : lines) {
            logged_value(l, "mcomsize=", mcomsize);
            if (logged_value(l, "loss_num=", lost))
                FUZZ_CHECK(lost == mcomsize);
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    enter_scratch_directory();
    check_run(bytes, size);
    leave_scratch_directory();
    return 0;
}
