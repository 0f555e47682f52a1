// imgcover: what is still missing of an image across all passes, and what to ask for again.
//
// The story: read the working directory's run description and captures with the rebuild's own
// rules (in a watch, again and again while they grow); work out which bytes no capture covered
// and the pages that hold them; write the files the options ask for; tell the operator; exit 0
// when the image is complete, 1 when bytes are missing or unsettled, 2 when it cannot be
// analysed.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.hpp"

#include "analysis.hpp"
#include "image/replace_file.hpp"
#include "map.hpp"
#include "picture.hpp"
#include "plan.hpp"
#include "platform.hpp"
#include "report.hpp"
#include "text.hpp"
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
    std::string hole_color = "checker";
    imgcover::HoleColour hole;
    int32_t width = 0;
    int64_t offset = 0;
    bool watch = false;
    double interval = 1.0;
    bool until_complete = false;
};

// Messages go to a person: control characters in them (from names read from files) escaped.
void fail(const std::string& message) {
    std::fprintf(stderr, "imgcover: %s\n", imgcover::printable(message).c_str());
}

void warn(const std::string& message) {
    std::fprintf(stderr, "imgcover: warning: %s\n", imgcover::printable(message).c_str());
}

// Reads the command line; nothing to go on, else the exit status.
cli::ExitNow parse_options(int argc, char** argv, Options& o) {
    CLI::App app{"Tells what is still missing of an image across all passes over it, and\n"
                 "exactly which pages to ask the spacecraft for again. Reads DIR/file_info.txt\n"
                 "and the captures it lists with the same rules as imgrebuild; never writes\n"
                 "output.bin, and writes nothing unless an option names a file.\n"
                 "Exit status: 0 complete, 1 bytes missing or unsettled, 2 cannot analyse.",
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
    app.add_option("--prefix", o.prefix,
                   "name prefix of planned captures (default retry); auto: the next round, r1, "
                   "r2, ... after those already listed");
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
                   "write the image as rebuilt so far to FILE.png, every byte of it, with a "
                   "legend")
        ->type_name("FILE");
    app.add_option("--hole-color", o.hole_color,
                   "how the picture shows holes: checker (magenta and yellow, the default) or "
                   "a colour as RRGGBB")
        ->type_name("COLOUR");
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
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    };
    if (o.prefix.empty() || !std::all_of(o.prefix.begin(), o.prefix.end(), plain)) {
        fail("--prefix must be letters, digits, '-' and '.' only, at least one");
        return kCannot;
    }
    if (o.watch && o.json == "-") {
        fail("--json - cannot go with --watch, whose view owns standard output; name a file");
        return kCannot;
    }
    if (!o.picture.empty() && o.width == 0) {
        fail("--picture needs --width");
        return kCannot;
    }
    if (!imgcover::parse_hole_colour(o.hole_color, o.hole)) {
        fail("--hole-color must be checker or a colour as RRGGBB, not " + o.hole_color);
        return kCannot;
    }
    return std::nullopt;
}

// Replaces the file at `path` with `bytes` so that no reader ever sees half of it. False with
// a message naming the file and the step that failed, and why.
bool write_replacing(const std::string& path, const std::string& bytes, std::string& error) {
    std::error_code ec;
    const char* step = "";
    switch (imgrebuild::replace_file(path.c_str(), bytes.data(), bytes.size(), false, ec)) {
    case imgrebuild::ReplaceStatus::ok:
        return true;
    case imgrebuild::ReplaceStatus::create_failed:
        step = "cannot create ";
        break;
    case imgrebuild::ReplaceStatus::write_failed:
        step = "cannot write ";
        break;
    case imgrebuild::ReplaceStatus::rename_failed:
        step = "cannot replace ";
        break;
    }
    error = step + path + ": " + ec.message();
    return false;
}

// The files the options ask to write, each with its option.
std::vector<std::pair<std::string, std::string>> outputs_of(const Options& o) {
    std::vector<std::pair<std::string, std::string>> out;
    const std::pair<const char*, const std::string*> named[] = {
        {"--json", &o.json}, {"--plan", &o.plan},       {"--next-info", &o.next_info},
        {"--map", &o.map},   {"--picture", &o.picture}, {"--rebuilt", &o.rebuilt}};
    for (const auto& [option, path] : named) {
        if (!path->empty() && !(*path == "-" && std::string(option) == "--json"))
            out.emplace_back(option, *path);
    }
    return out;
}

// Where a file is: whether it exists, and its absolute name with links and dots resolved as
// far as it exists.
struct Place {
    fs::path path;
    bool exists;
};

Place place_of(const fs::path& p) {
    std::error_code ec;
    const bool exists = fs::exists(p, ec);
    fs::path name = fs::weakly_canonical(fs::absolute(p, ec), ec);
    if (ec)
        name = fs::absolute(p, ec).lexically_normal();
    return {name, exists};
}

// Whether two places are one file: the same file (device and inode) where both exist, the
// same name where neither does.
bool same_file(const Place& a, const Place& b) {
    if (a.exists != b.exists)
        return false;
    std::error_code ec;
    return a.exists ? fs::equivalent(a.path, b.path, ec) : a.path == b.path;
}

// Refuses an output that is an input (the run description, a listed capture) or another
// output of the same command: the message, or an empty string. Without an analysis only the
// run description and the outputs are compared.
std::string clashing_output(const Options& o, const imgcover::Analysis* a) {
    const auto outputs = outputs_of(o);
    std::vector<Place> places;
    for (const auto& output : outputs)
        places.push_back(place_of(output.second));
    for (size_t i = 0; i < outputs.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (same_file(places[i], places[j]))
                return outputs[j].first + " " + outputs[j].second + " and " + outputs[i].first +
                       " " + outputs[i].second + " are the same file; name two";
        }
        if (same_file(places[i], place_of(fs::path(o.dir) / "file_info.txt")))
            return outputs[i].first + " " + outputs[i].second +
                   " is the run description it reads; name another file";
        if (a == nullptr)
            continue;
        for (const imgcover::Capture& c : a->captures) {
            if (same_file(places[i], place_of(fs::path(o.dir) / c.name)))
                return outputs[i].first + " " + outputs[i].second +
                       " is a capture the run lists; name another file";
        }
    }
    return {};
}

imgcover::PictureOptions picture_options(const Options& o) {
    return {o.pixel == "rgb24" ? imgcover::Pixel::rgb24 : imgcover::Pixel::gray8, o.width, o.offset,
            o.hole};
}

// True when every picture the options ask for is within the size limits; false, with a message
// naming the limit, otherwise.
bool pictures_fit(const Options& o, const imgcover::Analysis& a, std::string& error) {
    imgcover::MapLayout m;
    int64_t wide = 0, rows = 0;
    return (o.map.empty() || imgcover::map_layout(a, o.cell, o.map_width, m, error)) &&
           (o.picture.empty() ||
            imgcover::picture_layout(a, picture_options(o), wide, rows, error));
}

// The pictures the options ask for, drawn before anything is written. False, with a message,
// when one is too large to draw.
bool draw_pictures(const Options& o, const imgcover::Analysis& a, std::string& map,
                   std::string& picture, std::string& error) {
    if (!o.map.empty() && !imgcover::map_png(a, o.cell, o.map_width, map, error))
        return false;
    if (!o.picture.empty()) {
        if (!imgcover::picture_png(a, picture_options(o), picture, error))
            return false;
    }
    return true;
}

// Writes every file the options name. False when a picture is too large to draw (then nothing
// is written) or a file could not be written; a message tells which unless `quiet`.
bool write_outputs(const Options& o, const imgcover::Analysis& a,
                   const std::vector<imgcover::Request>& plan, bool quiet) {
    std::string error, map, picture;
    if (!draw_pictures(o, a, map, picture, error)) {
        if (!quiet)
            fail(error);
        return false;
    }
    bool ok = true;
    const auto put = [&](const std::string& path, const std::string& bytes) {
        if (!path.empty() && !write_replacing(path, bytes, error)) {
            fail(error);
            ok = false;
        }
    };
    if (!o.json.empty() && o.json != "-")
        put(o.json, imgcover::json_text(a, plan));
    put(o.plan, o.plan.empty() ? "" : imgcover::plan_text(plan));
    if (!o.next_info.empty()) {
        std::vector<std::string> warnings;
        put(o.next_info, imgcover::next_info(a, plan, warnings));
        for (const std::string& w : warnings) {
            if (!quiet)
                warn(w);
        }
    }
    put(o.map, map);
    if (!o.picture.empty()) {
        if (picture.empty() && !quiet)
            warn("--picture: no byte of the image from offset " + std::to_string(o.offset));
        else if (!picture.empty())
            put(o.picture, picture);
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

// The story, from the command line to the exit status.
int run(int argc, char** argv) {
    imgrebuild::binary_stdout();
    Options o;
    if (const cli::ExitNow status = parse_options(argc, argv, o))
        return *status;
    if (const std::string clash = clashing_output(o, nullptr); !clash.empty()) {
        fail(clash);
        return kCannot;
    }

    imgcover::Analysis a;
    a.dir = o.dir;
    a.keep_image = !o.picture.empty() || !o.rebuilt.empty();
    std::string error;
    if (o.watch) {
        // The captures listed now are inputs the outputs must not be: checked before the view
        // takes the terminal. One that is listed later is checked at every look.
        imgcover::Analysis listed;
        listed.dir = o.dir;
        std::string ignored;
        if (imgcover::analyse(listed, ignored)) {
            if (const std::string clash = clashing_output(o, &listed); !clash.empty()) {
                fail(clash);
                return kCannot;
            }
        }
        const imgcover::WatchOptions w{o.interval, o.until_complete, o.join, o.prefix};
        imgcover::catch_stop_signals();
        bool analysed = false;
        std::string clash;
        {
            // The view, chosen once; the terminal is given back before the final report, also
            // when an exception leaves the watch. The outputs are written on their own thread
            // so that the view keeps its interval; it ends before the final outputs are written.
            imgcover::BackgroundOutputs outputs([&](const imgcover::Analysis& now) {
                write_outputs(o, now, imgcover::make_plan(now, o.join, o.prefix), true);
            });
            std::string why;
            const std::unique_ptr<imgcover::View> view = imgcover::make_view(why);
            if (!why.empty())
                warn(why);
            const bool any_output = (!o.json.empty() && o.json != "-") || !o.plan.empty() ||
                                    !o.next_info.empty() || !o.map.empty() || !o.picture.empty() ||
                                    !o.rebuilt.empty();
            analysed = imgcover::watch(
                a, w, *view,
                [&](const imgcover::Analysis& now) {
                    clash = clashing_output(o, &now);
                    if (any_output && clash.empty())
                        outputs.offer(now);
                },
                error);
            outputs.finish();
        }
        if (!analysed) {
            fail(error);
            return kCannot;
        }
        if (!clash.empty()) {
            fail(clash);
            return kCannot;
        }
    } else if (!imgcover::analyse(a, error)) {
        fail(error);
        return kCannot;
    }
    if (const std::string clash = clashing_output(o, &a); !clash.empty()) {
        fail(clash);
        return kCannot;
    }

    const std::vector<imgcover::Request> plan = imgcover::make_plan(a, o.join, o.prefix);
    warn_about(a, plan);
    if (!pictures_fit(o, a, error)) {
        // A picture too large to draw ends the run before anything is written.
        fail(error);
        return kCannot;
    }
    const bool written = write_outputs(o, a, plan, false);
    const std::string said =
        o.json == "-" ? imgcover::json_text(a, plan) : imgcover::human_report(a, plan);
    if (!cli::put_stdout("imgcover", said) || !written)
        return kCannot;
    return a.complete() ? kComplete : kMissing;
}

} // namespace

int main(int argc, char** argv) {
    try {
        return run(argc, argv);
    } catch (const std::bad_alloc&) {
        fail("out of memory");
    } catch (const std::exception& e) {
        fail(std::string("unexpected failure: ") + e.what());
    } catch (...) {
        fail("unexpected failure");
    }
    return kCannot;
}
