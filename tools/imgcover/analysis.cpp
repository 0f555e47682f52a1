#include "analysis.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <map>
#include <tuple>

#include "capture/capture_file.hpp"
#include "capture/line_reader.hpp"
#include "image/image.hpp"
#include "image/reception.hpp"
#include "limits.hpp"
#include "log/console.hpp"

namespace imgcover {

namespace fs = std::filesystem;
using namespace imgrebuild;

const char* status_name(CaptureStatus status) {
    switch (status) {
    case CaptureStatus::ok:
        return "ok";
    case CaptureStatus::unreadable:
        return "unreadable";
    case CaptureStatus::bad_name:
        return "bad_name";
    case CaptureStatus::bad_range:
        return "bad_range";
    }
    return "?";
}

namespace {

// The buffers a read needs: large, so made once and kept.
struct Buffers {
    LineReader reader;
    char data[kLineCap];
    char na[kLineCap];
    Frame frame;
};

Buffers& buffers() {
    static const std::unique_ptr<Buffers> b = std::make_unique<Buffers>();
    return *b;
}

// Closes a file when it goes out of scope.
struct File {
    std::FILE* f;
    explicit File(std::FILE* file) : f(file) {}
    ~File() {
        if (f != nullptr)
            std::fclose(f);
    }
    File(const File&) = delete;
    File& operator=(const File&) = delete;
};

std::FILE* open_input(const fs::path& path) {
    std::FILE* f = std::fopen(path.string().c_str(), "rb");
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

bool seek(std::FILE* f, int64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

FileMark mark_of(const fs::path& path) {
    FileMark m;
#ifdef _WIN32
    struct _stat64 st {};
    if (::_stat64(path.string().c_str(), &st) != 0)
        return m;
#else
    struct stat st {};
    if (::stat(path.string().c_str(), &st) != 0)
        return m;
#endif
    m.exists = true;
    m.identity = static_cast<uint64_t>(st.st_ino) ^ (static_cast<uint64_t>(st.st_dev) << 40);
    m.size = static_cast<int64_t>(st.st_size);
#if defined(__linux__)
    m.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#else
    m.mtime = static_cast<int64_t>(st.st_mtime) * 1000000000;
#endif
    return m;
}

bool same(const FileMark& a, const FileMark& b) {
    return a.exists == b.exists && a.identity == b.identity && a.size == b.size &&
           a.mtime == b.mtime;
}

// Text of a line as read, without its line feed.
std::string line_text(const char* data, int32_t length) {
    std::string s(data, static_cast<size_t>(text_end(data, length) - data));
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

// The run description: its head as the rebuild reads it, its first four lines as they are,
// and its name lines. `numfile` lines at most; fewer when the file ends first.
struct Info {
    RunHead head{};
    std::string head_lines[4];
    std::vector<std::string> names; // each read, up to its first NUL
};

bool read_info(const fs::path& path, Info& info, std::string& error) {
    Buffers& b = buffers();
    File file(open_input(path));
    if (file.f == nullptr) {
        error = "cannot open " + path.generic_string();
        return false;
    }
    int32_t length = 0;
    reader_open(b.reader, file.f);
    for (std::string& line : info.head_lines) {
        if (read_line(b.reader, b.data, length) == ReadStatus::failed)
            break;
        line = line_text(b.data, length);
    }
    if (!seek(file.f, 0)) {
        error = "cannot read " + path.generic_string();
        return false;
    }
    reader_open(b.reader, file.f);
    static Console quiet;
    console_open(quiet, nullptr);
    switch (read_head(b.reader, b.data, info.head, quiet)) {
    case HeadStatus::ok:
        break;
    case HeadStatus::read_error:
        error = "cannot read " + path.generic_string();
        return false;
    case HeadStatus::format_error:
        error = path.generic_string() +
                ": its head is not one imgrebuild reads (lines 2 to 4 need a number as their "
                "second token)";
        return false;
    }
    if (!imagesize_fits(info.head.imagesize)) {
        error = path.generic_string() + ": imagesize " + std::to_string(info.head.imagesize) +
                " is outside 0 to " + std::to_string(kMaxImageSize);
        return false;
    }
    for (int32_t i = 0; i < info.head.numfile; ++i) {
        const ReadStatus status = read_line(b.reader, b.data, length);
        if (status == ReadStatus::failed) {
            error = "cannot read " + path.generic_string();
            return false;
        }
        if (status == ReadStatus::no_line)
            break;
        info.names.emplace_back(b.data, static_cast<size_t>(text_end(b.data, length) - b.data));
    }
    return true;
}

// Sets up a capture from its name line, with nothing read yet.
Capture new_capture(const std::string& line, int32_t SC_S) {
    Buffers& b = buffers();
    Capture c;
    const NameStatus parsed =
        parse_name_line(line.data(), line.data() + line.size(), b.na, c.range);
    c.name = b.na;
    if (parsed != NameStatus::ok) {
        c.status = CaptureStatus::bad_name;
        return c;
    }
    if (!compute_range(c.range, SC_S, c.math)) {
        c.status = CaptureStatus::bad_range;
        return c;
    }
    c.received.assign(static_cast<size_t>(c.math.mcomsize), 0);
    return c;
}

void forget_reads(Capture& c) {
    std::fill(c.received.begin(), c.received.end(), 0);
    c.frames = 0;
    c.offset = 0;
    c.lines = 0;
    c.mark = FileMark{};
}

// Reads what the capture gained since its last read; from its start when it shrank or was
// replaced. True when anything was read or its state changed.
bool read_capture(Analysis& a, Capture& c, bool& reset) {
    reset = false;
    if (!c.has_range())
        return false;
    const fs::path path = fs::path(a.dir) / c.name;
    const FileMark now = mark_of(path);
    if (c.mark.exists && same(now, c.mark) && c.status == CaptureStatus::ok)
        return false;
    if (!now.exists) {
        // Not there (yet): nothing received. What it held before no longer counts.
        const bool changed = c.status != CaptureStatus::unreadable || c.frames > 0;
        reset = c.frames > 0 || c.offset > 0;
        forget_reads(c);
        c.status = CaptureStatus::unreadable;
        c.warning = "cannot open " + path.generic_string();
        return changed;
    }
    if (now.identity != c.mark.identity || now.size < c.offset ||
        (now.size == c.mark.size && now.mtime != c.mark.mtime)) {
        reset = c.frames > 0 || c.offset > 0;
        forget_reads(c);
    }
    const CaptureStatus was = c.status;
    const int64_t had = c.offset;
    c.mark = now;
    Buffers& b = buffers();
    File file(open_input(path));
    if (file.f == nullptr || !seek(file.f, c.offset)) {
        c.status = CaptureStatus::unreadable;
        c.warning = "cannot open " + path.generic_string();
        c.mark = FileMark{};
        return was != c.status || reset;
    }
    reader_open(b.reader, file.f);
    unsigned char* const image = a.keep_image ? a.image.data() : nullptr;
    const int64_t outsize = static_cast<int64_t>(a.image.size());
    const FramesRead r =
        read_frames(b.reader, b.data, b.frame, c.lines + 1, [&](int64_t, FrameStatus status) {
            if (status != FrameStatus::ok)
                return;
            const int32_t PN = slot_of(b.frame.counter, c.math.mcomsize);
            c.received[static_cast<size_t>(PN)] = 1;
            ++c.frames;
            if (image != nullptr)
                place_frame_in(image, outsize, b.frame.rda + kFrameDataFirst,
                               slot_offset(c.math, PN), c.math.limit);
        });
    c.offset += r.end;
    c.lines += r.lines;
    if (r.status == ReadStatus::failed) {
        c.status = CaptureStatus::unreadable;
        c.warning = "cannot read " + path.generic_string();
        c.mark = FileMark{}; // try again on the next look
    } else {
        c.status = CaptureStatus::ok;
        c.warning.clear();
    }
    return reset || was != c.status || c.offset != had;
}

// Everything derived from what the captures received: repeats, coverage, spans, the slots
// missing after all passes, and what the rebuild's report says of each capture.
void derive(Analysis& a) {
    const int64_t size = a.head.imagesize;
    a.coverage.assign(static_cast<size_t>(size), 0);
    for (size_t j = 0; j < a.captures.size(); ++j) {
        Capture& c = a.captures[j];
        c.repeat = false;
        if (!c.has_range())
            continue;
        for (size_t i = 0; i < j && !c.repeat; ++i) {
            const Capture& e = a.captures[i];
            c.repeat =
                e.has_range() && e.first_page() <= c.last_page() && c.first_page() <= e.last_page();
        }
        const uint8_t bits = c.repeat ? kCovered : kCovered | kFirstTry;
        for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
            if (c.received[static_cast<size_t>(PN)] == 0)
                continue;
            const imgrebuild::Span s =
                slot_span(slot_offset(c.math, PN), std::min(c.math.limit, size - 1));
            for (int64_t o = s.first; o <= s.last; ++o)
                a.coverage[static_cast<size_t>(o)] |= bits;
        }
    }

    a.covered_bytes = 0;
    a.missing.clear();
    for (int64_t o = 0; o < size; ++o) {
        if (a.coverage[static_cast<size_t>(o)] & kCovered) {
            ++a.covered_bytes;
        } else if (!a.missing.empty() && a.missing.back().last == o - 1) {
            a.missing.back().last = o;
        } else {
            a.missing.push_back({o, o});
        }
    }

    // Slots received by any capture of the same exact range, wherever it is listed.
    std::map<std::tuple<int32_t, int32_t, int32_t, int32_t>, std::vector<uint8_t>> unions;
    for (const Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        std::vector<uint8_t>& u = unions[{c.range.SSC, c.range.SP, c.range.ESC, c.range.EP}];
        u.resize(c.received.size(), 0);
        for (size_t k = 0; k < c.received.size(); ++k)
            u[k] |= c.received[k];
    }
    for (Capture& c : a.captures) {
        c.all_passes.clear();
        if (!c.has_range())
            continue;
        const std::vector<uint8_t>& u = unions[{c.range.SSC, c.range.SP, c.range.ESC, c.range.EP}];
        for (size_t k = 0; k < u.size(); ++k) {
            if (u[k] == 0)
                c.all_passes.push_back(static_cast<int32_t>(k));
        }
    }

    // The rebuild's own merge, over the captures it could read, in their order.
    static const std::unique_ptr<Reception> rec = std::make_unique<Reception>();
    static Console quiet;
    console_open(quiet, nullptr);
    reception_reset(*rec);
    for (Capture& c : a.captures) {
        c.reported = -1;
        if (c.status != CaptureStatus::ok)
            continue;
        start_file(*rec, c.math.mcomsize);
        for (int32_t PN = 0; PN < c.math.mcomsize; ++PN) {
            if (c.received[static_cast<size_t>(PN)] != 0)
                mark_slot(*rec, PN);
        }
        c.reported = end_file(*rec, c.math.mcomsize, c.math.rangekey, quiet);
    }
}

// Takes the run description's name lines: a capture whose line is unchanged keeps what was
// read of it.
void take_names(Analysis& a, const Info& info) {
    std::vector<Capture> next;
    next.reserve(info.names.size());
    for (size_t i = 0; i < info.names.size(); ++i) {
        Capture c = new_capture(info.names[i], info.head.SC_S);
        if (i < a.captures.size() && a.captures[i].name == c.name &&
            a.captures[i].status == c.status && a.captures[i].has_range() == c.has_range() &&
            (!c.has_range() ||
             (a.captures[i].math.base == c.math.base && a.captures[i].math.npage == c.math.npage)))
            next.push_back(std::move(a.captures[i]));
        else
            next.push_back(std::move(c));
    }
    a.captures = std::move(next);
    a.listed = static_cast<int32_t>(info.names.size());
}

bool load(Analysis& a, bool& changed, bool fresh, std::string& error) {
    const fs::path info_path = fs::path(a.dir) / kRunInfoName;
    const FileMark now = mark_of(info_path);
    bool any = false;
    if (fresh || !same(now, a.info_mark)) {
        Info info;
        if (!read_info(info_path, info, error))
            return false;
        const bool head_changed =
            fresh || info.head.imagesize != a.head.imagesize || info.head.SC_S != a.head.SC_S;
        if (head_changed) {
            a.captures.clear();
            a.image.assign(
                a.keep_image ? static_cast<size_t>(info.head.imagesize) + kOutputExtra : 0, 0xFF);
        }
        a.head = info.head;
        for (int k = 0; k < 4; ++k)
            a.head_lines[k] = info.head_lines[k];
        take_names(a, info);
        a.info_mark = now;
        any = true;
    }
    bool reset_any = false;
    for (Capture& c : a.captures) {
        bool reset = false;
        any = read_capture(a, c, reset) || any;
        reset_any = reset_any || reset;
    }
    if (reset_any && a.keep_image) {
        // A capture was read again from its start: rebuild the image from every capture, in
        // their order, so that the later frame wins as in the rebuild.
        std::fill(a.image.begin(), a.image.end(), 0xFF);
        for (Capture& c : a.captures) {
            forget_reads(c);
            bool reset = false;
            read_capture(a, c, reset);
        }
    }
    if (any || fresh)
        derive(a);
    changed = any;
    return true;
}

} // namespace

bool analyse(Analysis& a, std::string& error) {
    bool changed = false;
    return load(a, changed, true, error);
}

bool refresh(Analysis& a, bool& changed, std::string& error) {
    return load(a, changed, false, error);
}

int64_t total_frames(const Analysis& a) {
    int64_t n = 0;
    for (const Capture& c : a.captures)
        n += c.frames;
    return n;
}

std::vector<Request> make_plan(const Analysis& a, int32_t join, const std::string& prefix) {
    // Runs of pages with an uncovered byte, as [first, last] page numbers from offset 0.
    std::vector<Span> runs;
    for (const Span& s : a.missing) {
        const int64_t first = s.first / kPageBytes, last = s.last / kPageBytes;
        if (!runs.empty() && first <= runs.back().last + 1 + join)
            runs.back().last = std::max(runs.back().last, last);
        else
            runs.push_back({first, last});
    }
    std::vector<Request> plan;
    const auto page = [&](int64_t q) {
        return std::pair<int32_t, int32_t>{static_cast<int32_t>(a.head.SC_S + q / kBlockPages),
                                           static_cast<int32_t>(q % kBlockPages)};
    };
    for (const Span& r : runs) {
        for (int64_t first = r.first; first <= r.last; first += kMaxPages) {
            const int64_t last = std::min(r.last, first + kMaxPages - 1);
            const auto [SSC, SP] = page(first);
            const auto [ESC, EP] = page(last);
            Request q{{SSC, SP, ESC, EP}, {}};
            q.name = prefix + "_" + std::to_string(SSC) + "_" + std::to_string(SP) + "_" +
                     std::to_string(ESC) + "_" + std::to_string(EP) + ".txt";
            plan.push_back(std::move(q));
        }
    }
    return plan;
}

} // namespace imgcover
