// imgcover: what is still missing of an image across all passes, and what to ask for again.
//
// The story: read the working directory's run description and captures with the rebuild's own
// rules (in a watch, again and again while they grow); work out which bytes no capture covered
// and the pages that hold them; write the files the options ask for; tell the operator; exit 0
// when the image is complete, 1 when bytes are missing, unsettled or from before a change of
// the memory (with --confirm also on one copy), 2 when it cannot be analysed.
#include <algorithm>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <unordered_set>
#include <utility>
#include <vector>

#include <CLI/CLI.hpp>

#include "cli.hpp"

#include "analysis.hpp"
#include "common/names.hpp"
#include "image/replace_file.hpp"
#include "map.hpp"
#include "picture.hpp"
#include "plan.hpp"
#include "platform.hpp"
#include "report.hpp"
#include "serve.hpp"
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
    bool confirm = false;
    std::string serve; // [ADDR:]PORT
    std::string serve_host;
    int serve_port = 0;
};

// Messages go to a person: control characters in them (from names read from files) escaped.
void fail(const std::string& message) {
    std::fprintf(stderr, "imgcover: %s\n", imgcover::printable(message).c_str());
}

void warn(const std::string& message) {
    std::fprintf(stderr, "imgcover: warning: %s\n", imgcover::printable(message).c_str());
}

// What an output's maker gave: its bytes, nothing to write (with a warning saying why), or a
// failure (with a message).
enum class Made { bytes, nothing, failed };

// What every output is made from.
struct Sources {
    const Options& o;
    const imgcover::Analysis& a;
    const std::vector<imgcover::Request>& plan;
    const imgcover::RunCheck& check; // how the rebuild will end, the run description's slips
};

// Makes an output's bytes; warnings go to `notes`, a failure's message to `error`.
using Maker = Made (*)(const Sources& s, std::string& bytes, std::vector<std::string>& notes,
                       std::string& error);

// A file the command line can name: its option, where the path is kept, the help, whether "-"
// means standard output (said there after the analysis, instead of the report), and its maker.
struct Output {
    const char* option;
    std::string Options::*path;
    const char* help;
    bool dash_is_stdout;
    Maker make;
};

imgcover::PictureOptions picture_options(const Options& o) {
    return {o.pixel == "rgb24" ? imgcover::Pixel::rgb24 : imgcover::Pixel::gray8, o.width, o.offset,
            o.hole};
}

const Output kOutputs[] = {
    {"--json", &Options::json, "write the analysis as JSON to FILE (- for stdout)", true,
     [](const Sources& s, std::string& bytes, std::vector<std::string>&, std::string&) {
         bytes = imgcover::json_text(s.a, s.plan, &s.check);
         return Made::bytes;
     }},
    {"--plan", &Options::plan, "write the plan to FILE, one 'SSC SP ESC EP NAME' a line", false,
     [](const Sources& s, std::string& bytes, std::vector<std::string>&, std::string&) {
         bytes = imgcover::plan_text(s.plan);
         return Made::bytes;
     }},
    {"--next-info", &Options::next_info,
     "write the run description for the rebuild after the resend to FILE", false,
     [](const Sources& s, std::string& bytes, std::vector<std::string>& notes, std::string&) {
         bytes = imgcover::next_info(s.a, s.plan, notes);
         return Made::bytes;
     }},
    {"--map", &Options::map, "write a coverage map of the image to FILE, a PNG", false,
     [](const Sources& s, std::string& bytes, std::vector<std::string>&, std::string& error) {
         return imgcover::map_png(s.a, s.o.cell, s.o.map_width, bytes, error) ? Made::bytes
                                                                              : Made::failed;
     }},
    {"--picture", &Options::picture,
     "write the image as rebuilt so far to FILE, a PNG, every byte of it, with a legend", false,
     [](const Sources& s, std::string& bytes, std::vector<std::string>& notes, std::string& error) {
         if (!imgcover::picture_png(s.a, picture_options(s.o), bytes, error))
             return Made::failed;
         if (s.o.width < imgcover::kMinLegendWidth)
             notes.push_back("--picture: " + std::to_string(s.o.width) +
                             " pixels a row leave no room for the legend (it needs " +
                             std::to_string(imgcover::kMinLegendWidth) + "): drawn without it");
         if (!bytes.empty())
             return Made::bytes;
         notes.push_back("--picture: no byte of the image from offset " +
                         std::to_string(s.o.offset));
         return Made::nothing;
     }},
    {"--rebuilt", &Options::rebuilt,
     "write the image as rebuilt so far to FILE, as output.bin would hold it", false,
     [](const Sources& s, std::string& bytes, std::vector<std::string>&, std::string&) {
         bytes.assign(s.a.image.begin(), s.a.image.end());
         return Made::bytes;
     }},
};

// The output of `option`.
const Output& output(std::string_view option) {
    for (const Output& out : kOutputs) {
        if (option == out.option)
            return out;
    }
    throw std::logic_error("no output " + std::string(option));
}

// Adds the option of an output to the command line.
CLI::Option* add_output(CLI::App& app, Options& o, const char* option) {
    const Output& out = output(option);
    return app.add_option(out.option, o.*out.path, out.help)->type_name("FILE");
}

// True when the output goes to standard output rather than a file.
bool on_stdout(const Options& o, const Output& out) {
    return out.dash_is_stdout && o.*out.path == "-";
}

// The files the options name, in the table's order.
std::vector<const Output*> files_named(const Options& o) {
    std::vector<const Output*> named;
    for (const Output& out : kOutputs) {
        if (!(o.*out.path).empty() && !on_stdout(o, out))
            named.push_back(&out);
    }
    return named;
}

// Reads the command line; nothing to go on, else the exit status.
cli::ExitNow parse_options(int argc, char** argv, Options& o) {
    CLI::App app{"Tells what is still missing of an image across all passes over it, and\n"
                 "exactly which pages to ask the spacecraft for again. Reads DIR/file_info.txt\n"
                 "and the captures it lists with the same rules as imgrebuild; never writes\n"
                 "output.bin, and writes nothing unless an option names a file.\n"
                 "Exit status: 0 complete; 1 bytes missing, unsettled, from before a change\n"
                 "of the memory or (with --confirm) on one copy; 2 cannot analyse.",
                 "imgcover"};
    cli::conventions(app, "imgcover");
    app.add_option("DIR", o.dir, "working directory (default .)");
    add_output(app, o, "--json");
    add_output(app, o, "--plan");
    add_output(app, o, "--next-info");
    app.add_option("--prefix", o.prefix,
                   "name prefix of planned captures (default retry); auto: the next round, r1, "
                   "r2, ... after those already listed");
    app.add_option("--join", o.join,
                   "join requests separated by at most N covered pages (default 0)")
        ->check(cli::between(0, 1 << 30));
    app.add_flag("--confirm", o.confirm,
                 "complete only when two capture files gave every byte; the plan also asks "
                 "again for every page with a byte that rests on one");
    add_output(app, o, "--map");
    app.add_option("--cell", o.cell,
                   "bytes per map pixel (default: the smallest power of two that keeps the "
                   "map within " +
                       std::to_string(imgcover::kMapRows) + " rows)")
        ->check(cli::between(int64_t{1}, int64_t{1} << 40));
    app.add_option("--map-width", o.map_width, "map pixels a row (default 512)")
        ->check(cli::between(1, 65536));
    add_output(app, o, "--picture");
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
    add_output(app, o, "--rebuilt");
    app.add_flag("--watch", o.watch,
                 "follow the captures while they are received, until interrupted"
#ifdef _WIN32
                 " (plain lines on this platform)"
#endif
    );
    app.add_option("--interval", o.interval, "seconds between looks in a watch (default 1)")
        ->check(cli::between(0.1, 3600.0));
    app.add_flag("--until-complete", o.until_complete, "end a watch once the image is complete");
    app.add_option("--serve", o.serve,
                   "watch as --watch does, and show the watch on a web page at "
                   "http://ADDR:PORT/ (ADDR 127.0.0.1 unless given; PORT 0: a free port; "
                   "the first line printed is the address to open); the page's map and "
                   "picture take --cell, --map-width, --width, --pixel, --offset and "
                   "--hole-color")
        ->type_name("[ADDR:]PORT");
    if (const cli::ExitNow status = cli::parse(app, argc, argv, "imgcover"))
        return status;
    if (const char* fault = companion::prefix_fault(o.prefix)) {
        fail(std::string("--prefix ") + fault);
        return kCannot;
    }
    if (!o.serve.empty()) {
        std::string error;
        if (!imgcover::parse_listen_address(o.serve, o.serve_host, o.serve_port, error)) {
            fail(error);
            return kCannot;
        }
        o.watch = true; // a served watch is a watch
    }
    // An option that shapes a picture means nothing without it (or the served page's).
    const struct {
        const char* option;
        const char* needs;
    } shaping[] = {{"--cell", "--map"},           {"--map-width", "--map"},
                   {"--hole-color", "--picture"}, {"--pixel", "--picture"},
                   {"--width", "--picture"},      {"--offset", "--picture"}};
    for (const auto& [option, needs] : shaping) {
        if (app.count(option) != 0 && (o.*output(needs).path).empty() && o.serve.empty()) {
            fail(std::string(option) + " needs " + needs);
            return kCannot;
        }
    }
    if (o.watch && on_stdout(o, output("--json"))) {
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
    const std::vector<const Output*> named = files_named(o);
    std::vector<Place> places;
    for (const Output* out : named)
        places.push_back(place_of(o.*out->path));
    const auto said = [&](size_t i) {
        return std::string(named[i]->option) + " " + o.*named[i]->path;
    };
    for (size_t i = 0; i < named.size(); ++i) {
        for (size_t j = 0; j < i; ++j) {
            if (same_file(places[i], places[j]))
                return said(j) + " and " + said(i) + " are the same file; name two";
        }
        if (same_file(places[i], place_of(fs::path(o.dir) / imgrebuild::kRunInfoName)))
            return said(i) + " is the run description it reads; name another file";
        if (a == nullptr)
            continue;
        std::unordered_set<std::string_view> seen; // each name looked at once
        for (const imgcover::Capture& c : a->captures) {
            if (seen.insert(c.name).second &&
                same_file(places[i], place_of(fs::path(o.dir) / c.name)))
                return said(i) + " is a capture the run lists; name another file";
        }
    }
    return {};
}

// True when no output clashes with an input or another output; false, with the message said.
bool outputs_apart(const Options& o, const imgcover::Analysis* a) {
    const std::string clash = clashing_output(o, a);
    if (!clash.empty())
        fail(clash);
    return clash.empty();
}

// How writing the outputs went.
enum class Written { all, not_drawn, failed };

// Makes every file the options name, then writes them in the table's order. A picture too
// large to draw ends it before anything is written (not_drawn); a file that cannot be written
// is said and the others are still written (failed). Warnings are said unless `quiet`.
Written write_outputs(const Options& o, const imgcover::Analysis& a,
                      const std::vector<imgcover::Request>& plan, const imgcover::RunCheck& check,
                      bool quiet) {
    const Sources sources{o, a, plan, check};
    const std::vector<const Output*> named = files_named(o);
    std::vector<std::string> bytes(named.size());
    std::vector<std::vector<std::string>> notes(named.size());
    std::vector<Made> made(named.size());
    std::string error;
    for (size_t i = 0; i < named.size(); ++i) {
        made[i] = named[i]->make(sources, bytes[i], notes[i], error);
        if (made[i] == Made::failed) {
            if (!quiet)
                fail(error);
            return Written::not_drawn;
        }
    }
    Written written = Written::all;
    for (size_t i = 0; i < named.size(); ++i) {
        if (made[i] == Made::bytes && !write_replacing(o.*named[i]->path, bytes[i], error)) {
            fail(error);
            written = Written::failed;
        }
        for (const std::string& note : notes[i]) {
            if (!quiet)
                warn(note);
        }
    }
    return written;
}

// Warns of captures that could not be read, and says what planning noted.
void warn_about(const imgcover::Analysis& a, const imgcover::PlanNotes& notes) {
    for (const imgcover::CaptureFile& f : a.files) {
        if (f.read.status == imgcover::CaptureStatus::unreadable)
            warn(f.read.warning + ": counted as not received yet");
    }
    for (const std::string& line : imgcover::plan_note_lines(notes))
        warn(line);
}

// Follows the run until the watch ends, writing the outputs on their own thread after every
// look that found something new, while no output is an input; `a` holds the last look.
// `analysed`: `a` already holds an analysis. False, with the message said, when the run could
// never be analysed.
bool follow(const Options& o, imgcover::Analysis& a, bool analysed, imgcover::View* served) {
    const imgcover::WatchOptions w{o.interval, o.until_complete, o.join, o.prefix, analysed};
    imgcover::catch_stop_signals();
    std::string error, clash;
    {
        // The view, chosen once; the terminal is given back before the final report, also
        // when an exception leaves the watch. The outputs are written on their own thread so
        // that the view keeps its interval; it ends before the final outputs are written.
        imgcover::BackgroundOutputs outputs([&](const imgcover::Analysis& now) {
            write_outputs(o, now, imgcover::make_plan(now, o.join, o.prefix),
                          imgcover::check_all(o.dir, now), true);
        });
        std::string why;
        const std::unique_ptr<imgcover::View> own = served ? nullptr : imgcover::make_view(why);
        if (!why.empty())
            warn(why);
        imgcover::View* view = served ? served : own.get();
        const bool any_output = !files_named(o).empty();
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
    if (!analysed)
        fail(error);
    return analysed;
}

// Starts serving the watch's page and prints its address, first; nullptr, with a message in
// `error` when it cannot listen (or one said already when the address cannot be printed).
std::unique_ptr<imgcover::ServeView> serve(const Options& o, std::string& error) {
    const imgcover::ServeSettings s{o.serve_host, o.serve_port, o.join,      o.prefix,
                                    o.cell,       o.map_width,  o.width > 0, picture_options(o)};
    std::unique_ptr<imgcover::ServeView> served = imgcover::make_serve_view(s, error);
    if (!served)
        return nullptr;
    if (!cli::put_stdout("imgcover", served->url() + "\n"))
        return nullptr; // said

    if (!imgcover::is_loopback(o.serve_host))
        warn("--serve " + o.serve +
             ": the page is open to other machines on the network, unencrypted and without a "
             "password; 127.0.0.1 with ssh -L is the safe way to reach it");
    return served;
}

// The end of every run: the plan, the warnings, the outputs, then the report (or the JSON) on
// standard output; the exit status.
int conclude(const Options& o, const imgcover::Analysis& a, imgcover::ServeView* served) {
    imgcover::PlanNotes notes;
    const std::vector<imgcover::Request> plan = imgcover::make_plan(a, o.join, o.prefix, &notes);
    warn_about(a, notes);
    // The run as the rebuild will read it: its outcome and the description's slips.
    const imgcover::RunCheck check = imgcover::check_all(o.dir, a);
    for (const imgcover::RunWarning& w : check.warnings)
        warn(w.text);
    const Written written = write_outputs(o, a, plan, check, false);
    if (written == Written::not_drawn)
        return kCannot;
    const std::string said = on_stdout(o, output("--json"))
                                 ? imgcover::json_text(a, plan, &check)
                                 : imgcover::human_report(a, plan, {o.plan, o.next_info}, &check);
    const bool said_ok = cli::put_stdout("imgcover", said);
    if (served)
        served->finish(said); // the page keeps the final report
    if (!said_ok || written != Written::all)
        return kCannot;
    // Complete only when the rebuild will also make the image of it.
    const bool rebuilds = check.rebuild.verdict == imgcover::Verdict::succeeds;
    return a.complete() && rebuilds ? kComplete : kMissing;
}

// The story, from the command line to the exit status.
int run(int argc, char** argv) {
    imgrebuild::binary_stdout();
    Options o;
    if (const cli::ExitNow status = parse_options(argc, argv, o))
        return *status;
    if (!outputs_apart(o, nullptr))
        return kCannot;
    imgcover::Analysis a;
    a.dir = o.dir;
    a.confirm = o.confirm;
    std::string error;
    // A watch waits for a run description that cannot be read yet; a single look does not.
    const bool analysed = imgcover::analyse(a, error);
    if (!analysed && !o.watch) {
        fail(error);
        return kCannot;
    }
    if (analysed && !outputs_apart(o, &a))
        return kCannot;
    std::unique_ptr<imgcover::ServeView> served; // kept until the page has the final report
    std::string why;
    if (!o.serve.empty() && !(served = serve(o, why))) {
        if (!why.empty())
            fail(why);
        return kCannot;
    }
    if (o.watch && (!follow(o, a, analysed, served.get()) || !outputs_apart(o, &a)))
        return kCannot;
    return conclude(o, a, served.get());
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
