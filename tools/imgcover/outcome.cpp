#include "outcome.hpp"

#include <sys/stat.h>
#ifndef _WIN32
#include <unistd.h>
#endif

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>

#include "capture/input_file.hpp"
#include "capture/line_reader.hpp"
#include "capture/number.hpp"
#include "image/image.hpp"
#include "limits.hpp"
#include "log/console.hpp"
#include "text.hpp"

namespace imgcover {

namespace fs = std::filesystem;
using namespace imgrebuild;

namespace {

// The buffers a walk needs: large, so on the heap.
struct WalkBuffers {
    LineReader reader;
    char data[kLineCap];
    char na[kLineCap];
    Console quiet; // the head reader's log, dropped
};

// Counts the lines of a file by the reads that take them: a read whose text ends with a line
// feed ends its line; a piece of a longer line leaves the line open.
struct LineCount {
    int64_t next = 1;
    // The line number of a read, counted.
    int64_t take(const char* data, int32_t length) {
        const int64_t at = next;
        if (length > 0 && data[length - 1] == '\n')
            ++next;
        return at;
    }
};

// Whether [p, end) holds only white space.
bool blank_text(const char* p, const char* end) {
    for (; p < end; ++p) {
        if (!is_space(*p))
            return false;
    }
    return true;
}

// The text of a read without its line feed, up to its first NUL.
std::string read_text(const char* data, int32_t length) {
    std::string s(data, static_cast<size_t>(text_end(data, length) - data));
    if (!s.empty() && s.back() == '\n')
        s.pop_back();
    return s;
}

bool seek_start(std::FILE* f) {
    return std::fseek(f, 0, SEEK_SET) == 0;
}

// The first of lines 2 to 4 whose second token does not read as a number, as the head reader
// reads it; 0 when each does.
int64_t first_bad_value_line(const std::string (&text)[4]) {
    for (int k = 1; k < 4; ++k) {
        const char* p = text[k].data();
        const char* const end = p + text[k].size();
        next_token(p, end, ' ');
        const Token second = next_token(p, end, ' ');
        if (read_number(second.begin, second.end, 10).error != NumberError::ok)
            return k + 1;
    }
    return 0;
}

enum class Kind { none, regular, directory, pipe, device, other };

// What is at `path`, links followed; `error` is the errno of a failed look.
Kind kind_of(const std::string& path, int& error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        error = errno;
        return Kind::none;
    }
    switch (st.st_mode & S_IFMT) {
    case S_IFREG:
        return Kind::regular;
    case S_IFDIR:
        return Kind::directory;
#ifdef S_IFIFO
    case S_IFIFO:
        return Kind::pipe;
#endif
    case S_IFCHR:
#ifdef S_IFBLK
    case S_IFBLK:
#endif
        return Kind::device;
    default:
        return Kind::other;
    }
}

// Whether this user may write to `path` (and search it, for a folder). Without such a check
// on the platform, true.
bool may_write(const std::string& path, bool folder) {
#ifdef _WIN32
    (void)path;
    (void)folder;
    return true;
#else
    return ::access(path.c_str(), folder ? W_OK | X_OK : W_OK) == 0;
#endif
}

Outcome failure(const char* log, int64_t line, std::string why, std::string todo) {
    Outcome o;
    o.verdict = Verdict::fails;
    o.log = log;
    o.line = line;
    o.why = std::move(why);
    o.todo = std::move(todo);
    return o;
}

std::string shown_dir(const std::string& dir) {
    return fs::path(dir).generic_string();
}

// What stops the rebuild at output.bin's first write, as far as this user can tell; succeeds
// when nothing does.
Outcome output_outcome(const std::string& dir) {
    const std::string folder = dir.empty() ? "." : dir;
    const std::string path = (fs::path(folder) / kOutputName).string();
    const std::string shown = (fs::path(folder) / kOutputName).generic_string();
    const char* const todo = "make output.bin a writable file in the working folder (or remove "
                             "it), and the folder writable, before running imgrebuild";
    int error = 0;
    const Kind kind = kind_of(path, error);
    if (kind == Kind::directory)
        return failure("write file open error.", 0, shown + " is a folder", todo);
    if (kind == Kind::pipe) {
        Outcome o;
        o.verdict = Verdict::unsure;
        o.why = shown + " is a pipe: imgrebuild writes the image to whatever reads it";
        o.todo = "make sure a reader takes the whole image, or remove the pipe";
        return o;
    }
    if (kind == Kind::none && error != ENOENT)
        return {}; // a link to nowhere, say: the rebuild may create what it names
    if (kind != Kind::none && !may_write(path, false))
        return failure("write file open error.", 0, shown + " is not writable", todo);
    // A new output.bin, and the final write's temporary file beside it, are made in the folder.
    std::error_code ec;
    const bool plain = kind == Kind::none || kind == Kind::regular ||
                       fs::symlink_status(path, ec).type() == fs::file_type::regular;
    if (plain && !may_write(folder, true))
        return failure("write file open error.", 0,
                       "the folder " + shown_dir(folder) + " is not writable", todo);
    return {};
}

// What stops the rebuild at capture `k` (name line `n`), which it opens and reads to its end.
Outcome capture_outcome(const std::string& dir, const NameLine& n, const CaptureRead* r) {
    const std::string path = (fs::path(dir) / n.name).string();
    const std::string where = "line " + std::to_string(n.line) + ", " + n.name + ",";
    const std::string out_of_run =
        "take line " + std::to_string(n.line) +
        " out of file_info.txt and lower numfile on line 3 by one (imgcover --next-info FILE "
        "writes a run description without it)";
    int error = 0;
    const Kind kind = kind_of(path, error);
    Outcome o;
    if (kind == Kind::none) {
        o = failure("read file open error.", n.line,
                    where + (error == ENOENT
                                 ? " is not in the folder " + shown_dir(dir)
                                 : std::string(" cannot be opened: ") + std::strerror(error)),
                    "save the capture there under that name (if it is on its way, wait for "
                    "it), or " +
                        out_of_run);
    } else if (kind == Kind::directory) {
#ifdef _WIN32
        o = failure("read file open error.", n.line, where + " is a folder", out_of_run);
#else
        o = failure("read file read error.", n.line, where + " is a folder", out_of_run);
#endif
    } else if (kind == Kind::pipe || kind == Kind::device) {
        o.verdict = Verdict::unsure;
        o.line = n.line;
        o.why = where + (kind == Kind::pipe ? " is a pipe: imgrebuild waits on it until its writer "
                                              "closes it"
                                            : " is a device: imgrebuild reads whatever it gives");
        o.todo = "save the capture as a regular file under that name";
    } else {
        // Opening is cheap and harmless for a regular file: the rebuild's own open, tried.
        FileGuard file(open_input(path.c_str()));
        if (file.file == nullptr) {
            o = failure("read file open error.", n.line,
                        where + " cannot be opened: " + std::strerror(errno),
                        "make the capture readable, or " + out_of_run);
        } else if (r != nullptr && r->status == CaptureStatus::unreadable &&
                   r->warning.rfind("cannot read ", 0) == 0) {
            o = failure("read file read error.", n.line, where + " cannot be read to its end",
                        "copy the capture again from the station, or " + out_of_run);
        }
    }
    o.name = n.name;
    return o;
}

// `text` in lines of at most 79 columns.
std::string wrapped(const std::string& text, const std::string& indent) {
    return word_wrapped(text, indent, 79);
}

std::string range_text(const PageRange& r) {
    return format("(%d,%d)-(%d,%d)", r.SSC, r.SP, r.ESC, r.EP);
}

} // namespace

RunWalk walk_run(const std::string& dir) {
    RunWalk w;
    const std::string path = (fs::path(dir) / kRunInfoName).string();
    int error = 0;
    if (kind_of(path, error) != Kind::regular)
        return w; // a pipe or a device is never read: it could block
    FileGuard file(open_input(path.c_str()));
    if (file.file == nullptr)
        return w;
    w.opened = true;
    const auto b = std::make_unique<WalkBuffers>();
    LineCount count;
    int32_t length = 0;
    reader_open(b->reader, file.file);
    for (std::string& text : w.head_text) {
        const ReadStatus status = read_line(b->reader, b->data, length);
        if (status == ReadStatus::failed || status == ReadStatus::no_line)
            break;
        text = read_text(b->data, length);
        count.take(b->data, length);
    }
    if (!seek_start(file.file)) {
        w.head_status = HeadStatus::read_error;
        return w;
    }
    reader_open(b->reader, file.file);
    console_open(b->quiet, nullptr);
    w.head_status = read_head(b->reader, b->data, w.head, b->quiet);
    w.end_line = count.next;
    if (w.head_status != HeadStatus::ok)
        return w;
    for (int64_t i = 0;; ++i) {
        const ReadStatus status = read_line(b->reader, b->data, length);
        if (status == ReadStatus::failed) {
            w.names_failed = i < w.head.numfile;
            break;
        }
        if (status == ReadStatus::no_line)
            break;
        const int64_t line = count.take(b->data, length);
        const char* const end = text_end(b->data, length);
        if (i >= w.head.numfile) {
            // Past the lines the rebuild reads: only counted.
            if (!blank_text(b->data, end)) {
                if (w.extra_lines++ == 0)
                    w.first_extra_line = line;
                if (w.extra_at.size() < 8)
                    w.extra_at.push_back(line);
            }
            continue;
        }
        NameLine n;
        n.line = line;
        n.parsed = parse_name_line(b->data, end, b->na, n.range);
        n.name = b->na;
        n.blank = blank_text(b->data, end);
        n.range_ok = n.parsed == NameStatus::ok && compute_range(n.range, w.head.SC_S, n.math);
        w.names.push_back(std::move(n));
    }
    w.end_line = count.next;
    return w;
}

Outcome predict_rebuild(const std::string& dir, const RunWalk& w, const Analysis& a) {
    if (!w.opened)
        return failure("read file open error.", 0, "file_info.txt cannot be opened",
                       "put the run description, file_info.txt, in the working folder");
    if (w.head_status == HeadStatus::read_error)
        return failure("read file read error.", 0, "file_info.txt cannot be read",
                       "copy the run description again");
    if (w.head_status == HeadStatus::format_error) {
        const int64_t bad = first_bad_value_line(w.head_text);
        const int64_t line = bad > 0 && bad < w.end_line ? bad : w.end_line;
        return failure("read file format error.", line,
                       line == w.end_line
                           ? "file_info.txt ends before its four head lines"
                           : "line " + std::to_string(line) + " has no number as its second token",
                       "correct line " + std::to_string(line) + " of file_info.txt");
    }
    if (!imagesize_fits(w.head.imagesize))
        return failure("imagesize error.", 2,
                       "imagesize " + std::to_string(w.head.imagesize) + " is outside 0 to " +
                           grouped(kMaxImageSize),
                       "correct line 2 of file_info.txt");
    if (Outcome o = output_outcome(dir); o.verdict != Verdict::succeeds)
        return o;
    const std::string lower =
        " (and lower numfile on line 3 by one if you delete it; imgcover --next-info FILE writes "
        "a run description without it)";
    for (int64_t i = 0; i < w.head.numfile; ++i) {
        if (i >= static_cast<int64_t>(w.names.size())) {
            const std::string held = std::to_string(w.names.size());
            if (w.names_failed)
                return failure("read file read error.", w.end_line,
                               "file_info.txt cannot be read past line " +
                                   std::to_string(w.end_line - 1),
                               "copy the run description again");
            Outcome o = failure("read file format error.", w.end_line,
                                "file_info.txt ends before line " + std::to_string(w.end_line) +
                                    ": numfile " + std::to_string(w.head.numfile) +
                                    " (line 3) asks for that many name lines, and it holds " + held,
                                "set numfile " + held + " on line 3, or add the missing names");
            return o;
        }
        const NameLine& n = w.names[static_cast<size_t>(i)];
        const std::string at = "line " + std::to_string(n.line);
        if (n.parsed != NameStatus::ok) {
            Outcome o = failure(
                "read file format error.", n.line,
                n.blank ? at + " is blank, not a capture name"
                        : at + ", " + n.name +
                              ", states no page range: a capture name is PREFIX_SSC_SP_ESC_EP "
                              "with an extension",
                "correct or delete " + at + " of file_info.txt" + lower);
            o.name = n.name;
            return o;
        }
        if (!n.range_ok) {
            Outcome o = failure("range error.", n.line,
                                at + ", " + n.name + ", states pages " + range_text(n.range) +
                                    ", " + std::to_string(n.math.npage) +
                                    " pages; a capture holds 1 to " + grouped(kMaxPages),
                                "correct or delete " + at + " of file_info.txt" + lower);
            o.name = n.name;
            return o;
        }
        // What the analysis read of the same line's file, when it is the same name.
        const Capture* c = i < static_cast<int64_t>(a.captures.size())
                               ? &a.captures[static_cast<size_t>(i)]
                               : nullptr;
        const CaptureRead* r =
            c != nullptr && c->name == n.name && c->has_range() ? &a.read_of(*c) : nullptr;
        if (Outcome o = capture_outcome(dir, n, r); o.verdict != Verdict::succeeds)
            return o;
    }
    return {};
}

std::string outcome_text(const Outcome& o) {
    if (o.verdict == Verdict::succeeds)
        return {};
    const std::string where =
        o.line > 0 ? " at file_info.txt line " + std::to_string(o.line) : std::string();
    std::string s;
    if (o.verdict == Verdict::fails)
        s = wrapped("imgrebuild will fail" + where + " with \"" + printable(o.log) +
                        "\": " + printable(o.why) + ".",
                    "") +
            wrapped("It will leave output.bin blank (all 0xFF); imgcover --rebuilt FILE writes "
                    "the image as received so far.",
                    "  ");
    else
        s = wrapped("imgrebuild may not finish" + where + ": " + printable(o.why) + ".", "");
    return s + wrapped("To do: " + printable(o.todo) + ".", "  ");
}

} // namespace imgcover
