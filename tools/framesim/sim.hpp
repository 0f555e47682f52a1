// framesim: the sender's side. Cuts an image into page ranges, sends each range's slots as
// frame lines the way a receiving station writes them, loses some, and records what it did.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "capture/range.hpp"
#include "common/plan_file.hpp"
#include "limits.hpp"
#include "run/run_info.hpp"

namespace framesim {

// The file of a run that lists the slots each capture lost: "name: slot slot ...".
inline constexpr const char* kDroppedName = "dropped.txt";

// Which ranges are received again after their first pass.
enum class Repeat {
    lossy, // ranges whose passes so far left a slot missing
    all,   // every range
    half,  // every other range: the first, the third, ...
};

struct Options {
    std::string out = "run";       // directory to write the run into (made if missing)
    std::string image_file;        // image to send; empty: a generated one of image_size bytes
    int32_t image_size = 65536;    // size of the generated image
    int32_t SC_S = 5;              // block whose first byte is image offset 0
    int32_t pages_per_file = 64;   // pages per capture file (the last may have fewer)
    int32_t passes = 1;            // most receptions of one range, one right after another
    Repeat repeat = Repeat::lossy; // which ranges get the passes after the first
    double loss = 0.02;            // chance that a slot's frame is lost in a pass
    double duplicates = 0.0;       // chance that a frame is received twice
    double reorder = 0.0;          // chance that a frame swaps places with a later one
    double noise = 0.0;            // chance of a noise line before a frame line
    double corrupt = 0.0;          // chance that a frame sent carries one data byte changed
    bool crlf = false;             // end lines with CR LF
    bool wrap = false;             // counters run past mcomsize and wrap round
    // Write tokens the untidy ways some station software does (mixed case, one digit, 0x and
    // 0X prefixes, runs of spaces, a trailing space, CR LF in some files); the frames decode
    // the same.
    bool varied = false;
    uint64_t seed = 1; // the same seed gives the same run
    // Frames a second: write file_info.txt first, then the captures line by line at about this
    // rate, as a pass that is being received (0: all at once).
    double live = 0;
};

// A line that is no sound frame, and what the rebuild tool says of it.
struct NoiseLine {
    enum Kind { blank, torn, foreign };
    int32_t line; // line number in its capture file, from 1
    Kind kind;
    int32_t id; // the identifier of a foreign line
};

// One capture file as written.
struct Capture {
    std::string name;
    imgrebuild::PageRange range;
    std::vector<int32_t> dropped;   // slots no frame of this file carries, increasing
    std::vector<NoiseLine> noise;   // in line order
    std::vector<int32_t> corrupted; // slots of the frames sent with a data byte changed
};

struct Run {
    int32_t imagesize = 0;
    int32_t SC_S = 0;
    std::vector<Capture> captures; // in the order file_info.txt lists them
};

// Deterministic pseudo-random numbers (splitmix64), the same on every platform.
class Random {
  public:
    explicit Random(uint64_t seed) : state_(seed) {}
    uint64_t next();
    // A number in [0, n).
    uint32_t below(uint32_t n) { return static_cast<uint32_t>(next() % n); }
    // True with probability p.
    bool chance(double p) { return static_cast<double>(next() >> 11) * 0x1p-53 < p; }

  private:
    uint64_t state_;
};

// An image of `size` bytes of pseudo-random data.
std::vector<uint8_t> generated_image(int32_t size, uint64_t seed);

// The byte the sender sends from image offset `offset`: the image, and 0x00 past its end.
inline uint8_t memory_byte(const std::vector<uint8_t>& image, int64_t offset) {
    return offset >= 0 && offset < static_cast<int64_t>(image.size())
               ? image[static_cast<size_t>(offset)]
               : 0x00;
}

// One frame line, without its line end: identifier, 18 header tokens, and the escaped
// payload (counter, a spare byte, the 163 data bytes, a check byte) as two-digit hex tokens.
std::string frame_line(int32_t id, int32_t counter, const uint8_t* data);

// The same frame line written the untidy way: each token in one of the forms that read as
// the same number, separated by one or more spaces, sometimes with a space at the end.
std::string restyle(const std::string& tidy, Random& rng);

// Why framesim may not write into the folder `out`, or an empty string: a folder of it that is
// not there yet, and that framesim would make, has a name Windows keeps for a device
// (is_device_name), where the run would go into the device. A folder that is there is used.
std::string out_fault(const std::string& out);

// Writes file_info.txt, the capture files and dropped.txt into opts.out and fills `run`.
// On failure returns false with a message in `error`.
bool simulate(const Options& opts, const std::vector<uint8_t>& image, Run& run, std::string& error);

// One page range to send again: a request of a plan file.
using Resend = companion::Request;

// Sends only the planned ranges, one capture each under its name in opts.out, and appends
// what each lost to dropped.txt. Writes no file_info.txt.
bool resend(const Options& opts, const std::vector<uint8_t>& image, const std::vector<Resend>& plan,
            Run& run, std::string& error);

// The image a run in `dir` was made from, as line 1 of framesim's file_info.txt names it
// ("framesim seed N imagesize M"): false, with a message, when there is none or line 1 is
// not framesim's.
bool run_image(const std::string& dir, uint64_t& seed, int32_t& size, std::string& error);

// The head of the run description in `dir`, which a resend places its ranges by: `described`
// false when there is none or its head is not one the rebuild reads (the resend then takes
// --sc-s); false, with a message, when it cannot be read.
bool run_head(const std::string& dir, imgrebuild::RunHead& head, bool& described,
              std::string& error);

// Line 1 of the file_info.txt framesim writes: the image's identity,
// "framesim seed N imagesize M".
std::string identity_line(uint64_t seed, int32_t size);

// Reads an identity line back: false when `line` is not one, or its size is no image size.
bool identity_of(const std::string& line, uint64_t& seed, int32_t& size);

// The values a numeric option takes: the one table of them, which the command line and
// check_options both use.
template <typename T> struct Bound {
    const char* option; // as the command line spells it
    T Options::*field;
    T lo, hi; // both allowed
};
inline constexpr Bound<int32_t> kCountBounds[] = {
    {"--image-size", &Options::image_size, 0, imgrebuild::kMaxImageSize},
    {"--sc-s", &Options::SC_S, -1000000, 1000000},
    {"--pages-per-file", &Options::pages_per_file, 1, imgrebuild::kMaxPages},
    {"--passes", &Options::passes, 1, 9},
};
inline constexpr Bound<double> kRateBounds[] = {
    {"--loss", &Options::loss, 0.0, 1.0},       {"--duplicates", &Options::duplicates, 0.0, 1.0},
    {"--reorder", &Options::reorder, 0.0, 1.0}, {"--noise", &Options::noise, 0.0, 1.0},
    {"--corrupt", &Options::corrupt, 0.0, 1.0}, {"--live", &Options::live, 0.001, 1e9},
};

// The row of `option` in `table`; the first row when there is none (a programming error
// the help test would show).
template <typename T, size_t N>
constexpr const Bound<T>& bound_of(const Bound<T> (&table)[N], std::string_view option) {
    for (const Bound<T>& b : table) {
        if (std::string_view(b.option) == option)
            return b;
    }
    return table[0];
}

// Checks the options against the table (--live may also be 0: all at once); returns an empty
// string or what is wrong: "--passes must be 1 to 9".
std::string check_options(const Options& opts);

} // namespace framesim
