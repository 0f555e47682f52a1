// framesim: writes a simulated reception of an image as a working directory for imgrebuild.
//
// The story: read the command line; take the image (a file, or one generated from the seed);
// make sure the output folder holds no other run (or, with --force, clear the old run's files
// away); send every range, or only a plan's requests, losing and mangling frames as asked;
// say what was written. Exit 0 when written, 1 when a file could not be read or written, 2 for
// a bad command line.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.hpp"

#include "limits.hpp"
#include "platform.hpp"
#include "sim.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int kWritten = 0, kFailed = 1, kUsage = 2;

int failure(const std::string& message, int status) {
    std::fprintf(stderr, "framesim: %s\n", message.c_str());
    return status;
}

// Reads the command line into `o`; nothing to go on, else the exit status.
cli::ExitNow parse_options(int argc, char** argv, framesim::Options& o, std::string& save_image,
                           std::string& ranges, bool& force) {
    CLI::App app{"Sends an image as numbered frames and writes what a ground station would have\n"
                 "received: file_info.txt, one capture file per pass over each page range\n"
                 "(named by the range), and dropped.txt, the slots each capture file lost.\n"
                 "Run imgrebuild in DIR to rebuild the image.",
                 "framesim"};
    cli::conventions(app, "framesim");
    app.get_formatter()->column_width(26);
    std::string repeat = "lossy", style = "tidy";
    bool max = false;
    app.add_option("--out", o.out, "directory to write the run into, made if missing (default run)")
        ->type_name("DIR");
    const std::string max_image = std::to_string(imgrebuild::kMaxImageSize);
    const std::string max_pages = std::to_string(imgrebuild::kMaxPages);
    app.add_option("--image", o.image_file,
                   "image to send, as raw bytes (at most " + max_image + ")")
        ->type_name("FILE");
    app.add_option("--image-size", o.image_size,
                   "without --image: size of a generated pseudo-random image (default 65536)")
        ->type_name("N")
        ->check(CLI::Range(0, imgrebuild::kMaxImageSize));
    app.add_option("--save-image", save_image, "also write the image that was sent to FILE")
        ->type_name("FILE");
    app.add_option("--sc-s", o.SC_S, "block whose first byte is image offset 0 (default 5)")
        ->type_name("N")
        ->check(CLI::Range(-1000000, 1000000));
    app.add_option("--pages-per-file", o.pages_per_file,
                   "pages (" + std::to_string(imgrebuild::kPageBytes) +
                       " bytes) per capture file, 1 to " + max_pages + " (default 64)")
        ->type_name("N")
        ->check(CLI::Range(1, imgrebuild::kMaxPages));
    app.add_option("--passes", o.passes,
                   "receptions of one range, one right after another, so that the rebuild merges "
                   "them; 1 to 9 (default 1)")
        ->type_name("N")
        ->check(CLI::Range(1, 9));
    app.add_option("--repeat", repeat,
                   "ranges that get the passes after the first: lossy (those still missing a "
                   "slot), all, or half (every other range); default lossy")
        ->type_name("WHICH")
        ->check(CLI::IsMember({"lossy", "all", "half"}));
    app.add_option("--loss", o.loss, "chance that a frame is lost, 0 to 1 (default 0.02)")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--duplicates", o.duplicates,
                   "chance that a frame is received twice (default 0)")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--reorder", o.reorder,
                   "chance that a frame swaps places with one of the next eight (default 0)")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--noise", o.noise,
                   "chance of a noise line before a frame: blank, torn, or with an identifier "
                   "that is no image data (default 0)")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--corrupt", o.corrupt,
                   "chance that a frame carries one data byte changed, which no line rule can "
                   "see (default 0)")
        ->type_name("RATE")
        ->check(CLI::Range(0.0, 1.0));
    app.add_flag("--crlf", o.crlf, "end lines with CR LF instead of LF");
    app.add_flag("--wrap", o.wrap, "let frame counters run past the slot count and wrap round");
    app.add_option("--style", style,
                   "tidy (two upper-case digits and one space a token; the default) or varied "
                   "(mixed case, one digit, 0x and 0X prefixes, runs of spaces, trailing spaces, "
                   "CR LF in some files: the same frames)")
        ->type_name("STYLE")
        ->check(CLI::IsMember({"tidy", "varied"}));
    app.add_option("--live", o.live,
                   "write file_info.txt first, then the captures line by line at about FPS lines "
                   "a second, each line flushed: a pass to watch")
        ->type_name("FPS")
        ->check(CLI::Range(0.001, 1e9));
    app.add_option("--ranges", ranges,
                   "send only the requests of a plan file (imgcover --plan: one 'SSC SP ESC EP "
                   "NAME' a line), one capture each under its NAME; writes no file_info.txt and "
                   "appends to dropped.txt. Sends the image of the run in DIR (line 1 of "
                   "framesim's file_info.txt) unless --image names one; --seed then draws only "
                   "the losses and noise")
        ->type_name("FILE");
    app.add_option("--seed", o.seed,
                   "seed of the pseudo-random choices; the same seed gives the same run "
                   "(default 1)")
        ->type_name("N");
    app.add_flag("--max", max,
                 "the largest run the rebuild allows: a generated image of " + max_image +
                     " bytes, " + max_pages +
                     " pages per file, every other range received twice (other options still "
                     "apply)");
    app.add_flag("--force", force,
                 "write into a folder that already holds a run, removing that run's files first");
    if (const cli::ExitNow status = cli::parse(app, argc, argv, "framesim"))
        return status;
    if (o.out.empty())
        return failure("--out needs a directory\n(try framesim --help)", kUsage);
    if (max) {
        o.image_file.clear();
        o.image_size = imgrebuild::kMaxImageSize;
        if (app.count("--pages-per-file") == 0)
            o.pages_per_file = imgrebuild::kMaxPages;
        if (app.count("--passes") == 0)
            o.passes = 2;
        if (app.count("--repeat") == 0)
            repeat = "half";
    }
    o.repeat = repeat == "all"    ? framesim::Repeat::all
               : repeat == "half" ? framesim::Repeat::half
                                  : framesim::Repeat::lossy;
    o.varied = style == "varied";
    return std::nullopt;
}

bool read_image(const std::string& path, std::vector<uint8_t>& image) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    image.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The names a run description lists, and the description itself.
std::set<std::string> files_of_run(const fs::path& dir) {
    std::set<std::string> names = {"file_info.txt", "dropped.txt"};
    std::ifstream info(dir / "file_info.txt", std::ios::binary);
    std::string line;
    for (int n = 1; std::getline(info, line); ++n) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        if (n > 4 && !line.empty())
            names.insert(line);
    }
    return names;
}

// A folder that holds a run is written into only with --force, and then that run's files go
// first, so that no capture of another run is left to mislead a rebuild. A resend adds to a run,
// but overwrites none of its captures without --force.
// Nothing to go on, else the exit status.
cli::ExitNow prepare_out(const framesim::Options& o, const std::vector<framesim::Resend>& plan,
                         bool force) {
    const fs::path dir(o.out);
    std::error_code ec;
    if (!fs::exists(dir / "file_info.txt", ec) && !fs::exists(dir / "dropped.txt", ec))
        return std::nullopt;
    if (!plan.empty()) {
        for (const framesim::Resend& r : plan) {
            if (!force && fs::exists(dir / r.name, ec))
                return failure(r.name + " is already in " + o.out +
                                   " (use another --prefix in imgcover, or --force)",
                               kUsage);
        }
        return std::nullopt;
    }
    if (!force)
        return failure(o.out + " already holds a run (use --force to replace it)", kUsage);
    for (const std::string& name : files_of_run(dir)) {
        if (name.find('/') == std::string::npos && name.find('\\') == std::string::npos)
            fs::remove(dir / name, ec);
    }
    return std::nullopt;
}

// Nothing to go on, else the exit status.
cli::ExitNow write_image(const std::string& path, const std::vector<uint8_t>& image) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    const bool ok = f != nullptr && std::fwrite(image.data(), 1, image.size(), f) == image.size();
    if (f == nullptr || std::fclose(f) != 0 || !ok)
        return failure("cannot write " + path, kFailed);
    return std::nullopt;
}

std::string counted(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

} // namespace

int main(int argc, char** argv) {
    imgrebuild::binary_stdout();
    framesim::Options o;
    std::string save_image, ranges;
    bool force = false;
    if (const cli::ExitNow status = parse_options(argc, argv, o, save_image, ranges, force))
        return *status;

    std::vector<uint8_t> image;
    std::string error;
    if (o.image_file.empty() && !ranges.empty()) {
        // A resend sends the image of the run it adds to, never another one.
        uint64_t seed = 0;
        int32_t size = 0;
        if (!framesim::run_image(o.out, seed, size, error))
            return failure(error, kUsage);
        image = framesim::generated_image(size, seed);
    } else if (o.image_file.empty())
        image = framesim::generated_image(o.image_size, o.seed);
    else if (!read_image(o.image_file, image))
        return failure("cannot read " + o.image_file, kFailed);
    if (image.size() > static_cast<size_t>(imgrebuild::kMaxImageSize))
        return failure(o.image_file + " is larger than " +
                           std::to_string(imgrebuild::kMaxImageSize) + " bytes",
                       kFailed);

    std::vector<framesim::Resend> plan;
    if (!ranges.empty() && !framesim::read_plan(ranges, plan, error))
        return failure(error, kFailed);
    if (!ranges.empty() && plan.empty()) {
        std::printf("framesim: the plan %s asks for nothing\n", ranges.c_str());
        return kWritten;
    }
    if (const cli::ExitNow status = prepare_out(o, plan, force))
        return *status;

    framesim::Run run;
    if (!(ranges.empty() ? framesim::simulate(o, image, run, error)
                         : framesim::resend(o, image, plan, run, error)))
        return failure(error, kFailed);
    if (!save_image.empty()) {
        if (const cli::ExitNow status = write_image(save_image, image))
            return *status;
    }
    size_t dropped = 0;
    for (const framesim::Capture& c : run.captures)
        dropped += c.dropped.size();
    std::printf("framesim: %s in %s, %s dropped\n",
                counted(run.captures.size(), "capture file", "capture files").c_str(),
                o.out.c_str(), counted(dropped, "frame", "frames").c_str());
    return kWritten;
}
