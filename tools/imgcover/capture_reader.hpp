// Reading a working directory the way the rebuild reads it, and again as it grows: the run
// description, and of every capture only what was appended since the last read. Built on the
// rebuild's own line reader, head reader, name parser, range arithmetic and frame decoder, so
// the two programs never disagree about a line.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "capture/range.hpp"
#include "run/run_info.hpp"

namespace imgcover {

// Where a file stands, to tell on the next look whether it changed.
struct FileMark {
    bool exists = false;
    uint64_t device = 0; // the device and the file's serial number on it, where the
    uint64_t inode = 0;  // platform has them (0 where it has not)
    int64_t size = 0;
    int64_t mtime = 0;    // nanoseconds
    bool regular = false; // a regular file (a symbolic link is followed)
};

// The mark of the file at `path` now (exists false when there is none).
FileMark mark_of(const std::string& path);

bool same_mark(const FileMark& a, const FileMark& b);

// What tells the file `name` in `dir` from every other: the same text for two names of one file
// (a link, "./name", a hard link). Its device and serial number where it exists and the
// platform has them; else its folder's and its file name, where the folder exists; else its
// path made absolute and plain.
std::string file_key(const std::string& dir, const std::string& name);

enum class CaptureStatus {
    ok,         // read to its end
    unreadable, // could not be opened, or a read failed: what was read before still counts
    bad_name,   // the name line states no range
    bad_range,  // the range has fewer than 1 or more than kMaxPages pages
};

const char* status_name(CaptureStatus status);

// How far a capture has been read, and what its file was then: the reader's own state.
struct ReadProgress {
    int64_t offset = 0; // bytes read: the next read starts here
    int64_t lines = 0;  // lines handled as frames
    FileMark mark;      // the file when it was last read
};

// One name line of the run description, as parsed.
struct Listed {
    std::string name; // the name line's text up to its line feed
    CaptureStatus status = CaptureStatus::ok;
    imgrebuild::PageRange range{};
    imgrebuild::RangeMath math{}; // valid for ok and unreadable

    bool has_range() const {
        return status == CaptureStatus::ok || status == CaptureStatus::unreadable;
    }
    // First and last page, counted from block SC_S page 0.
    int64_t first_page() const { return math.base / imgrebuild::kPageBytes; }
    int64_t last_page() const { return first_page() + math.npage - 1; }
};

// What reading one capture file gave, from its start to where the reading stands: written by
// the reader alone.
struct CaptureRead {
    std::string name;                         // as listed: the file is DIR/name
    imgrebuild::RangeMath math{};             // its range's arithmetic, from its name
    CaptureStatus status = CaptureStatus::ok; // ok or unreadable
    std::string warning;                      // why it is unreadable
    int64_t frames = 0;                       // sound frames read
    std::vector<uint8_t> received; // per slot: 1 when a sound frame of this file filled it
    std::vector<int32_t> slots;    // the slot of every sound frame, in line order
    // What the lines read were (their number is progress.lines):
    int64_t blank_lines = 0;      // empty or only white space
    int64_t bad_lines = 0;        // not a valid frame
    int64_t not_image = 0;        // a frame with another identifier
    int64_t duplicate_frames = 0; // sound frames whose slot this file had already filled
    ReadProgress progress;
};

// The capture file a name line with a range names, with nothing read of it yet.
CaptureRead unread(const Listed& c);

// How a capture file differs from what was read of it.
enum class FileChange {
    none,     // as it was when last read
    appended, // grown past what was read (or there now while nothing was read of it): reading
              // on from where the reading stands gives what a read from its start would
    other,    // replaced, shortened, rewritten, gone, or no regular file: read it from its start
};

// How the capture file, whose mark is `now`, differs from `f` as read.
FileChange change_of(const CaptureRead& f, const FileMark& now);

// The run description: its head as the rebuild reads it, its first four lines as they are,
// and its name lines (`numfile` at most; fewer when the file ends first).
using RunDescription = imgrebuild::RunDescription;

// Where the sound frames of a read go, one by one in line order.
class FrameSink {
  public:
    virtual ~FrameSink() = default;
    // A sound frame for slot `PN`; `values` are its 163 data values (low 8 bits count);
    // `again` when this file filled that slot before.
    virtual void frame(int32_t PN, const int32_t* values, bool again) = 0;
};

// Reads run descriptions and captures. Owns the large buffers a read needs, made once.
class CaptureReader {
  public:
    CaptureReader();
    ~CaptureReader();
    CaptureReader(CaptureReader&&) noexcept;
    CaptureReader& operator=(CaptureReader&&) noexcept;
    // A copy has buffers of its own (where each capture was left is in the capture).
    CaptureReader(const CaptureReader&);
    CaptureReader& operator=(const CaptureReader&);

    // Reads the run description at `path`. False, with a message, when it cannot be read or
    // its head is one the rebuild would refuse.
    bool read_description(const std::string& path, RunDescription& info, std::string& error);

    // A name line parsed, relative to block `SC_S`.
    Listed listed_of(const std::string& line, int32_t SC_S);

    // Reads what capture file `f` in `dir` holds past what was read of it, handing its sound
    // frames to `sink` and noting the file's mark. A file that is not there, is no regular file
    // or cannot be read makes `f` unreadable, with a warning; what was read before stays.
    void read(const std::string& dir, CaptureRead& f, FrameSink& sink);

    // Bytes fetched from capture files by this reader's reads, since it was made.
    int64_t bytes_fetched() const { return fetched_; }

  private:
    struct Buffers;
    std::unique_ptr<Buffers> b_;
    int64_t fetched_ = 0;
};

} // namespace imgcover
