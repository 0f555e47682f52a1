#include "sim.hpp"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <thread>
#include <utility>

#include "capture/input_file.hpp"
#include "capture/number.hpp"
#include "capture/slip.hpp"
#include "common/names.hpp"
#include "image/replace_file.hpp"
#include "limits.hpp"
#include "run/run_info.hpp"

namespace framesim {

namespace fs = std::filesystem;
using imgrebuild::kBlockPages;

namespace {

// A bound as a person writes it: 0, 0.001, 1e+09.
std::string cli_number(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%g", v);
    return buf;
}

} // namespace

using imgrebuild::kPageBytes;
using imgrebuild::kSlotBytes;

uint64_t Random::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

std::vector<uint8_t> generated_image(int32_t size, uint64_t seed) {
    Random rng(seed ^ 0x1234567ull);
    std::vector<uint8_t> image(static_cast<size_t>(size));
    for (uint8_t& b : image)
        b = static_cast<uint8_t>(rng.next() >> 56);
    return image;
}

std::string check_options(const Options& o) {
    for (const Bound<int32_t>& b : kCountBounds) {
        if (o.*b.field < b.lo || o.*b.field > b.hi)
            return std::string(b.option) + " must be " + std::to_string(b.lo) + " to " +
                   std::to_string(b.hi);
    }
    for (const Bound<double>& b : kRateBounds) {
        const double v = o.*b.field;
        if (!(v >= b.lo && v <= b.hi) && !(b.field == &Options::live && v == 0))
            return std::string(b.option) + " must be " + cli_number(b.lo) + " to " +
                   cli_number(b.hi);
    }
    return {};
}

namespace {

constexpr char kHex[] = "0123456789ABCDEF";

// Line 1 of the file_info.txt of a run sent from an image file.
constexpr std::string_view kFromAFile = "framesim image from a file";

void put_token(std::string& s, int32_t v) {
    s += ' ';
    s += kHex[(v >> 4) & 0xF];
    s += kHex[v & 0xF];
}

} // namespace

std::string frame_line(int32_t id, int32_t counter, const uint8_t* data) {
    std::string s;
    s.reserve(640);
    s += kHex[(id >> 4) & 0xF];
    s += kHex[id & 0xF];
    // Header: a sync word, the spacecraft and channel, and the counter again.
    const int32_t header[18] = {0x1A,
                                0xCF,
                                0xFC,
                                0x1D,
                                0x03,
                                0x21,
                                (counter >> 16) & 0xFF,
                                (counter >> 8) & 0xFF,
                                counter & 0xFF,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0,
                                0xA5,
                                0x5A};
    for (int32_t h : header)
        put_token(s, h);
    int32_t sum = 0;
    for (int j = 0; j < kSlotBytes; ++j)
        sum += data[j];
    int32_t payload[imgrebuild::kFrameValues];
    payload[0] = (counter >> 16) & 0xFF;
    payload[1] = (counter >> 8) & 0xFF;
    payload[2] = counter & 0xFF;
    payload[3] = 0x00;
    for (int j = 0; j < kSlotBytes; ++j)
        payload[4 + j] = data[j];
    payload[imgrebuild::kFrameValues - 1] = sum & 0xFF;
    for (int32_t v : payload) {
        int32_t sent[2];
        const int32_t n = imgrebuild::slip_escape(v, sent);
        for (int32_t k = 0; k < n; ++k)
            put_token(s, sent[k]);
    }
    return s;
}

std::string restyle(const std::string& tidy, Random& rng) {
    static constexpr char kLower[] = "0123456789abcdef";
    std::string s;
    s.reserve(tidy.size() * 2);
    for (size_t k = 0; k + 1 < tidy.size(); k += 3) {
        if (k > 0)
            s.append(rng.chance(0.15) ? 2 + rng.below(2) : 1, ' ');
        const int hi = imgrebuild::digit_of(tidy[k]), lo = imgrebuild::digit_of(tidy[k + 1]);
        const uint32_t form = rng.below(100);
        if (form < 45) {
            s += kHex[hi], s += kHex[lo];
        } else if (form < 60) {
            s += kLower[hi], s += kLower[lo];
        } else if (form < 70) {
            s += kLower[hi], s += kHex[lo];
        } else if (form < 82) {
            if (hi != 0)
                s += kHex[hi];
            s += kLower[lo];
        } else if (form < 91) {
            s += "0x", s += kLower[hi], s += kLower[lo];
        } else {
            s += "0X", s += kHex[hi], s += kHex[lo];
        }
    }
    if (rng.chance(0.3))
        s += ' ';
    return s;
}

namespace {

// Identifiers a receiver also logs that are no image data.
constexpr int32_t kForeignIds[] = {0x7E, 0x00, 0xC2, 0x1F, 0xFF};

// A noise line of the given kind, built from a real frame line where it needs one.
std::string noise_line(NoiseLine& n, const std::string& frame, Random& rng) {
    switch (n.kind) {
    case NoiseLine::blank:
        return rng.chance(0.5) ? std::string() : std::string("   \t ");
    case NoiseLine::torn: {
        // Cut after the second token and before the payload's end: too few tokens are left.
        const size_t cut = 6 + rng.below(static_cast<uint32_t>(frame.size() / 3));
        return frame.substr(0, cut);
    }
    case NoiseLine::foreign:
        n.id = kForeignIds[rng.below(sizeof kForeignIds / sizeof kForeignIds[0])];
        std::string s = frame;
        s[0] = kHex[(n.id >> 4) & 0xF];
        s[1] = kHex[n.id & 0xF];
        return s;
    }
    return {};
}

// The system's reason for the failure that set `err` ("No space left on device"), or for an
// I/O error when the failure set none.
std::string reason(int err) {
    return std::strerror(err != 0 ? err : EIO);
}

// Closes `f`, written to `path` with `written` telling whether every write succeeded (the
// writes' errno still set when not). False, with "cannot write PATH: REASON" in `error`, when a
// write or the close (which writes what is buffered) failed.
bool close_written(std::FILE* f, bool written, const fs::path& path, std::string& error) {
    const int write_error = written ? 0 : errno;
    errno = 0;
    const bool closed = std::fclose(f) == 0;
    if (written && closed)
        return true;
    error = "cannot write " + path.string() + ": " + reason(written ? errno : write_error);
    return false;
}

// Creates the file `path` new (never over a file, never through a link) with `bytes`.
bool write_file(const fs::path& path, const std::string& bytes, std::string& error) {
    errno = 0;
    std::FILE* f = imgrebuild::open_exclusive(path.string().c_str());
    if (f == nullptr) {
        error = "cannot create " + path.string() + ": " + reason(errno);
        return false;
    }
    return close_written(f, std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size(), path,
                         error);
}

// Adds `lines` to the end of the list at `path` (made when there is none) by replacing the file
// with its old bytes and the new ones: never through a link, never anything but a regular file.
bool append_to_list(const fs::path& path, const std::string& lines, std::string& error) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(path, ec);
    std::string bytes;
    if (st.type() != fs::file_type::not_found) {
        if (st.type() != fs::file_type::regular) {
            error = path.string() + " is not a regular file; framesim writes no file through it";
            return false;
        }
        std::FILE* f = imgrebuild::open_input(path.string().c_str());
        if (f == nullptr) {
            error = "cannot read " + path.string() + ": " + reason(errno);
            return false;
        }
        const imgrebuild::FileGuard guard(f);
        char chunk[1 << 14];
        for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;)
            bytes.append(chunk, n);
        if (std::ferror(f) != 0) {
            error = "cannot read " + path.string() + ": " + reason(errno);
            return false;
        }
    }
    bytes += lines;
    if (imgrebuild::replace_file(path.string().c_str(), bytes.data(), bytes.size(), true, ec) !=
        imgrebuild::ReplaceStatus::ok) {
        error = "cannot write " + path.string() + ": " + ec.message();
        return false;
    }
    return true;
}

// A capture file held back to be written line by line, as a live pass would.
struct Pending {
    fs::path path;
    std::string text;
};

// One sending (a simulate or a resend): the random choices, and the captures it holds back for
// a live run. It goes with the call that made it, whether its files were written or not.
struct Sender {
    const Options& o;
    const std::vector<uint8_t>& image;
    Random rng;
    std::vector<Pending> pending;
    std::string dropped_list; // the lines of dropped.txt it adds

    // Starts `run` empty for the image.
    Sender(const Options& opts, const std::vector<uint8_t>& img, Run& run)
        : o(opts), image(img), rng(opts.seed) {
        run = Run{};
        run.imagesize = static_cast<int32_t>(img.size());
        run.SC_S = opts.SC_S;
    }
};

// Writes the held-back captures in order, one line at a time at about `rate` lines a second,
// each line flushed so that a reader sees it at once.
bool play(const std::vector<Pending>& pending, double rate, std::string& error) {
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    int64_t sent = 0;
    for (const Pending& p : pending) {
        errno = 0;
        std::FILE* f = imgrebuild::open_exclusive(p.path.string().c_str());
        if (f == nullptr) {
            error = "cannot create " + p.path.string() + ": " + reason(errno);
            return false;
        }
        bool ok = true;
        for (size_t from = 0; ok && from < p.text.size();) {
            const size_t lf = p.text.find('\n', from);
            const size_t to = lf == std::string::npos ? p.text.size() : lf + 1;
            std::this_thread::sleep_until(
                start + std::chrono::duration_cast<Clock::duration>(
                            std::chrono::duration<double>(static_cast<double>(sent) / rate)));
            ok = std::fwrite(p.text.data() + from, 1, to - from, f) == to - from &&
                 std::fflush(f) == 0;
            from = to;
            ++sent;
        }
        if (!close_written(f, ok, p.path, error))
            return false;
    }
    return true;
}

// Writes one pass over a range (or holds it back for a live run); returns the slots it dropped.
bool write_capture(Sender& sender, Capture& cap, const imgrebuild::RangeMath& math,
                   std::string& error) {
    const Options& o = sender.o;
    const std::vector<uint8_t>& image = sender.image;
    Random& rng = sender.rng;
    struct Sent {
        int32_t slot;
        int32_t counter;
    };
    std::vector<Sent> sent;
    for (int32_t pn = 0; pn < math.mcomsize; ++pn) {
        if (rng.chance(o.loss)) {
            cap.dropped.push_back(pn);
            continue;
        }
        int32_t counter = pn;
        if (o.wrap)
            counter += math.mcomsize * static_cast<int32_t>(rng.below(0xFFFFFF / math.mcomsize));
        sent.push_back({pn, counter});
        if (rng.chance(o.duplicates))
            sent.push_back({pn, counter});
    }
    for (size_t k = 0; k + 1 < sent.size(); ++k) {
        if (rng.chance(o.reorder))
            std::swap(sent[k], sent[std::min(sent.size() - 1, k + 1 + rng.below(8))]);
    }

    // The untidy style draws from its own sequence, so the frames sent stay those of the seed.
    Random style(o.seed ^ 0x5757E1EDull ^ (static_cast<uint64_t>(math.base) << 20));
    const char* eol = o.crlf || (o.varied && style.chance(0.3)) ? "\r\n" : "\n";
    std::string text;
    text.reserve(sent.size() * 600);
    int32_t line = 0;
    uint8_t data[kSlotBytes];
    for (const Sent& f : sent) {
        const int64_t start = imgrebuild::slot_offset(math, f.slot);
        for (int j = 0; j < kSlotBytes; ++j)
            data[j] = memory_byte(image, start + j);
        if (o.corrupt > 0 && rng.chance(o.corrupt)) {
            // One data byte changed on the way: the frame still reads as a sound one.
            data[rng.below(kSlotBytes)] ^= static_cast<uint8_t>(1 + rng.below(255));
            cap.corrupted.push_back(f.slot);
        }
        const std::string frame =
            frame_line(0xC0 + static_cast<int32_t>(rng.below(2)), f.counter, data);
        if (rng.chance(o.noise)) {
            NoiseLine n{++line, static_cast<NoiseLine::Kind>(rng.below(3)), 0};
            text += noise_line(n, frame, rng);
            text += eol;
            cap.noise.push_back(n);
        }
        text += o.varied ? restyle(frame, style) : frame;
        text += eol;
        ++line;
    }
    if (o.live > 0) {
        sender.pending.push_back({fs::path(o.out) / cap.name, std::move(text)});
        return true;
    }
    return write_file(fs::path(o.out) / cap.name, text, error);
}

// A line of dropped.txt: "name: slot slot ...".
std::string dropped_line(const Capture& cap) {
    std::string s = cap.name + ':';
    for (int32_t pn : cap.dropped)
        s += ' ' + std::to_string(pn);
    return s + "\n";
}

// Makes the folder opts.out and the folders it is in, unless out_fault refuses it.
bool make_out_dir(const Options& o, std::string& error) {
    error = out_fault(o.out);
    if (!error.empty())
        return false;
    std::error_code ec;
    fs::create_directories(o.out, ec);
    if (ec)
        error = "cannot create directory " + o.out + ": " + ec.message();
    return !ec;
}

} // namespace

std::string out_fault(const std::string& out) {
    fs::path made;
    std::error_code ec;
    for (const fs::path& part : fs::path(out)) {
        made /= part;
        if (fs::is_directory(made, ec))
            continue;
        const std::string name = part.string();
        if (companion::is_device_name(name))
            return "--out " + out + ": " + name +
                   " is a device name on Windows; name another folder";
    }
    return {};
}

bool simulate(const Options& o, const std::vector<uint8_t>& image, Run& run, std::string& error) {
    error = check_options(o);
    if (!error.empty())
        return false;
    if (image.size() > static_cast<size_t>(imgrebuild::kMaxImageSize)) {
        error = "the image is larger than " + std::to_string(imgrebuild::kMaxImageSize) + " bytes";
        return false;
    }
    if (!make_out_dir(o, error))
        return false;
    Sender sender(o, image, run);
    const int32_t pages = (run.imagesize + kPageBytes - 1) / kPageBytes;
    for (int32_t first = 0, index = 0; first < pages; first += o.pages_per_file, ++index) {
        const int32_t last = std::min(pages, first + o.pages_per_file) - 1;
        imgrebuild::PageRange range{};
        imgrebuild::range_of_pages(first, last, o.SC_S, range);
        imgrebuild::RangeMath math{};
        imgrebuild::compute_range(range, o.SC_S, math);
        std::vector<bool> received(static_cast<size_t>(math.mcomsize), false);
        for (int32_t pass = 1; pass <= o.passes; ++pass) {
            const bool lacking =
                std::find(received.begin(), received.end(), false) != received.end();
            if (pass > 1 && ((o.repeat == Repeat::lossy && !lacking) ||
                             (o.repeat == Repeat::half && index % 2 != 0)))
                break;
            Capture cap;
            cap.range = range;
            cap.name = imgrebuild::capture_name("pass" + std::to_string(pass), range);
            if (!write_capture(sender, cap, math, error))
                return false;
            std::vector<bool> got(received.size(), true);
            for (int32_t pn : cap.dropped)
                got[static_cast<size_t>(pn)] = false;
            for (size_t k = 0; k < received.size(); ++k)
                received[k] = received[k] || got[k];
            sender.dropped_list += dropped_line(cap);
            run.captures.push_back(std::move(cap));
        }
    }

    // Line 1 names a generated image, so that a resend can send it again; an image from a
    // file must be given again.
    std::vector<std::string> names;
    for (const Capture& c : run.captures)
        names.push_back(c.name);
    const imgrebuild::RunHead head{run.imagesize, static_cast<int32_t>(names.size()), run.SC_S};
    const std::string info = imgrebuild::description_text(imgrebuild::describe_run(
        o.image_file.empty() ? identity_line(o.seed, run.imagesize) : std::string(kFromAFile), head,
        std::move(names)));
    return write_file(fs::path(o.out) / imgrebuild::kRunInfoName, info, error) &&
           (o.live <= 0 || play(sender.pending, o.live, error)) &&
           write_file(fs::path(o.out) / kDroppedName, sender.dropped_list, error);
}

std::string identity_line(uint64_t seed, int32_t size) {
    return "framesim seed " + std::to_string(seed) + " imagesize " + std::to_string(size);
}

bool identity_of(const std::string& line, uint64_t& seed, int32_t& size) {
    static constexpr std::string_view kSeed = "framesim seed ", kSize = " imagesize ";
    const char* p = line.data();
    const char* const end = line.data() + line.size();
    if (line.compare(0, kSeed.size(), kSeed) != 0)
        return false;
    p += kSeed.size();
    uint64_t s = 0;
    auto [after_seed, seed_error] = std::from_chars(p, end, s);
    if (seed_error != std::errc() ||
        std::string_view(after_seed, static_cast<size_t>(end - after_seed))
                .compare(0, kSize.size(), kSize) != 0)
        return false;
    p = after_seed + kSize.size();
    int32_t n = -1;
    auto [after_size, size_error] = std::from_chars(p, end, n);
    if (size_error != std::errc() || after_size != end || !imgrebuild::imagesize_fits(n))
        return false;
    seed = s;
    size = n;
    return true;
}

bool run_image(const std::string& dir, uint64_t& seed, int32_t& size, std::string& error) {
    const std::string path = (fs::path(dir) / imgrebuild::kRunInfoName).string();
    std::FILE* f = imgrebuild::open_input(path.c_str());
    if (f == nullptr) {
        error = "cannot read " + path + " to find the image of the run (give it with --image)";
        return false;
    }
    const imgrebuild::FileGuard guard(f);
    imgrebuild::RunDescription d;
    imgrebuild::read_description(f, d, imgrebuild::NameLines::listed);
    const std::string& line = d.head_lines[0];
    if (identity_of(line, seed, size))
        return true;
    if (line.compare(0, kFromAFile.size(), kFromAFile) == 0)
        error = "the run in " + dir + " was sent from an image file: give it with --image";
    else
        error = "line 1 of " + path +
                " is not framesim's, so the image of the run is unknown: give it with --image";
    return false;
}

bool run_head(const std::string& dir, imgrebuild::RunHead& head, bool& described,
              std::string& error) {
    const fs::path path = fs::path(dir) / imgrebuild::kRunInfoName;
    std::error_code ec;
    described = false;
    if (!fs::exists(fs::symlink_status(path, ec)))
        return true;
    std::FILE* f = imgrebuild::open_input(path.string().c_str());
    if (f == nullptr) {
        error = "cannot read " + path.string() + " for the run's SC_S: " + std::strerror(errno);
        return false;
    }
    const imgrebuild::FileGuard guard(f);
    imgrebuild::RunDescription d;
    const imgrebuild::DescriptionRead read =
        imgrebuild::read_description(f, d, imgrebuild::NameLines::listed);
    if (read.status == imgrebuild::HeadStatus::read_error) {
        error = "cannot read " + path.string() + " for the run's SC_S";
        return false;
    }
    described = read.status == imgrebuild::HeadStatus::ok;
    head = d.head;
    return true;
}

bool resend(const Options& o, const std::vector<uint8_t>& image, const std::vector<Resend>& plan,
            Run& run, std::string& error) {
    error = check_options(o);
    if (!error.empty() || !make_out_dir(o, error))
        return false;
    Sender sender(o, image, run);
    for (const Resend& r : plan) {
        imgrebuild::RangeMath math{};
        if (!imgrebuild::compute_range(r.range, o.SC_S, math)) {
            error = "the plan's range for " + r.name + " has fewer than 1 or more than " +
                    std::to_string(imgrebuild::kMaxPages) + " pages";
            return false;
        }
        Capture cap;
        cap.range = r.range;
        cap.name = r.name;
        if (!write_capture(sender, cap, math, error))
            return false;
        sender.dropped_list += dropped_line(cap);
        run.captures.push_back(std::move(cap));
    }
    return (o.live <= 0 || play(sender.pending, o.live, error)) &&
           append_to_list(fs::path(o.out) / kDroppedName, sender.dropped_list, error);
}

} // namespace framesim
