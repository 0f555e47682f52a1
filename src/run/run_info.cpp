#include "run/run_info.hpp"

#include <memory>
#include <utility>

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

// The value of a value line read into `data`: its second token, read as a decimal number.
HeadStatus value_of(const char* data, int32_t length, int32_t& value) {
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

// Reads one value line: the second token, read as a decimal number.
HeadStatus read_value(LineReader& reader, char* data, int32_t& value) {
    int32_t length = 0;
    const HeadStatus status = read_head_line(reader, data, length);
    if (status != HeadStatus::ok)
        return status;
    return value_of(data, length, value);
}

// Text of a line as read, up to its first NUL, without its line feed.
std::string line_text(const char* data, int32_t length) {
    const char* end = text_end(data, length);
    if (end > data && end[-1] == '\n')
        --end;
    return std::string(data, end);
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

DescriptionRead read_description(std::FILE* file, RunDescription& d, NameLines which) {
    struct Buffers {
        LineReader reader;
        char data[kLineCap];
    };
    const auto b = std::make_unique<Buffers>();
    reader_open(b->reader, file);
    d = RunDescription{};
    int32_t* const values[kHeadLines] = {nullptr, &d.head.imagesize, &d.head.numfile, &d.head.SC_S};
    DescriptionRead result{HeadStatus::ok, 0};
    int64_t line = 1;
    for (; line <= kHeadLines; ++line) {
        int32_t length = 0;
        HeadStatus status = read_head_line(b->reader, b->data, length);
        if (status == HeadStatus::ok) {
            d.head_lines[line - 1] = line_text(b->data, length);
            if (values[line - 1] != nullptr)
                status = value_of(b->data, length, *values[line - 1]);
        }
        if (status != HeadStatus::ok && result.status == HeadStatus::ok) {
            result = {status, line};
            if (status == HeadStatus::read_error || which == NameLines::listed)
                return result;
        }
    }
    for (; which == NameLines::all || line < int64_t{kHeadLines} + 1 + d.head.numfile; ++line) {
        int32_t length = 0;
        const ReadStatus status = read_line(b->reader, b->data, length);
        if (status == ReadStatus::failed) {
            if (result.status == HeadStatus::ok)
                result = {HeadStatus::read_error, line};
            return result;
        }
        if (status == ReadStatus::no_line)
            break;
        d.names.push_back(line_text(b->data, length));
        if (status == ReadStatus::last_line)
            break;
    }
    return result;
}

std::string head_line(const char* key, int32_t value) {
    return std::string(key) + " " + std::to_string(value);
}

RunDescription describe_run(const std::string& title, const RunHead& head,
                            std::vector<std::string> names) {
    RunDescription d;
    d.head = head;
    d.head_lines[0] = title;
    d.head_lines[1] = head_line("imagesize", head.imagesize);
    d.head_lines[2] = head_line("numfile", head.numfile);
    d.head_lines[3] = head_line("SC_S", head.SC_S);
    d.names = std::move(names);
    return d;
}

void set_names(RunDescription& d, std::vector<std::string> names) {
    d.head.numfile = static_cast<int32_t>(names.size());
    d.head_lines[2] = head_line("numfile", d.head.numfile);
    d.names = std::move(names);
}

std::string description_text(const RunDescription& d) {
    std::string s;
    for (const std::string& line : d.head_lines)
        s += line + "\n";
    for (const std::string& name : d.names)
        s += name + "\n";
    return s;
}

} // namespace imgrebuild
