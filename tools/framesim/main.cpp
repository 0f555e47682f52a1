// framesim: writes a simulated reception of an image as a working directory for imgrebuild.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "sim.hpp"

namespace {

const char kUsage[] =
    "usage: framesim [options] --out DIR\n"
    "\n"
    "Sends an image as numbered frames and writes what a ground station would have received:\n"
    "file_info.txt, one capture file per pass over each page range (named by the range), and\n"
    "dropped.txt, the slots each capture file lost. Run imgrebuild in DIR to rebuild the image.\n"
    "\n"
    "options:\n"
    "  --out DIR             directory to write the run into, made if missing (default run)\n"
    "  --image FILE          image to send, as raw bytes (at most 23998976)\n"
    "  --image-size N        without --image: size of a generated pseudo-random image\n"
    "                        (default 65536)\n"
    "  --save-image FILE     also write the image that was sent to FILE\n"
    "  --sc-s N              block whose first byte is image offset 0 (default 5)\n"
    "  --pages-per-file N    pages (256 bytes) per capture file, 1 to 12734 (default 64)\n"
    "  --passes N            receptions of one range, one right after another, so that the\n"
    "                        rebuild merges them; 1 to 9 (default 1)\n"
    "  --repeat WHICH        ranges that get the passes after the first: lossy (those still\n"
    "                        missing a slot), all, or half (every other range); default lossy\n"
    "  --loss RATE           chance that a frame is lost, 0 to 1 (default 0.02)\n"
    "  --duplicates RATE     chance that a frame is received twice (default 0)\n"
    "  --reorder RATE        chance that a frame swaps places with one of the next eight\n"
    "                        (default 0)\n"
    "  --noise RATE          chance of a noise line before a frame: blank, torn, or with an\n"
    "                        identifier that is no image data (default 0)\n"
    "  --crlf                end lines with CR LF instead of LF\n"
    "  --wrap                let frame counters run past the slot count and wrap round\n"
    "  --style STYLE         tidy (two upper-case digits and one space a token; the default)\n"
    "                        or varied (mixed case, one digit, 0x and 0X prefixes, runs of\n"
    "                        spaces, trailing spaces, CR LF in some files: the same frames)\n"
    "  --seed N              seed of the pseudo-random choices; the same seed gives the same\n"
    "                        run (default 1)\n"
    "  --max                 the largest run the rebuild allows: a generated image of 23998976\n"
    "                        bytes, 12734 pages per file, every other range received twice\n"
    "                        (options after it still apply)\n"
    "  --live FPS            write file_info.txt first, then the captures line by line at\n"
    "                        about FPS lines a second, each line flushed: a pass to watch\n"
    "  --ranges FILE         send only the requests of a plan file (imgcover --plan: one\n"
    "                        'SSC SP ESC EP NAME' a line), one capture each under its NAME;\n"
    "                        writes no file_info.txt and appends to dropped.txt\n"
    "  --help                show this help\n";

int usage_error(const std::string& message) {
    std::fprintf(stderr, "framesim: %s\n(try framesim --help)\n", message.c_str());
    return 2;
}

bool parse_long(const std::string& text, long long low, long long high, long long& value) {
    if (text.empty())
        return false;
    errno = 0;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return errno == 0 && *end == '\0' && value >= low && value <= high;
}

bool parse_rate(const std::string& text, double& value) {
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return *end == '\0' && value >= 0.0 && value <= 1.0;
}

bool read_image(const std::string& path, std::vector<uint8_t>& image) {
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr)
        return false;
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0 && image.size() <= 23998976)
        image.insert(image.end(), buf, buf + n);
    const bool ok = std::ferror(f) == 0;
    std::fclose(f);
    return ok;
}

} // namespace

int main(int argc, char** argv) {
    framesim::Options o;
    std::string save_image, ranges;
    for (int k = 1; k < argc; ++k) {
        std::string arg = argv[k];
        std::string value;
        bool has_value = false;
        if (const size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = arg.substr(eq + 1);
            arg = arg.substr(0, eq);
            has_value = true;
        }
        auto take = [&](std::string& out) {
            if (!has_value) {
                if (k + 1 >= argc)
                    return false;
                value = argv[++k];
            }
            out = value;
            return true;
        };
        auto flag = [&]() { return !has_value; };
        std::string v;
        long long n = 0;
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--out" || arg == "--image" || arg == "--save-image" ||
                   arg == "--ranges") {
            if (!take(v) || v.empty())
                return usage_error(arg + " needs a path");
            (arg == "--out"      ? o.out
             : arg == "--image"  ? o.image_file
             : arg == "--ranges" ? ranges
                                 : save_image) = v;
        } else if (arg == "--image-size" || arg == "--sc-s" || arg == "--pages-per-file" ||
                   arg == "--passes") {
            if (!take(v) || !parse_long(v, INT32_MIN, INT32_MAX, n))
                return usage_error(arg + " needs a whole number");
            (arg == "--image-size"       ? o.image_size
             : arg == "--sc-s"           ? o.SC_S
             : arg == "--pages-per-file" ? o.pages_per_file
                                         : o.passes) = static_cast<int32_t>(n);
        } else if (arg == "--seed") {
            if (!take(v) || !parse_long(v, 0, INT64_MAX, n))
                return usage_error("--seed needs a whole number of 0 or more");
            o.seed = static_cast<uint64_t>(n);
        } else if (arg == "--loss" || arg == "--duplicates" || arg == "--reorder" ||
                   arg == "--noise") {
            double rate = 0;
            if (!take(v) || !parse_rate(v, rate))
                return usage_error(arg + " needs a rate from 0 to 1");
            (arg == "--loss"         ? o.loss
             : arg == "--duplicates" ? o.duplicates
             : arg == "--reorder"    ? o.reorder
                                     : o.noise) = rate;
        } else if (arg == "--live") {
            if (!take(v) || (o.live = std::strtod(v.c_str(), nullptr), !(o.live > 0)))
                return usage_error("--live needs a number of frames a second above 0");
        } else if (arg == "--repeat") {
            if (!take(v))
                return usage_error("--repeat needs lossy, all or half");
            if (v == "lossy")
                o.repeat = framesim::Repeat::lossy;
            else if (v == "all")
                o.repeat = framesim::Repeat::all;
            else if (v == "half")
                o.repeat = framesim::Repeat::half;
            else
                return usage_error("--repeat needs lossy, all or half, not '" + v + "'");
        } else if (arg == "--style") {
            if (!take(v) || (v != "tidy" && v != "varied"))
                return usage_error("--style needs tidy or varied");
            o.varied = v == "varied";
        } else if (arg == "--crlf" && flag()) {
            o.crlf = true;
        } else if (arg == "--wrap" && flag()) {
            o.wrap = true;
        } else if (arg == "--max" && flag()) {
            o.image_file.clear();
            o.image_size = 23998976;
            o.pages_per_file = 12734;
            o.passes = 2;
            o.repeat = framesim::Repeat::half;
        } else {
            return usage_error("unknown option '" + std::string(argv[k]) + "'");
        }
    }
    if (const std::string problem = framesim::check_options(o); !problem.empty())
        return usage_error(problem);

    std::vector<uint8_t> image;
    if (o.image_file.empty()) {
        image = framesim::generated_image(o.image_size, o.seed);
    } else if (!read_image(o.image_file, image)) {
        std::fprintf(stderr, "framesim: cannot read %s\n", o.image_file.c_str());
        return 2;
    }
    framesim::Run run;
    std::string error;
    std::vector<framesim::Resend> plan;
    if (!ranges.empty() && !framesim::read_plan(ranges, plan, error)) {
        std::fprintf(stderr, "framesim: %s\n", error.c_str());
        return 2;
    }
    if (!(ranges.empty() ? framesim::simulate(o, image, run, error)
                         : framesim::resend(o, image, plan, run, error))) {
        std::fprintf(stderr, "framesim: %s\n", error.c_str());
        return 2;
    }
    if (!save_image.empty()) {
        std::FILE* f = std::fopen(save_image.c_str(), "wb");
        const bool ok =
            f != nullptr && std::fwrite(image.data(), 1, image.size(), f) == image.size();
        if (f == nullptr || std::fclose(f) != 0 || !ok) {
            std::fprintf(stderr, "framesim: cannot write %s\n", save_image.c_str());
            return 2;
        }
    }
    size_t dropped = 0;
    for (const framesim::Capture& c : run.captures)
        dropped += c.dropped.size();
    std::printf("framesim: %zu capture files in %s, %zu frames dropped\n", run.captures.size(),
                o.out.c_str(), dropped);
    return 0;
}
