#include "run/run_info.hpp"

#include "capture/number.hpp"
#include "limits.hpp"

namespace imgrebuild {

namespace {

// Reads one line of the head; a file that ends before it is a format error.
HeadStatus read_head_line(LineReader& reader, char* data, int32_t& length) {
    const ReadStatus status = read_line(reader, data, length);
    if (status == ReadStatus::failed)
        return HeadStatus::read_error;
    if (status == ReadStatus::no_line)
        return HeadStatus::format_error;
    return HeadStatus::ok;
}

// Reads one value line: the second token, read as a decimal number.
HeadStatus read_value(LineReader& reader, char* data, int32_t& value) {
    int32_t length = 0;
    const HeadStatus status = read_head_line(reader, data, length);
    if (status != HeadStatus::ok)
        return status;
    const char* p = data;
    const char* const end = text_end(data, length);
    next_token(p, end, ' ');
    const Token second = next_token(p, end, ' ');
    const NumberRead number = read_number(second.begin, second.end, 10);
    if (number.error != NumberError::ok)
        return HeadStatus::format_error;
    value = number.value;
    return HeadStatus::ok;
}

} // namespace

HeadStatus read_head(LineReader& reader, char* data, RunHead& head, Console& con) {
    int32_t length = 0;
    const HeadStatus first = read_head_line(reader, data, length);
    if (first != HeadStatus::ok)
        return first;

    struct Field {
        int32_t* value;
        const char* format;
    };
    const Field fields[] = {{&head.imagesize, "imagesize=%d\r\n"},
                            {&head.numfile, "numfile=%d\r\n"},
                            {&head.SC_S, "SC_S=%d\r\n"}};
    for (const Field& f : fields) {
        const HeadStatus status = read_value(reader, data, *f.value);
        if (status != HeadStatus::ok)
            return status;
        say(con, f.format, *f.value);
    }
    return HeadStatus::ok;
}

bool imagesize_fits(int32_t imagesize) {
    return imagesize >= 0 && imagesize <= kMaxImageSize;
}

} // namespace imgrebuild
