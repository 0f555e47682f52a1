// framesim: writes a simulated reception of an image as a working directory for imgrebuild.
//
// The story: read the command line; take the image (a file, or one generated from the seed);
// make sure the output folder holds no other run (or, with --force, clear the old run's files
// away); send every range, or only a plan's requests, losing and mangling frames as asked;
// say what was written. Exit 0 when written (or when a plan asks for nothing); 1 when a file
// could not be read, written or removed, or a plan has a bad line; 2 for a bad command line, a
// folder that holds a run or a planned name already (without --force), a resend whose image is
// unknown, standard output that cannot be written, or too little memory.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.hpp"

#include "capture/input_file.hpp"
#include "common/names.hpp"
#include "common/plan_file.hpp"
#include "image/replace_file.hpp"
#include "limits.hpp"
#include "platform.hpp"
#include "run/run_info.hpp"
#include "sim.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int kWritten = 0, kFailed = 1, kUsage = 2;

int failure(const std::string& message, int status) {
    std::fprintf(stderr, "framesim: %s\n", message.c_str());
    return status;
}

// The check of an option's values, from the table of bounds.
template <typename T, size_t N>
CLI::Validator within(const framesim::Bound<T> (&table)[N], const char* option) {
    const framesim::Bound<T>& b = framesim::bound_of(table, option);
    return cli::between(b.lo, b.hi);
}

// Reads the command line into `o`; nothing to go on, else the exit status.
cli::ExitNow parse_options(int argc, char** argv, framesim::Options& o, std::string& save_image,
                           std::string& ranges, bool& force, bool& sc_s_given) {
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
        ->check(within(framesim::kCountBounds, "--image-size"));
    app.add_option("--save-image", save_image, "also write the image that was sent to FILE")
        ->type_name("FILE");
    app.add_option("--sc-s", o.SC_S, "block whose first byte is image offset 0 (default 5)")
        ->type_name("N")
        ->check(within(framesim::kCountBounds, "--sc-s"));
    app.add_option("--pages-per-file", o.pages_per_file,
                   "pages (" + std::to_string(imgrebuild::kPageBytes) +
                       " bytes) per capture file, 1 to " + max_pages + " (default 64)")
        ->type_name("N")
        ->check(within(framesim::kCountBounds, "--pages-per-file"));
    app.add_option("--passes", o.passes,
                   "receptions of one range, one right after another, so that the rebuild merges "
                   "them; 1 to 9 (default 1)")
        ->type_name("N")
        ->check(within(framesim::kCountBounds, "--passes"));
    app.add_option("--repeat", repeat,
                   "ranges that get the passes after the first: lossy (those still missing a "
                   "slot), all, or half (every other range); default lossy")
        ->type_name("WHICH")
        ->check(CLI::IsMember({"lossy", "all", "half"}));
    app.add_option("--loss", o.loss, "chance that a frame is lost, 0 to 1 (default 0.02)")
        ->type_name("RATE")
        ->check(within(framesim::kRateBounds, "--loss"));
    app.add_option("--duplicates", o.duplicates,
                   "chance that a frame is received twice (default 0)")
        ->type_name("RATE")
        ->check(within(framesim::kRateBounds, "--duplicates"));
    app.add_option("--reorder", o.reorder,
                   "chance that a frame swaps places with one of the next eight (default 0)")
        ->type_name("RATE")
        ->check(within(framesim::kRateBounds, "--reorder"));
    app.add_option("--noise", o.noise,
                   "chance of a noise line before a frame: blank, torn, or with an identifier "
                   "that is no image data (default 0)")
        ->type_name("RATE")
        ->check(within(framesim::kRateBounds, "--noise"));
    app.add_option("--corrupt", o.corrupt,
                   "chance that a frame carries one data byte changed, which no line rule can "
                   "see (default 0)")
        ->type_name("RATE")
        ->check(within(framesim::kRateBounds, "--corrupt"));
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
        ->check(within(framesim::kRateBounds, "--live"));
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
    if (const std::string fault = framesim::out_fault(o.out); !fault.empty())
        return failure(fault, kUsage);
    sc_s_given = app.count("--sc-s") > 0;
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

// Reads a whole image file. False with the reason in `error`.
bool read_image(const std::string& path, std::vector<uint8_t>& image, std::string& error) {
    errno = 0;
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        error = "cannot read " + path + ": " + std::strerror(errno);
        return false;
    }
    const imgrebuild::FileGuard guard(f);
    image.clear();
    unsigned char chunk[1 << 16];
    for (size_t n; (n = std::fread(chunk, 1, sizeof chunk, f)) > 0;) {
        image.insert(image.end(), chunk, chunk + n);
        if (image.size() > static_cast<size_t>(imgrebuild::kMaxImageSize)) {
            error =
                path + " is larger than " + std::to_string(imgrebuild::kMaxImageSize) + " bytes";
            return false;
        }
    }
    if (std::ferror(f) != 0) {
        error = "cannot read " + path + ": " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return true;
}

// The names a run description lists (every line after its head, also past `numfile`, so that
// no listed capture of an old run is left behind), with their line numbers; plus the
// description itself and the dropped list.
std::vector<std::pair<std::string, int64_t>> files_of_run(const fs::path& dir) {
    std::vector<std::pair<std::string, int64_t>> names = {{imgrebuild::kRunInfoName, 0},
                                                          {framesim::kDroppedName, 0}};
    std::FILE* f = imgrebuild::open_input((dir / imgrebuild::kRunInfoName).string().c_str());
    if (f == nullptr)
        return names;
    const imgrebuild::FileGuard guard(f);
    imgrebuild::RunDescription d;
    imgrebuild::read_description(f, d, imgrebuild::NameLines::all);
    for (size_t k = 0; k < d.names.size(); ++k) {
        if (!d.names[k].empty())
            names.emplace_back(d.names[k], imgrebuild::kHeadLines + 1 + static_cast<int64_t>(k));
    }
    return names;
}

// Refuses anything but a regular file (or nothing) under a name framesim writes: a link, a
// folder, a device. Nothing to go on, else the exit status.
cli::ExitNow refuse_unless_file(const fs::path& path) {
    std::error_code ec;
    const fs::file_type type = fs::symlink_status(path, ec).type();
    if (type == fs::file_type::not_found || type == fs::file_type::regular)
        return std::nullopt;
    return failure(path.string() + " is not a regular file; framesim writes no file through it",
                   kUsage);
}

// A folder that holds a run is written into only with --force, and then that run's files go
// first, so that no capture of another run is left to mislead a rebuild. A resend adds to a run,
// but overwrites none of its captures without --force. Only regular files with plain names in
// the folder are ever removed: a name line is data, never a place outside the folder.
// Nothing to go on, else the exit status.
cli::ExitNow prepare_out(const framesim::Options& o, const std::vector<framesim::Resend>& plan,
                         bool force) {
    const fs::path dir(o.out);
    std::error_code ec;
    if (!plan.empty()) {
        // Every planned name is checked before any file is touched.
        for (const framesim::Resend& r : plan) {
            const fs::file_status st = fs::symlink_status(dir / r.name, ec);
            if (st.type() == fs::file_type::not_found)
                continue;
            if (!force)
                return failure(r.name + " is already in " + o.out +
                                   " (use another --prefix in imgcover, or --force)",
                               kUsage);
            if (st.type() != fs::file_type::regular)
                return failure(r.name + " in " + o.out +
                                   " is not a regular file; --force replaces only files",
                               kUsage);
        }
        if (const cli::ExitNow status = refuse_unless_file(dir / framesim::kDroppedName))
            return status;
        for (const framesim::Resend& r : plan) {
            if (fs::is_regular_file(fs::symlink_status(dir / r.name, ec)) &&
                !fs::remove(dir / r.name, ec))
                return failure("cannot remove " + (dir / r.name).string() + ": " + ec.message(),
                               kFailed);
        }
        return std::nullopt;
    }
    if (!fs::exists(fs::symlink_status(dir / imgrebuild::kRunInfoName, ec)) &&
        !fs::exists(fs::symlink_status(dir / framesim::kDroppedName, ec)))
        return std::nullopt;
    if (!force)
        return failure(o.out + " already holds a run (use --force to replace it)", kUsage);
    for (const auto& [name, line] : files_of_run(dir)) {
        if (const char* fault = companion::name_fault(name)) {
            std::fprintf(stderr, "framesim: warning: not removed: the name on line %lld of %s %s\n",
                         static_cast<long long>(line),
                         (dir / imgrebuild::kRunInfoName).string().c_str(), fault);
            continue;
        }
        const fs::file_status st = fs::symlink_status(dir / name, ec);
        if (st.type() == fs::file_type::not_found)
            continue;
        if (st.type() != fs::file_type::regular) {
            std::fprintf(stderr, "framesim: warning: not removed: %s is not a regular file\n",
                         (dir / name).string().c_str());
            continue;
        }
        if (!fs::remove(dir / name, ec))
            return failure("cannot remove " + (dir / name).string() + ": " + ec.message(), kFailed);
    }
    // What is left under the run's own names is no file to write: refused, never written through.
    for (const char* name : {imgrebuild::kRunInfoName, framesim::kDroppedName}) {
        if (const cli::ExitNow status = refuse_unless_file(dir / name))
            return status;
    }
    return std::nullopt;
}

// Whether two paths name one file: the same file where both exist, the same absolute name
// (dots and links resolved as far as they exist) where neither does.
bool same_place(const fs::path& a, const fs::path& b) {
    std::error_code ec;
    const bool a_exists = fs::exists(a, ec), b_exists = fs::exists(b, ec);
    if (a_exists != b_exists)
        return false;
    if (a_exists)
        return fs::equivalent(a, b, ec);
    return fs::weakly_canonical(fs::absolute(a, ec), ec) ==
           fs::weakly_canonical(fs::absolute(b, ec), ec);
}

// Refuses --save-image onto a file of the run (in `run_files`) or an input, or onto a name
// that is no plain file: nothing to go on, else the exit status.
cli::ExitNow check_save_image(const std::string& path, const std::vector<fs::path>& run_files) {
    if (companion::is_device_name(fs::path(path).filename().string()))
        return failure("--save-image " + path + " is a device name on Windows; name another file",
                       kUsage);
    if (const cli::ExitNow status = refuse_unless_file(path))
        return status;
    for (const fs::path& f : run_files) {
        if (same_place(path, f))
            return failure("--save-image " + path + " is " + f.string() +
                               ", a file of the run or an input; name another file",
                           kUsage);
    }
    return std::nullopt;
}

// Writes the image to `path` through a new file renamed over it. Nothing to go on, else the
// exit status.
cli::ExitNow write_image(const std::string& path, const std::vector<uint8_t>& image) {
    std::error_code ec;
    const imgrebuild::ReplaceStatus status =
        imgrebuild::replace_file(path.c_str(), image.data(), image.size(), true, ec);
    if (status == imgrebuild::ReplaceStatus::create_failed)
        return failure("cannot create " + path + ": " + ec.message(), kFailed);
    if (status != imgrebuild::ReplaceStatus::ok)
        return failure("cannot write " + path + ": " + ec.message(), kFailed);
    return std::nullopt;
}

std::string counted(size_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
}

// The story, as the header tells it.
int run(int argc, char** argv) {
    framesim::Options o;
    std::string save_image, ranges;
    bool force = false, sc_s_given = false;
    if (const cli::ExitNow status =
            parse_options(argc, argv, o, save_image, ranges, force, sc_s_given))
        return *status;

    std::string error;
    // The plan is read and checked whole first: a bad line is told before anything else.
    std::vector<framesim::Resend> plan;
    if (!ranges.empty() && !companion::read_plan(ranges, plan, error))
        return failure(error, kFailed);
    if (!ranges.empty() && plan.empty())
        return cli::put_stdout("framesim", "framesim: the plan " + ranges + " asks for nothing\n")
                   ? kWritten
                   : kUsage;

    if (!ranges.empty()) {
        // A resend places its ranges as the run it adds to does: by the run's own SC_S.
        imgrebuild::RunHead head{};
        bool described = false;
        if (!framesim::run_head(o.out, head, described, error))
            return failure(error, kUsage);
        if (described && sc_s_given && o.SC_S != head.SC_S)
            return failure("--sc-s " + std::to_string(o.SC_S) + " differs from SC_S " +
                               std::to_string(head.SC_S) + " of the run in " + o.out +
                               "; a resend places its ranges by the run's SC_S (leave --sc-s out)",
                           kUsage);
        if (described)
            o.SC_S = head.SC_S;
    }

    std::vector<uint8_t> image;
    if (o.image_file.empty() && !ranges.empty()) {
        // A resend sends the image of the run it adds to, never another one.
        uint64_t seed = 0;
        int32_t size = 0;
        if (!framesim::run_image(o.out, seed, size, error))
            return failure(error, kUsage);
        image = framesim::generated_image(size, seed);
    } else if (o.image_file.empty())
        image = framesim::generated_image(o.image_size, o.seed);
    else if (!read_image(o.image_file, image, error))
        return failure(error, kFailed);

    // The run's own files and the inputs are never where the image goes.
    const fs::path dir(o.out);
    std::vector<fs::path> run_files = {dir / imgrebuild::kRunInfoName,
                                       dir / framesim::kDroppedName};
    for (const std::string& input : {o.image_file, ranges}) {
        if (!input.empty())
            run_files.emplace_back(input);
    }
    for (const framesim::Resend& r : plan)
        run_files.push_back(dir / r.name);
    if (!save_image.empty()) {
        if (const cli::ExitNow status = check_save_image(save_image, run_files))
            return *status;
    }

    if (const cli::ExitNow status = prepare_out(o, plan, force))
        return *status;

    framesim::Run run;
    if (!(ranges.empty() ? framesim::simulate(o, image, run, error)
                         : framesim::resend(o, image, plan, run, error)))
        return failure(error, kFailed);
    if (!save_image.empty()) {
        for (const framesim::Capture& c : run.captures)
            run_files.push_back(dir / c.name);
        if (const cli::ExitNow status = check_save_image(save_image, run_files))
            return *status;
        if (const cli::ExitNow status = write_image(save_image, image))
            return *status;
    }
    size_t dropped = 0;
    for (const framesim::Capture& c : run.captures)
        dropped += c.dropped.size();
    return cli::put_stdout(
               "framesim",
               "framesim: " + counted(run.captures.size(), "capture file", "capture files") +
                   " in " + o.out + ", " + counted(dropped, "frame", "frames") + " dropped\n")
               ? kWritten
               : kUsage;
}

} // namespace

int main(int argc, char** argv) {
    imgrebuild::binary_stdout();
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        return failure("out of memory", kUsage);
    } catch (const std::exception& e) {
        return failure(e.what(), kUsage);
    } catch (...) {
        return failure("an unexpected error", kUsage);
    }
}
