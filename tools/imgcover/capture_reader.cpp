#include "capture_reader.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>

#include "capture/capture_file.hpp"
#include "capture/input_file.hpp"
#include "capture/line_reader.hpp"
#include "image/image.hpp"
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

FileMark mark_of(const std::string& path) {
    FileMark m;
#ifdef _WIN32
    struct _stat64 st {};
    if (::_stat64(path.c_str(), &st) != 0)
        return m;
#else
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return m;
#endif
    m.exists = true;
    m.regular = (st.st_mode & S_IFMT) == S_IFREG;
    m.device = static_cast<uint64_t>(st.st_dev);
    m.inode = static_cast<uint64_t>(st.st_ino);
    m.size = static_cast<int64_t>(st.st_size);
#if defined(__linux__)
    m.mtime = static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
#else
    m.mtime = static_cast<int64_t>(st.st_mtime) * 1000000000;
#endif
    return m;
}

bool same_mark(const FileMark& a, const FileMark& b) {
    return a.exists == b.exists && a.device == b.device && a.inode == b.inode && a.size == b.size &&
           a.mtime == b.mtime && a.regular == b.regular;
}

std::string file_key(const std::string& dir, const std::string& name) {
    const fs::path p = fs::path(dir) / name;
    const FileMark m = mark_of(p.string());
    if (m.exists && m.inode != 0)
        return "file " + std::to_string(m.device) + " " + std::to_string(m.inode);
    // Not there (or no serial numbers): its folder where that is there, else its path as
    // written, made plain. Each a single look, however long the name.
    const FileMark folder =
        mark_of((p.parent_path().empty() ? fs::path(".") : p.parent_path()).string());
    if (folder.exists && folder.inode != 0)
        return "in " + std::to_string(folder.device) + " " + std::to_string(folder.inode) + " " +
               p.filename().generic_string();
    std::error_code ec;
    const fs::path whole = fs::absolute(p, ec);
    return "name " + (ec ? p : whole).lexically_normal().generic_string();
}

// The buffers a read needs: large, so made once and kept.
struct CaptureReader::Buffers {
    LineReader reader;
    char data[kLineCap];
    char na[kLineCap];
    Frame frame;
};

CaptureReader::CaptureReader() : b_(std::make_unique<Buffers>()) {}
CaptureReader::~CaptureReader() = default;
CaptureReader::CaptureReader(CaptureReader&&) noexcept = default;
CaptureReader& CaptureReader::operator=(CaptureReader&&) noexcept = default;
CaptureReader::CaptureReader(const CaptureReader&) : CaptureReader() {}
CaptureReader& CaptureReader::operator=(const CaptureReader&) {
    return *this; // buffers hold nothing between reads: keep this reader's own
}

namespace {

bool seek(std::FILE* f, int64_t offset) {
#ifdef _WIN32
    return _fseeki64(f, offset, SEEK_SET) == 0;
#else
    return fseeko(f, static_cast<off_t>(offset), SEEK_SET) == 0;
#endif
}

} // namespace

bool CaptureReader::read_description(const std::string& path, RunDescription& info,
                                     std::string& error) {
    const std::string shown = fs::path(path).generic_string();
    const FileMark mark = mark_of(path);
    if (mark.exists && !mark.regular) {
        error = "cannot read " + shown + ": not a regular file";
        return false;
    }
    FileGuard file(open_input(path.c_str()));
    if (file.file == nullptr) {
        error = "cannot open " + shown;
        return false;
    }
    switch (imgrebuild::read_description(file.file, info, NameLines::listed).status) {
    case HeadStatus::ok:
        break;
    case HeadStatus::read_error:
        error = "cannot read " + shown;
        return false;
    case HeadStatus::format_error:
        error = shown + ": its head is not one imgrebuild reads (lines 2 to 4 need a number as "
                        "their second token)";
        return false;
    }
    if (!imagesize_fits(info.head.imagesize)) {
        error = shown + ": imagesize " + std::to_string(info.head.imagesize) + " is outside 0 to " +
                std::to_string(kMaxImageSize);
        return false;
    }
    return true;
}

Listed CaptureReader::listed_of(const std::string& line, int32_t SC_S) {
    Listed c;
    const NameStatus parsed =
        parse_name_line(line.data(), line.data() + line.size(), b_->na, c.range);
    c.name = b_->na;
    if (parsed != NameStatus::ok) {
        c.status = CaptureStatus::bad_name;
        return c;
    }
    if (!compute_range(c.range, SC_S, c.math))
        c.status = CaptureStatus::bad_range;
    return c;
}

CaptureRead unread(const Listed& c) {
    CaptureRead f;
    f.name = c.name;
    f.math = c.math;
    f.received.assign(static_cast<size_t>(c.math.mcomsize), 0);
    return f;
}

FileChange change_of(const CaptureRead& f, const FileMark& now) {
    const ReadProgress& p = f.progress;
    if (same_mark(now, p.mark))
        return FileChange::none;
    if (!now.regular)
        return FileChange::other;
    if (p.offset == 0 && p.lines == 0)
        return FileChange::appended; // nothing read of it yet: all of it is new
    if (f.status != CaptureStatus::ok || now.device != p.mark.device || now.inode != p.mark.inode ||
        now.size <= p.mark.size || now.size < p.offset)
        return FileChange::other; // replaced, shortened, or rewritten in place
    return FileChange::appended;
}

void CaptureReader::read(const std::string& dir, CaptureRead& f, FrameSink& sink) {
    ReadProgress& p = f.progress;
    const fs::path path = fs::path(dir) / f.name;
    const FileMark now = mark_of(path.string());
    p.mark = now;
    if (!now.exists) {
        // Not there (yet): nothing received.
        f.status = CaptureStatus::unreadable;
        f.warning = "cannot open " + path.generic_string();
        return;
    }
    if (!now.regular) {
        // A pipe, device or folder: reading it could block, or take data meant for the rebuild.
        f.status = CaptureStatus::unreadable;
        f.warning = "cannot read " + path.generic_string() + ": not a regular file";
        return;
    }
    Buffers& b = *b_;
    FileGuard file(open_input(path.string().c_str()));
    if (file.file == nullptr || !seek(file.file, p.offset)) {
        f.status = CaptureStatus::unreadable;
        f.warning = "cannot open " + path.generic_string();
        p.mark = FileMark{}; // try again on the next look
        return;
    }
    reader_open(b.reader, file.file);
    const FramesRead r =
        read_frames(b.reader, b.data, b.frame, p.lines + 1, [&](int64_t, FrameStatus status) {
            if (status != FrameStatus::ok) {
                if (status == FrameStatus::blank)
                    ++f.blank_lines;
                else if (status == FrameStatus::not_image)
                    ++f.not_image;
                else if (is_invalid(status))
                    ++f.bad_lines;
                return;
            }
            const int32_t PN = slot_of(b.frame.counter, f.math.mcomsize);
            uint8_t& got = f.received[static_cast<size_t>(PN)];
            const bool again = got != 0;
            f.duplicate_frames += got;
            got = 1;
            f.slots.push_back(PN);
            ++f.frames;
            sink.frame(PN, b.frame.rda + kFrameDataFirst, again);
        });
    fetched_ += b.reader.taken;
    p.offset += r.end;
    p.lines += r.lines;
    if (r.status == ReadStatus::failed) {
        f.status = CaptureStatus::unreadable;
        f.warning = "cannot read " + path.generic_string();
        p.mark = FileMark{}; // try again on the next look
    } else {
        f.status = CaptureStatus::ok;
        f.warning.clear();
    }
}

} // namespace imgcover
