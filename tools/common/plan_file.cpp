#include "plan_file.hpp"

#include <cerrno>
#include <cstring>
#include <map>
#include <memory>

#include "capture/input_file.hpp"
#include "capture/line_reader.hpp"
#include "capture/number.hpp"
#include "capture/range.hpp"
#include "limits.hpp"
#include "names.hpp"
#include "text.hpp"

namespace companion {

std::string plan_text(const std::vector<Request>& plan) {
    std::string s;
    for (const Request& q : plan)
        s += format("%d %d %d %d %s\n", q.range.SSC, q.range.SP, q.range.ESC, q.range.EP,
                    q.name.c_str());
    return s;
}

namespace {

// The buffers of one plan read: the core's line reader and its line.
struct PlanBuffers {
    imgrebuild::LineReader reader;
    char data[imgrebuild::kLineCap];
    char na[imgrebuild::kLineCap];
};

// What is wrong with one line of a plan, or an empty string; fills `r` when nothing is.
std::string check_line(const char* p, const char* end, char* na, Request& r) {
    static constexpr const char* kFields[] = {"SSC", "SP", "ESC", "EP"};
    int32_t* const values[] = {&r.range.SSC, &r.range.SP, &r.range.ESC, &r.range.EP};
    for (int k = 0; k < 4; ++k) {
        const imgrebuild::Token t = imgrebuild::next_token(p, end, ' ');
        if (t.begin == t.end)
            return "not 'SSC SP ESC EP NAME'";
        const imgrebuild::NumberRead n = imgrebuild::read_number(t.begin, t.end, 10);
        if (n.error != imgrebuild::NumberError::ok || n.stop != t.end ||
            !(imgrebuild::digit_of(*t.begin) < 10 || *t.begin == '-' || *t.begin == '+'))
            return std::string(kFields[k]) + " is not a whole number of 32 bits";
        *values[k] = n.value;
    }
    const imgrebuild::Token name = imgrebuild::next_token(p, end, ' ');
    if (name.begin == name.end || imgrebuild::next_token(p, end, ' ').begin != end)
        return "not 'SSC SP ESC EP NAME'";
    r.name.assign(name.begin, name.end);
    const std::string range = std::to_string(r.range.SSC) + " " + std::to_string(r.range.SP) + " " +
                              std::to_string(r.range.ESC) + " " + std::to_string(r.range.EP);
    imgrebuild::RangeMath math{};
    if (!imgrebuild::compute_range(r.range, 0, math))
        return "the range " + range + " holds fewer than 1 or more than " +
               std::to_string(imgrebuild::kMaxPages) + " pages";
    if (const char* fault = name_fault(r.name))
        return "the name " + printable(r.name) + " " + fault;
    imgrebuild::PageRange stated{};
    if (imgrebuild::parse_name_line(name.begin, name.end, na, stated) !=
            imgrebuild::NameStatus::ok ||
        !(stated == r.range))
        return "the name " + printable(r.name) + " does not state the range " + range +
               " as PREFIX_SSC_SP_ESC_EP, so the rebuild would not read it";
    return {};
}

} // namespace

bool read_plan_from(std::FILE* file, const std::string& source, std::vector<Request>& plan,
                    std::string& error) {
    const auto b = std::make_unique<PlanBuffers>();
    imgrebuild::reader_open(b->reader, file);
    std::vector<Request> read;
    std::map<std::string, int64_t> lines_of; // each name and the line that plans it
    for (int64_t number = 1;; ++number) {
        int32_t length = 0;
        const imgrebuild::ReadStatus status = imgrebuild::read_line(b->reader, b->data, length);
        if (status == imgrebuild::ReadStatus::no_line)
            break;
        const std::string at = source + ":" + std::to_string(number) + ": ";
        if (status == imgrebuild::ReadStatus::failed) {
            error = "cannot read " + source + ": " + std::strerror(errno);
            return false;
        }
        const bool whole = length > 0 && b->data[length - 1] == '\n';
        if (!whole && status == imgrebuild::ReadStatus::line) {
            error = at + "longer than " + std::to_string(imgrebuild::kLineCap - 1) + " characters";
            return false;
        }
        const char* const end = b->data + length - (whole ? 1 : 0);
        const char* p = b->data;
        while (p < end && *p == ' ')
            ++p;
        if (p == end)
            continue;
        Request r{};
        const std::string fault = check_line(p, end, b->na, r);
        if (!fault.empty()) {
            error = at + fault;
            return false;
        }
        const auto [seen, added] = lines_of.emplace(r.name, number);
        if (!added) {
            error = at + "the name " + printable(r.name) + " is planned on line " +
                    std::to_string(seen->second) + " already";
            return false;
        }
        read.push_back(std::move(r));
        if (status == imgrebuild::ReadStatus::last_line)
            break;
    }
    plan = std::move(read);
    return true;
}

bool read_plan(const std::string& path, std::vector<Request>& plan, std::string& error) {
    std::FILE* f = imgrebuild::open_input(path.c_str());
    if (f == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    const imgrebuild::FileGuard guard(f);
    return read_plan_from(f, path, plan, error);
}

} // namespace companion
