// imgcover: what is still missing of an image across all passes, and what to ask for again.
//
// The story: read the working directory's run description and captures with the rebuild's own
// rules (in a watch, again and again while they grow); work out which bytes no capture covered
// and the pages that hold them; write the files the options ask for; tell the operator; exit 0
// when the image is complete, 1 when bytes are missing, 2 when it cannot be analysed.
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <system_error>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.hpp"

#include "analysis.hpp"
#include "image/replace_file.hpp"
#include "pictures.hpp"
#include "plan.hpp"
#include "platform.hpp"
#include "report.hpp"
#include "watch.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int kComplete = 0, kMissing = 1, kCannot = 2;

struct Options {
    std::string dir = ".";
    std::string json, plan, next_info, map, picture, rebuilt;
    std::string prefix = "retry";
    int32_t join = 0;
    int64_t cell = 0;
    int32_t map_width = 512;
    std::string pixel = "gray8";
    int32_t width = 0;
    int64_t offset = 0;
    bool watch = false;
    double interval = 1.0;
    bool until_complete = false;
};

void fail(const std::string& message) {
    std::fprintf(stderr, "imgcover: %s\n", message.c_str());
}

void warn(const std::string& message) {
    std::fprintf(stderr, "imgcover: warning: %s\n", message.c_str());
}

// Reads the command line; nothing to go on, else the exit status.
cli::ExitNow parse_options(int argc, char** argv, Options& o) {
    CLI::App app{"Tells what is still missing of an image across all passes over it, and\n"
                 "exactly which pages to ask the spacecraft for again. Reads DIR/file_info.txt\n"
                 "and the captures it lists with the same rules as imgrebuild; never writes\n"
                 "output.bin, and writes nothing unless an option names a file.\n"
                 "Exit status: 0 complete, 1 bytes missing, 2 cannot analyse.",
                 "imgcover"};
    cli::conventions(app, "imgcover");
    app.add_option("DIR", o.dir, "working directory (default .)");
    app.add_option("--json", o.json, "write the analysis as JSON to FILE (- for stdout)")
        ->type_name("FILE");
    app.add_option("--plan", o.plan, "write the plan to FILE, one 'SSC SP ESC EP NAME' a line")
        ->type_name("FILE");
    app.add_option("--next-info", o.next_info,
                   "write the run description for the rebuild after the resend to FILE")
        ->type_name("FILE");
    app.add_option("--prefix", o.prefix, "name prefix of planned captures (default retry)");
    app.add_option("--join", o.join,
                   "join requests separated by at most N covered pages (default 0)")
        ->check(cli::between(0, 1 << 30));
    app.add_option("--map", o.map, "write a coverage map of the image to FILE.png")
        ->type_name("FILE");
    app.add_option("--cell", o.cell,
                   "bytes per map pixel (default: the smallest power of two that keeps the "
                   "map within " +
                       std::to_string(imgcover::kMapRows) + " rows)")
        ->check(cli::between(int64_t{1}, int64_t{1} << 40));
    app.add_option("--map-width", o.map_width, "map pixels a row (default 512)")
        ->check(cli::between(1, 65536));
    app.add_option("--picture", o.picture,
                   "write the image as rebuilt so far to FILE.png, holes in magenta")
        ->type_name("FILE");
    app.add_option("--pixel", o.pixel, "picture pixels: gray8 or rgb24 (default gray8)")
        ->check(CLI::IsMember({"gray8", "rgb24"}));
    app.add_option("--width", o.width, "picture pixels a row (needed with --picture)")
        ->check(cli::between(1, 65536));
    app.add_option("--offset", o.offset, "image offset of the picture's first pixel (default 0)")
        ->check(cli::between(int64_t{0}, int64_t{1} << 40));
    app.add_option("--rebuilt", o.rebuilt,
                   "write the image as rebuilt so far to FILE, as output.bin would hold it")
        ->type_name("FILE");
    app.add_flag("--watch", o.watch,
                 "follow the captures while they are received, until interrupted"
#ifdef _WIN32
                 " (plain lines on this platform)"
#endif
    );
    app.add_option("--interval", o.interval, "seconds between looks in a watch (default 1)")
        ->check(cli::between(0.1, 3600.0));
    app.add_flag("--until-complete", o.until_complete, "end a watch once nothing is missing");
    if (const cli::ExitNow status = cli::parse(app, argc, argv, "imgcover"))
        return status;
    if (o.prefix.empty() || o.prefix.find_first_of("_/\\") != std::string::npos) {
        fail("--prefix must be a non-empty name without '_', '/' or '\\'");
        return kCannot;
    }
    if (!o.picture.empty() && o.width == 0) {
        fail("--picture needs --width");
        return kCannot;
    }
    return std::nullopt;
}

// Replaces the file at `path` with `bytes` so that no reader ever sees half of it. False with
// a message naming the step that failed.
bool write_replacing(const std::string& path, const std::string& bytes, std::string& error) {
    const fs::path target(path);
    const std::string temp =
        (target.parent_path() / ("." + target.filename().string() + ".tmp")).string();
    std::error_code ec;
    switch (imgrebuild::replace_file(path.c_str(), temp.c_str(), bytes.data(), bytes.size(), false,
                                     ec)) {
    case imgrebuild::ReplaceStatus::ok:
        return true;
    case imgrebuild::ReplaceStatus::create_failed:
        error = "cannot create " + temp;
        return false;
    case imgrebuild::ReplaceStatus::write_failed:
        error = "cannot write " + temp;
        return false;
    case imgrebuild::ReplaceStatus::rename_failed:
        break;
    }
    error = "cannot replace " + path + ": " + ec.message();
    return false;
}

// Writes every file the options name. False when one could not be written.
bool write_outputs(const Options& o, const imgcover::Analysis& a,
                   const std::vector<imgcover::Request>& plan, bool quiet) {
    std::string error;
    bool ok = true;
    const auto put = [&](const std::string& path, const std::string& bytes) {
        if (!path.empty() && !write_replacing(path, bytes, error)) {
            fail(error);
            ok = false;
        }
    };
    if (!o.json.empty() && o.json != "-")
        put(o.json, imgcover::to_json(a, plan).dump(2) + "\n");
    put(o.plan, o.plan.empty() ? "" : imgcover::plan_text(plan));
    if (!o.next_info.empty()) {
        std::vector<std::string> warnings;
        put(o.next_info, imgcover::next_info(a, plan, warnings));
        for (const std::string& w : warnings) {
            if (!quiet)
                warn(w);
        }
    }
    if (!o.map.empty())
        put(o.map, imgcover::map_png(a, o.cell, o.map_width));
    if (!o.picture.empty()) {
        const std::string png = imgcover::picture_png(
            a, o.pixel == "rgb24" ? imgcover::Pixel::rgb24 : imgcover::Pixel::gray8, o.width,
            o.offset);
        if (png.empty() && !quiet)
            warn("--picture: no whole row of pixels from offset " + std::to_string(o.offset));
        else
            put(o.picture, png);
    }
    if (!o.rebuilt.empty())
        put(o.rebuilt, std::string(a.image.begin(), a.image.end()));
    return ok;
}

// Warns of captures that could not be read, and of planned names already in use.
void warn_about(const imgcover::Analysis& a, const std::vector<imgcover::Request>& plan) {
    for (const imgcover::Capture& c : a.captures) {
        if (c.status == imgcover::CaptureStatus::unreadable)
            warn(c.warning + ": counted as not received yet");
    }
    for (const imgcover::Request& q : plan) {
        for (const imgcover::Capture& c : a.captures) {
            if (c.name == q.name) {
                warn("planned name " + q.name + " is already listed; choose another --prefix");
                break;
            }
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    imgrebuild::binary_stdout();
    Options o;
    if (const cli::ExitNow status = parse_options(argc, argv, o))
        return *status;

    imgcover::Analysis a;
    a.dir = o.dir;
    a.keep_image = !o.picture.empty() || !o.rebuilt.empty();
    std::string error;
    if (o.watch) {
        const imgcover::WatchOptions w{o.interval, o.until_complete, o.join, o.prefix};
        imgcover::catch_stop_signals();
        bool analysed = false;
        {
            // The view, chosen once; the terminal is given back before the final report.
            const std::unique_ptr<imgcover::View> view = imgcover::make_view();
            analysed = imgcover::watch(
                a, w, *view,
                [&](const imgcover::Analysis& now) {
                    write_outputs(o, now, imgcover::make_plan(now, o.join, o.prefix), true);
                },
                error);
        }
        if (!analysed) {
            fail(error);
            return kCannot;
        }
    } else if (!imgcover::analyse(a, error)) {
        fail(error);
        return kCannot;
    }

    const std::vector<imgcover::Request> plan = imgcover::make_plan(a, o.join, o.prefix);
    warn_about(a, plan);
    const bool written = write_outputs(o, a, plan, false);
    if (o.json == "-")
        std::fputs((imgcover::to_json(a, plan).dump(2) + "\n").c_str(), stdout);
    else
        std::fputs(imgcover::human_report(a, plan).c_str(), stdout);
    if (std::fflush(stdout) != 0 || !written)
        return kCannot;
    return a.complete() ? kComplete : kMissing;
}
