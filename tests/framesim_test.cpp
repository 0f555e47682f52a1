// framesim as a program: its command line, the runs it writes and their dropped lists, --force,
// and a resend that keeps the run's image.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "help_options.hpp"
#include "sim.hpp"
#include "small_run.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::lines_of;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::snapshot;
using e2e::Workdir;
using json = nlohmann::json;

namespace {

// framesim run in `dir` with `args`.
Ran framesim(const std::string& dir, const std::string& args) {
    return sh(dir, kFramesim + " " + args);
}

// imgcover run in `dir` with `args`.
Ran imgcover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
}

// --force clears away the old run's files, and only regular files with plain names inside the
// folder: a name line that leads outside it, a drive prefix, a folder or a link stays.
TEST(Force, RemovesOnlyTheRunsOwnRegularFiles) {
    Workdir w, decoy;
    decoy.write("decoy.txt", "decoy");
    const std::string run = w.path() + "/run";
    fs::create_directories(run + "/sub");
    fs::create_directory(w.path() + "/outside");
    e2e::write_file(w.path() + "/outside/decoy.txt", "decoy");
    e2e::write_file(run + "/sub/keep.txt", "kept");
    e2e::write_file(run + "/Z:decoy.txt", "kept");
    fs::create_directory(run + "/empty");
    fs::create_symlink(decoy.path() + "/decoy.txt", run + "/link.txt");
    e2e::write_file(run + "/old_5_0_5_3.txt", "old");
    e2e::write_file(
        run + "/file_info.txt",
        "x\nimagesize 9000\nnumfile 7\nSC_S 5\nold_5_0_5_3.txt\n../outside/decoy.txt\n" +
            decoy.path() + "/decoy.txt\nZ:decoy.txt\nsub\nempty\nlink.txt\n");
    const Ran r = sh(w.path(), kFramesim + " --out run --force --image-size 1000 --loss 0");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(fs::exists(run + "/old_5_0_5_3.txt"));
    EXPECT_EQ(read_file(w.path() + "/outside/decoy.txt"), "decoy");
    EXPECT_EQ(read_file(decoy.path() + "/decoy.txt"), "decoy");
    EXPECT_EQ(read_file(run + "/Z:decoy.txt"), "kept");
    EXPECT_EQ(read_file(run + "/sub/keep.txt"), "kept");
    EXPECT_TRUE(fs::is_directory(run + "/empty"));
    EXPECT_TRUE(fs::is_symlink(run + "/link.txt"));
    EXPECT_NE(r.err.find("not removed: the name on line 6 of run/file_info.txt has a folder part"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.err.find("not removed: run/empty is not a regular file"), std::string::npos)
        << r.err;
}

// A resend with --force replaces a planned capture that is a regular file, never through a
// link or a second hard link: the files those lead to stay as they were.
TEST(Force, AResendNeverWritesThroughALinkOrAHardLink) {
    Workdir w, decoy;
    decoy.write("soft.txt", "decoy");
    decoy.write("hard.txt", "decoy");
    w.write("file_info.txt", "framesim seed 1 imagesize 65536\n");
    w.write("plan.txt", "5 0 5 3 r_5_0_5_3.txt\n");
    fs::create_symlink(decoy.path() + "/soft.txt", w.path() + "/r_5_0_5_3.txt");
    Ran r = sh(w.path(), kFramesim + " --out . --ranges plan.txt --force");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "framesim: r_5_0_5_3.txt in . is not a regular file; --force replaces only "
                     "files\n");
    EXPECT_EQ(read_file(decoy.path() + "/soft.txt"), "decoy");

    fs::remove(w.path() + "/r_5_0_5_3.txt");
    std::error_code ec;
    fs::create_hard_link(decoy.path() + "/hard.txt", w.path() + "/r_5_0_5_3.txt", ec);
    if (ec)
        GTEST_SKIP() << "no hard links across these folders: " << ec.message();
    r = sh(w.path(), kFramesim + " --out . --ranges plan.txt --force");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(decoy.path() + "/hard.txt"), "decoy");
    EXPECT_NE(read_file(w.path() + "/r_5_0_5_3.txt"), "decoy");
}

struct Command {
    int status;
    std::string out, err;
};

Command framesim_cli(const std::string& args) {
    e2e::Workdir w;
    const std::string cmd =
        "cd '" + w.path() + "' && '" FRAMESIM_EXE "' " + args + " </dev/null >.stdout 2>.stderr";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, e2e::read_file(w.path() + "/.stdout"),
            e2e::read_file(w.path() + "/.stderr")};
}

// framesim's help, read back from the program (no list of its options is copied here): it
// lists the conventional -h/--help and --version; every option has a text and a value name of
// its own (DIR, FILE, N, RATE, ...: none of CLI11's TEXT, INT or FLOAT); every row of the one
// table of bounds is listed with its bounds; and the program takes each option as its help
// says: a flag alone, a value option never without its value, and with each value its help
// names ({lossy,all,half}) or each bound of its range. That the help lists the options the
// manual does, and no other, the manual test checks.
TEST(FramesimCli, HelpDocumentsEveryOption) {
    Workdir w;
    const std::vector<e2e::HelpOption> help = e2e::help_options(kFramesim);
    std::map<std::string, e2e::HelpOption> listed;
    for (const e2e::HelpOption& o : help)
        listed.emplace(o.name, o);
    ASSERT_EQ(listed.size(), help.size()) << "an option is listed twice";
    ASSERT_TRUE(listed.count("--help") && listed.count("--version"));
    EXPECT_EQ(listed.at("--help").value, "");
    EXPECT_EQ(listed.at("--version").value, "");
    // "INT in [1 - 9]", "FLOAT in [0.001 - 1e+09]": numbers written as a stream does.
    const auto range_of = [](const std::string& kind, auto lo, auto hi) {
        std::ostringstream s;
        s << kind << " in [" << lo << " - " << hi << "]";
        return s.str();
    };
    for (const auto& b : framesim::kCountBounds) {
        ASSERT_TRUE(listed.count(b.option)) << b.option;
        EXPECT_TRUE(listed.at(b.option).value.ends_with(":" + range_of("INT", b.lo, b.hi)))
            << b.option << " " << listed.at(b.option).value;
    }
    for (const auto& b : framesim::kRateBounds) {
        ASSERT_TRUE(listed.count(b.option)) << b.option;
        EXPECT_TRUE(listed.at(b.option).value.ends_with(":" + range_of("FLOAT", b.lo, b.hi)))
            << b.option << " " << listed.at(b.option).value;
    }
    for (const e2e::HelpOption& o : help) {
        SCOPED_TRACE(o.name + " " + o.value);
        EXPECT_EQ(o.name.rfind("--", 0), 0u);
        EXPECT_FALSE(o.description.empty());
        if (o.name == "--help" || o.name == "--version")
            continue;
        if (o.value.empty()) {
            const Ran r = framesim(w.path(), o.name + " --help");
            EXPECT_EQ(r.status, 0) << r.err;
            continue;
        }
        // "N:INT in [1 - 9]", "WHICH:{lossy,all,half}", "DIR": its name, then what it takes.
        const std::string name = o.value.substr(0, o.value.find(':'));
        EXPECT_TRUE(std::regex_match(name, std::regex("[A-Z]+")) && name != "TEXT" &&
                    name != "INT" && name != "FLOAT");
        const Ran bare = framesim(w.path(), o.name);
        EXPECT_EQ(bare.status, 2);
        EXPECT_EQ(bare.err.rfind("framesim: ", 0), 0u) << bare.err;
        EXPECT_NE(bare.err.find(o.name), std::string::npos) << bare.err;
        std::vector<std::string> values = {"1"};
        std::smatch m;
        if (std::regex_search(o.value, m, std::regex(R"(\{(.*)\}$)"))) {
            values = e2e::lines_of(std::regex_replace(m.str(1), std::regex(","), "\n"));
        } else if (std::regex_search(o.value, m, std::regex(R"(\[(\S+) - (\S+)\]$)"))) {
            values = {m.str(1), m.str(2)};
        }
        for (const std::string& v : values) {
            const Ran r = framesim(w.path(), o.name + " " + e2e::quoted(v) + " --help");
            EXPECT_EQ(r.status, 0) << v << ": " << r.err;
        }
    }
    EXPECT_EQ(snapshot(w.path()), "");
}

TEST(FramesimCli, BadArgumentsExitWithStatus2) {
    for (const char* args : {"--bogus", "--loss 1.5", "--loss=x", "--passes 0",
                             "--pages-per-file 12735", "--image-size -1", "--repeat some", "--seed",
                             "--crlf=maybe", "--out ''", "--style odd", "--live 0"}) {
        const Command c = framesim_cli(args);
        EXPECT_EQ(c.status, 2) << args;
        EXPECT_EQ(c.err.rfind("framesim: ", 0), 0u) << args;
        EXPECT_EQ(c.out, "") << args;
    }
}

TEST(FramesimCli, FailuresAtRunTimeExitWithStatus1) {
    const Command c = framesim_cli("--image /no/such/file");
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "framesim: cannot read /no/such/file: No such file or directory\n");
    const Command v = framesim_cli("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("framesim ", 0), 0u);
}

// Names Windows keeps for devices (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9 before the
// first dot, in any case) are no outputs of framesim on any platform: not a folder --out would
// make, nor the file --save-image names. The run would go into the device there; here nothing
// is written. A folder of such a name that is there already is used: it is no device here.
TEST(FramesimCli, RefusesDeviceNamesAsOutputs) {
    struct Case {
        std::string args, err;
    };
    const std::string folder = " is a device name on Windows; name another folder\n";
    const Case refused[] = {
        {"--out nul", "framesim: --out nul: nul" + folder},
        {"--out Con.run", "framesim: --out Con.run: Con.run" + folder},
        {"--out runs/cOM3.d/", "framesim: --out runs/cOM3.d/: cOM3.d" + folder},
        {"--out 'aux /run'", "framesim: --out aux /run: aux " + folder},
        {"--out ./Lpt9/run --ranges plan.txt --image img",
         "framesim: --out ./Lpt9/run: Lpt9" + folder},
        {"--out run --save-image out/prn.bin",
         "framesim: --save-image out/prn.bin is a device name on Windows; name another file\n"},
    };
    for (const Case& c : refused) {
        SCOPED_TRACE(c.args);
        Workdir w;
        e2e::write_file(w.path() + "/plan.txt", "5 0 5 3 r_5_0_5_3.txt\n");
        e2e::write_file(w.path() + "/img", std::string(1000, 'i'));
        fs::create_directory(w.path() + "/out");
        const std::string before = snapshot(w.path());
        const Ran r = framesim(w.path(), "--image-size 1000 " + c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(snapshot(w.path()), before);
    }
    Workdir w;
    fs::create_directories(w.path() + "/runs/con");
    const Ran r = framesim(w.path(), "--image-size 1000 --out runs/con");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(fs::is_regular_file(w.path() + "/runs/con/file_info.txt"));
}

// A folder that holds a run is kept unless --force is given; then the old run's files go,
// and only those, so no capture of another run is left behind.
TEST(FramesimCli, AnOldRunIsReplacedOnlyWithForce) {
    e2e::Workdir w;
    const std::string out = " --out '" + w.path() + "' --image-size 3000 ";
    const auto sim = [&](const std::string& args) {
        return std::system(
            ("'" FRAMESIM_EXE "'" + out + args + " >'" + w.path() + "/.said' 2>&1").c_str());
    };
    ASSERT_EQ(sim("--pages-per-file 4 --loss 0"), 0);
    w.write("notes.txt", "the operator's own file");
    EXPECT_EQ(WEXITSTATUS(sim("--pages-per-file 8 --loss 0")), 2);
    EXPECT_NE(e2e::read_file(w.path() + "/.said").find("already holds a run"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(w.path() + "/pass1_5_0_5_3.txt"));
    ASSERT_EQ(sim("--pages-per-file 8 --loss 0 --force"), 0);
    EXPECT_FALSE(std::filesystem::exists(w.path() + "/pass1_5_0_5_3.txt"));
    EXPECT_TRUE(std::filesystem::exists(w.path() + "/pass1_5_0_5_7.txt"));
    EXPECT_TRUE(std::filesystem::exists(w.path() + "/notes.txt"));
    // 12 pages in files of 8 (two captures), nothing lost: said in the singular where it is one.
    ASSERT_EQ(sim("--pages-per-file 8 --force --loss 0.01 --seed 4"), 0);
    const std::string said = e2e::read_file(w.path() + "/.said");
    EXPECT_EQ(said.find("frames dropped") == std::string::npos,
              said.find(", 1 frame dropped") != std::string::npos)
        << said;
}

TEST(FramesimCli, WritesARunAndItsDroppedList) {
    e2e::Workdir w;
    const std::string cmd = "'" FRAMESIM_EXE "' --out '" + w.path() +
                            "' --image-size 5000 --pages-per-file 8 --loss 0.2 --seed 3 "
                            "--save-image '" +
                            w.path() + "/sent.bin' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(e2e::read_file(w.path() + "/sent.bin").size(), 5000u);
    // 20 pages in files of 8: three captures, each listed with the slots it lost.
    const std::string info = e2e::read_file(w.path() + "/file_info.txt");
    EXPECT_NE(info.find("numfile 3\nSC_S 5\npass1_5_0_5_7.txt\npass1_5_8_5_15.txt\n"
                        "pass1_5_16_5_19.txt\n"),
              std::string::npos);
    const std::string dropped = e2e::read_file(w.path() + "/dropped.txt");
    EXPECT_EQ(dropped.rfind("pass1_5_0_5_7.txt:", 0), 0u);
    const e2e::RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    // The report of every file lists exactly the slots dropped.txt gives for it.
    size_t at = 0;
    for (std::string line; at < dropped.size(); at += line.size() + 1) {
        line = dropped.substr(at, dropped.find('\n', at) - at);
        const std::string name = line.substr(0, line.find(':'));
        std::string lacked;
        for (size_t p = line.find(' '); p != std::string::npos; p = line.find(' ', p + 1))
            lacked += "PN=" + line.substr(p + 1, line.find(' ', p + 1) - p - 1) + " is lacked.\r\n";
        const size_t report = r.out.find("\r\n\r\n", r.out.find("na=" + name));
        ASSERT_NE(report, std::string::npos) << name;
        EXPECT_EQ(r.out.compare(report + 4, lacked.size(), lacked), 0) << name;
    }
}

// --- framesim keeps an image's identity on a resend ---------------------------------------------

// The README's resend, with another --seed than the run's: the resend carries the run's own
// image, so the loop ends with that image and nothing contested.
TEST(Identity, AResendSendsTheImageOfTheRun) {
    Workdir w;
    const std::string dir = w.path();
    ASSERT_EQ(framesim(dir, "--out . --loss 0.05 --save-image sent.img").status, 0);
    EXPECT_EQ(lines_of(e2e::read_file(dir + "/file_info.txt"))[0],
              "framesim seed 1 imagesize 65536");
    ASSERT_EQ(imgcover(dir, "--plan plan.txt --next-info next.txt").status, 1);
    ASSERT_EQ(framesim(dir, "--out . --ranges plan.txt --loss 0 --seed 2").status, 0);
    fs::rename(dir + "/next.txt", dir + "/file_info.txt");
    const Ran r = imgcover(dir, "--json cover.json");
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    EXPECT_EQ(j["contested_bytes"], 0);
    EXPECT_EQ(r.status, 0) << r.out;
    const e2e::RunResult rebuilt = w.run();
    const std::string sent = e2e::read_file(dir + "/sent.img");
    EXPECT_TRUE(rebuilt.output.compare(0, sent.size(), sent) == 0);
}

struct Refusal {
    const char* line1; // line 1 of file_info.txt
    const char* args;  // more options of the resend
    int status;
    const char* message; // part of the message, or "" for none
};

TEST(Identity, WithoutFramesimsLineOneAResendNeedsImage) {
    const Refusal cases[] = {
        {"station 4 pass 2", "", 2, "is not framesim's, so the image of the run is unknown"},
        {"framesim seed 3", "", 2, "is not framesim's"},
        {"framesim seed 3 imagesize 99999999", "", 2, "is not framesim's"},
        {"framesim image from a file", "", 2, "was sent from an image file: give it with --image"},
        {"station 4 pass 2", " --image img.bin", 0, ""},
    };
    for (const Refusal& c : cases) {
        SCOPED_TRACE(c.line1 + std::string(c.args));
        Workdir w;
        const std::string dir = w.path();
        ASSERT_EQ(framesim(dir, "--out . --loss 0.2 --image-size 4000").status, 0);
        std::vector<std::string> l = lines_of(e2e::read_file(dir + "/file_info.txt"));
        l[0] = c.line1;
        std::string text;
        for (const std::string& x : l)
            text += x + "\n";
        e2e::write_file(dir + "/file_info.txt", text);
        e2e::write_file(dir + "/img.bin", std::string(4000, 'x'));
        e2e::write_file(dir + "/plan.txt", "5 0 5 1 again_5_0_5_1.txt\n");
        const Ran r = framesim(dir, "--out . --ranges plan.txt" + std::string(c.args));
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(fs::exists(dir + "/again_5_0_5_1.txt"), c.status == 0);
    }
}

} // namespace

// framesim's numeric options: one table of bounds, which the command line and check_options
// both take, so that the two never disagree about a value.
namespace {

// A value as the command line takes it.
std::string text_of(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.17g", v);
    return buf;
}

// For every row: the bounds themselves are taken, a value just outside each is refused, by the
// program's command line (exit 2, naming the option) and by check_options alike.
TEST(FramesimBounds, TheCommandLineAndTheCheckTakeTheSameValues) {
    e2e::Workdir w;
    const auto check = [&](const char* option, const std::string& value, bool taken,
                           const std::string& refused_by_check) {
        const e2e::Ran r = e2e::sh(
            w.path(), e2e::kFramesim + " --out run " + option + " " + value + " --help", 60);
        EXPECT_EQ(r.status, taken ? 0 : 2) << option << " " << value << "\n" << r.err;
        if (!taken) {
            EXPECT_EQ(r.err.rfind(std::string("framesim: ") + option + " must be", 0), 0u) << r.err;
        }
        EXPECT_EQ(refused_by_check.empty(), taken) << option << " " << value;
        if (!taken) {
            EXPECT_EQ(refused_by_check.rfind(option, 0), 0u) << refused_by_check;
        }
    };
    for (const framesim::Bound<int32_t>& b : framesim::kCountBounds) {
        for (const int64_t v :
             {int64_t{b.lo} - 1, int64_t{b.lo}, int64_t{b.hi}, int64_t{b.hi} + 1}) {
            framesim::Options o;
            const bool taken = v >= b.lo && v <= b.hi;
            if (taken)
                o.*b.field = static_cast<int32_t>(v);
            else
                o.*b.field = v < b.lo ? b.lo - 1 : b.hi + 1;
            check(b.option, std::to_string(v), taken, framesim::check_options(o));
        }
    }
    for (const framesim::Bound<double>& b : framesim::kRateBounds) {
        for (const double v : {b.lo - 0.0005, b.lo, b.hi, b.hi * 1.5 + 0.5}) {
            framesim::Options o;
            o.*b.field = v;
            const bool taken = v >= b.lo && v <= b.hi;
            check(b.option, text_of(v), taken, framesim::check_options(o));
        }
    }
}

} // namespace

namespace {

// A command of framesim's that must refuse to write through a link or onto a file of the run,
// and leave the decoy outside the folder as it was.
struct LinkCase {
    const char* label;
    std::string setup;   // shell commands run in the test's folder first
    std::string command; // framesim's arguments
    int status;
    std::string err; // a part of standard error
};

void PrintTo(const LinkCase& c, std::ostream* os) {
    *os << c.label;
}

class NoWriteThrough : public ::testing::TestWithParam<LinkCase> {};

TEST_P(NoWriteThrough, RefusesAndLeavesTheDecoy) {
    const LinkCase& c = GetParam();
    Workdir w;
    e2e::write_file(w.path() + "/victim", "decoy");
    const Ran set = sh(w.path(), c.setup);
    ASSERT_EQ(set.status, 0) << set.err;
    const Ran r = framesim(w.path(), c.command);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(read_file(w.path() + "/victim"), "decoy");
}

// A run to resend into, with the plan of what it lacks.
const std::string kRunAndPlan =
    kFramesim + " --out run --image-size 16384 --loss 0.2 >/dev/null && cd run && " + kImgcover +
    " --plan ../plan.txt --next-info ../next.txt . >/dev/null; test -s ../plan.txt && cd .. && ";

INSTANTIATE_TEST_SUITE_P(
    Framesim, NoWriteThrough,
    ::testing::Values(
        LinkCase{"capture_name_is_a_link", "mkdir run && ln -s ../victim run/pass1_5_0_5_63.txt",
                 "--out run --image-size 16384", 1,
                 "framesim: cannot create run/pass1_5_0_5_63.txt: File exists"},
        LinkCase{"run_description_is_a_link_under_force",
                 "mkdir run && ln -s ../victim run/file_info.txt && echo x > run/dropped.txt",
                 "--out run --image-size 16384 --force", 2,
                 "framesim: run/file_info.txt is not a regular file; framesim writes no file "
                 "through it"},
        LinkCase{"dropped_list_is_a_link_on_a_resend",
                 kRunAndPlan + "rm run/dropped.txt && ln -s ../victim run/dropped.txt",
                 "--out run --ranges plan.txt", 2,
                 "framesim: run/dropped.txt is not a regular file; framesim writes no file "
                 "through it"},
        LinkCase{"save_image_onto_the_run_description", "true",
                 "--out r2 --image-size 1000 --save-image r2/file_info.txt", 2,
                 "framesim: --save-image r2/file_info.txt is r2/file_info.txt, a file of the run "
                 "or an input"},
        LinkCase{"save_image_onto_its_input", "head -c 1000 /dev/zero > img",
                 "--out r2 --image img --save-image ./img", 2,
                 "framesim: --save-image ./img is img, a file of the run or an input"},
        LinkCase{"save_image_onto_a_capture", "true",
                 "--out r2 --image-size 1000 --save-image r2/pass1_5_0_5_3.txt", 2,
                 "a file of the run or an input"},
        LinkCase{"save_image_onto_a_link", "ln -s victim saved",
                 "--out r2 --image-size 1000 --save-image saved", 2,
                 "framesim: saved is not a regular file; framesim writes no file through it"},
        LinkCase{"save_image_onto_a_device_name", "true",
                 "--out r2 --image-size 1000 --save-image Nul.img", 2,
                 "framesim: --save-image Nul.img is a device name on Windows"}));

// A resend adds its lines to a dropped.txt that has some, and keeps every one of them.
TEST(Resend, AppendsToTheDroppedListItFinds) {
    Workdir w;
    ASSERT_EQ(sh(w.path(), kRunAndPlan + "true").status, 0);
    const std::string before = read_file(w.path() + "/run/dropped.txt");
    ASSERT_FALSE(lines_of(before).empty());
    const Ran r = framesim(w.path(), "--out run --ranges plan.txt --loss 0.5 --seed 3");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string after = read_file(w.path() + "/run/dropped.txt");
    ASSERT_EQ(after.compare(0, before.size(), before), 0) << after;
    const std::vector<std::string> plan = lines_of(read_file(w.path() + "/plan.txt"));
    const std::vector<std::string> added = lines_of(after.substr(before.size()));
    ASSERT_EQ(added.size(), plan.size());
    for (size_t k = 0; k < plan.size(); ++k)
        EXPECT_EQ(added[k].rfind(plan[k].substr(plan[k].rfind(' ') + 1) + ":", 0), 0u) << added[k];
}

// Every file framesim writes, when the system refuses a write: the message names the file and
// gives the system's reason, the status is 1, and framesim says nothing of a run written. The
// refusal comes from a file size limit (ulimit -f, with SIGXFSZ ignored, so that the write
// fails with EFBIG, "File too large"), which needs no privilege; a full disk takes the same
// path with ENOSPC (the replace table's full-disk rows, where a small filesystem can be
// mounted). The limit is set in the subshell that runs framesim only, and its messages go
// through a pipe, which no size limit holds.
TEST(FramesimCli, AFailedWriteSaysWhy) {
    struct Case {
        const char* what;
        std::string setup; // run first, with no limit
        int blocks;        // the limit, in blocks of 512 bytes
        std::string args;  // framesim's
        std::string out;   // all framesim says, stdout and stderr
        std::string kept;  // a file that keeps its content, or empty
    };
    const std::string run = kFramesim + " --out run --image-size 65536 --loss 0.9 >/dev/null && " +
                            "printf '5 0 5 0 re_5_0_5_0.txt\\n' >plan.txt";
    const std::string why = ": File too large\n";
    const Case cases[] = {
        {"a capture", "true", 0, "--out r --image-size 3000",
         "framesim: cannot write r/pass1_5_0_5_11.txt" + why, ""},
        {"the run description", "true", 0, "--out r --image-size 0",
         "framesim: cannot write r/file_info.txt" + why, ""},
        {"a capture written live", "true", 1, "--out r --image-size 3000 --live 1e9",
         "framesim: cannot write r/pass1_5_0_5_11.txt" + why, ""},
        {"the dropped list on a resend", run, 1, "--out run --ranges plan.txt --loss 1",
         "framesim: cannot write run/dropped.txt" + why, "run/dropped.txt"},
        {"the saved image", "true", 16,
         "--out r --image-size 100000 --pages-per-file 1 --save-image saved.bin",
         "framesim: cannot write saved.bin" + why, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Workdir w;
        const Ran set = sh(w.path(), c.setup);
        ASSERT_EQ(set.status, 0) << set.err;
        const std::string kept = c.kept.empty() ? "" : read_file(w.path() + "/" + c.kept);
        ASSERT_TRUE(c.kept.empty() || kept.size() > 512u) << kept;
        const Ran r =
            sh(w.path(), "set -o pipefail; (ulimit -f " + std::to_string(c.blocks) +
                             "; trap '' XFSZ; exec " + kFramesim + " " + c.args + ") 2>&1 | cat");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, c.out);
        EXPECT_EQ(c.kept.empty() ? "" : read_file(w.path() + "/" + c.kept), kept);
        const Ran tmp = sh(w.path(), "find . -name '*.tmp' | grep -q . && echo left || true");
        EXPECT_EQ(tmp.out, "");
    }
}

} // namespace
