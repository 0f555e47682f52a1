// The run description's head: the input is file_info.txt. The status, the values and the log
// are compared with the plain model.
#include <cstdint>
#include <string>

#include "log/console.hpp"
#include "plain_model.hpp"
#include "run/run_info.hpp"
#include "support.hpp"

using namespace imgrebuild;

namespace {

LineReader reader;
Console con;
char data[kLineCap];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    const std::string input(reinterpret_cast<const char*>(bytes), size);
    std::FILE* in = fuzzsupport::open_bytes(input);
    std::FILE* log = std::tmpfile();
    reader_open(reader, in);
    console_open(con, log);
    RunHead head{};
    const HeadStatus status = read_head(reader, data, head, con);
    console_flush(con);
    const std::string got = fuzzsupport::read_back(log);
    std::fclose(log);
    std::fclose(in);

    // The model's log: its start line, then what it says of the head.
    const std::vector<model::Line> lines = model::read_lines(input);
    std::string want;
    HeadStatus want_status = HeadStatus::ok;
    int32_t values[3] = {};
    const char* labels[3] = {"imagesize=%lld\r\n", "numfile=%lld\r\n", "SC_S=%lld\r\n"};
    for (size_t k = 0; k < 4; ++k) {
        if (k >= lines.size() || lines[k].status == model::Read::no_line) {
            want_status = HeadStatus::format_error;
            break;
        }
        if (k == 0)
            continue;
        if (!model::head_value(lines[k].text(), values[k - 1])) {
            want_status = HeadStatus::format_error;
            break;
        }
        want += model::format(labels[k - 1], values[k - 1]);
    }
    FUZZ_CHECK(status == want_status);
    FUZZ_CHECK(got == want);
    if (status == HeadStatus::ok)
        FUZZ_CHECK(head.imagesize == values[0] && head.numfile == values[1] &&
                   head.SC_S == values[2]);
    return 0;
}
