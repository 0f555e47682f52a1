// imgcover's command line: exit statuses and messages, outputs that are inputs, a full disk or
// standard output, bad options, and memory running out. Decoy files stay as they were.
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
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "expected.hpp"
#include "png_check.hpp"
#include "small_run.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::kLate;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::SmallRun;
using e2e::snapshot;
using e2e::Workdir;
using namespace expected;

namespace {

// imgcover run in `dir` with `args`.
Ran cover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
}

// The run folder is a 1 MiB filesystem filled to its last page after the old output was
// written: the new output's writes land in the stream's buffer and fail only when the file is
// closed. The old file must stay as it was, with no temporary file beside it, and the exit
// status must be 2.
class FullDisk : public ::testing::TestWithParam<const char*> {};

TEST_P(FullDisk, TheOldOutputStaysAndTheRunFails) {
    const std::string option = GetParam();
    Workdir w;
    const std::string dir = w.path() + "/run";
    fs::create_directory(dir);
    if (::mount("tmpfs", dir.c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small filesystem here (needs root)";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount(path.c_str()); }
    } unmount{dir};
    const std::string na = "a_0_0_0_6.txt";
    e2e::write_file(dir + "/file_info.txt", run_info(2000, 1, 0, {na}));
    e2e::write_file(dir + "/" + na, frames_except(11, {2}));
    e2e::write_file(dir + "/out", "old");
    const int fd = ::open((dir + "/filler").c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0);
    const std::string block(4096, 'x');
    while (::write(fd, block.data(), block.size()) > 0) {
    }
    ::close(fd);
    const Ran r = sh(w.path(), kImgcover + " " + "run " + option + " run/out");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.rfind("imgcover: cannot write", 0), 0u) << r.err;
    EXPECT_EQ(e2e::read_file(dir + "/out"), "old");
    EXPECT_FALSE(fs::exists(dir + "/.out.tmp"));
}

INSTANTIATE_TEST_SUITE_P(Outputs, FullDisk,
                         ::testing::Values("--json", "--plan", "--next-info", "--map",
                                           "--width 8 --picture", "--rebuilt"));

struct ExitCase {
    const char* name;
    std::string file_info; // empty: none
    std::string args;
    int status;
    const char* err; // what stderr starts with
};

void PrintTo(const ExitCase& c, std::ostream* os) {
    *os << c.name;
}

class Exit : public ::testing::TestWithParam<ExitCase> {};

TEST_P(Exit, StatusAndMessage) {
    const ExitCase& c = GetParam();
    Workdir w;
    if (!c.file_info.empty())
        w.write("file_info.txt", c.file_info);
    const Ran r = cover(w.path(), c.args);
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_EQ(r.err.substr(0, std::strlen(c.err)), c.err);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Exit,
    ::testing::Values(
        ExitCase{"complete", run_info(0, 0, 0, {}), "", 0, ""},
        ExitCase{"nothing received", run_info(10, 0, 0, {}), "", 1, ""},
        ExitCase{"no run description", "", "", 2, "imgcover: cannot open"},
        ExitCase{"head refused", "a\nimagesize 10\nnumfile x\nSC_S 0\n", "", 2, "imgcover: "},
        ExitCase{"head too short", "a\nimagesize 10\n", "", 2, "imgcover: "},
        ExitCase{"imagesize too large", run_info(23998977, 0, 0, {}), "", 2, "imgcover: "},
        ExitCase{"negative imagesize", run_info(-1, 0, 0, {}), "", 2, "imgcover: "},
        ExitCase{"unknown option", run_info(0, 0, 0, {}), "--frobnicate", 2, "imgcover: "},
        ExitCase{"prefix with an underscore", run_info(0, 0, 0, {}), "--prefix a_b", 2,
                 "imgcover: --prefix"},
        ExitCase{"prefix with a slash", run_info(0, 0, 0, {}), "--prefix a/b", 2,
                 "imgcover: --prefix"},
        ExitCase{"empty prefix", run_info(0, 0, 0, {}), "--prefix ''", 2, "imgcover: --prefix"},
        ExitCase{"help", "", "--help", 0, ""}, ExitCase{"version", "", "--version", 0, ""}));

struct ClashCase {
    const char* name;
    std::string args; // run from the folder that holds run/
    std::string err;
};

void PrintTo(const ClashCase& c, std::ostream* os) {
    *os << c.name;
}

class OutputThatIsAnInput : public ::testing::TestWithParam<ClashCase> {};

// An output that is an input or another output is refused before anything is written: the
// folder stays as it was and no report is printed.
TEST_P(OutputThatIsAnInput, IsRefusedBeforeAnythingIsWritten) {
    const ClashCase& c = GetParam();
    Workdir w;
    const SmallRun small(w);
    fs::create_symlink("file_info.txt", small.run + "/info-link.txt");
    fs::create_hard_link(small.run + "/pass1_5_4_5_7.txt", small.run + "/hard.txt");
    const std::string before = snapshot(w.path()) + snapshot(small.run);
    for (const char* watch : {"", " --watch --until-complete --interval 0.1"}) {
        const Ran r = sh(w.path(), "TERM=dumb timeout 60 " + kImgcover + " run " + c.args + watch);
        EXPECT_EQ(r.status, 2) << watch;
        EXPECT_EQ(r.err, "imgcover: " + c.err + "\n") << watch;
        EXPECT_EQ(r.out, "") << watch;
        EXPECT_EQ(snapshot(w.path()) + snapshot(small.run), before) << watch;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Attacks, OutputThatIsAnInput,
    ::testing::Values(
        ClashCase{"json_is_the_run_description", "--json run/file_info.txt",
                  "--json run/file_info.txt is the run description it reads; name another file"},
        ClashCase{"by_a_link", "--next-info run/info-link.txt",
                  "--next-info run/info-link.txt is the run description it reads; name another "
                  "file"},
        ClashCase{"plan_is_a_capture", "--plan run/pass1_5_0_5_3.txt",
                  "--plan run/pass1_5_0_5_3.txt is a capture the run lists; name another file"},
        ClashCase{"by_a_hard_link", "--rebuilt run/hard.txt",
                  "--rebuilt run/hard.txt is a capture the run lists; name another file"},
        ClashCase{"a_capture_not_received_yet", "--map run/./late_5_0_5_3.txt",
                  "--map run/./late_5_0_5_3.txt is a capture the run lists; name another file"},
        ClashCase{"two_outputs", "--plan p.txt --json ./p.txt",
                  "--json ./p.txt and --plan p.txt are the same file; name two"}));

// Every write to standard output is checked: a full device is a failure with its reason.
TEST(StandardOutput, AFullDeviceIsAFailureWithItsReason) {
    if (!fs::exists("/dev/full"))
        GTEST_SKIP() << "no /dev/full here";
    Workdir w;
    const SmallRun small(w);
    const struct {
        std::string command, program;
    } cases[] = {
        {kImgcover + " run", "imgcover"},         {kImgcover + " run --json -", "imgcover"},
        {kImgcover + " --help", "imgcover"},      {kImgcover + " --version", "imgcover"},
        {kFramesim + " --out other", "framesim"}, {kFramesim + " --help", "framesim"},
    };
    for (const auto& c : cases) {
        const Ran r = sh(w.path(), c.command + " >/dev/full");
        EXPECT_EQ(r.status, 2) << c.command;
        const std::string said = c.program + ": cannot write standard output: No space left on "
                                             "device\n";
        EXPECT_TRUE(r.err.ends_with(said)) << c.command << ": " << r.err;
    }
}

// A reader that has left is a failed write like a full device: exit 2 with the reason, never
// death by a signal, and no temporary file left beside an output.
TEST(StandardOutput, AReaderThatLeftIsAFailureWithItsReason) {
    Workdir w;
    const SmallRun small(w);
    const struct {
        std::string command, program;
    } cases[] = {
        {kImgcover + " run --json - --plan plan.txt", "imgcover"},
        {kImgcover + " run --plan plan.txt", "imgcover"},
        {kImgcover + " --help", "imgcover"},
        {kFramesim + " --help", "framesim"},
        {kFramesim + " --out other --force", "framesim"},
    };
    for (const auto& c : cases) {
        // The reader closes its end and only then lets the command start: the pipe has no
        // reader when the command writes, whatever the timing.
        const Ran r =
            sh(w.path(), "rm -f gate status plan.txt; mkfifo gate; { cat gate "
                         ">/dev/null; " +
                             c.command + "; echo $? >status; } | { exec 0<&-; echo >gate; }");
        EXPECT_EQ(r.status, 0) << c.command << ": " << r.err;
        EXPECT_EQ(read_file(w.path() + "/status"), "2\n") << c.command;
        const std::string said = c.program + ": cannot write standard output: Broken pipe\n";
        EXPECT_TRUE(r.err.ends_with(said)) << c.command << ": " << r.err;
        for (const auto& e : fs::directory_iterator(w.path()))
            EXPECT_FALSE(e.path().string().ends_with(".tmp")) << c.command << ": " << e.path();
        for (const auto& e : fs::directory_iterator(w.path() + "/run"))
            EXPECT_FALSE(e.path().string().ends_with(".tmp")) << c.command << ": " << e.path();
        if (c.command.find("--plan") != std::string::npos) {
            EXPECT_FALSE(read_file(w.path() + "/plan.txt").empty()) << c.command;
        }
    }
}

// Bad command lines: exit 2 and one sentence saying what is wrong.
TEST(Usage, BadOptionsAreSaidAsSentences) {
    Workdir w;
    const SmallRun small(w);
    const struct {
        std::string args, err;
    } cases[] = {
        {kImgcover + " run --prefix $'\xff' --json -",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kImgcover + " run --prefix 'a b'",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kImgcover + " run --prefix a_b",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kImgcover + " run --prefix ../x",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kImgcover + " run --prefix ''",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kImgcover + " run --prefix nul.x",
         "imgcover: --prefix must not begin with a device name of Windows (CON, PRN, AUX, NUL, "
         "COM1 to COM9, LPT1 to LPT9) before its first dot\n"},
        {kImgcover + " run --prefix Com3",
         "imgcover: --prefix must not begin with a device name of Windows (CON, PRN, AUX, NUL, "
         "COM1 to COM9, LPT1 to LPT9) before its first dot\n"},
        {kImgcover + " run --plan plan.txt --prefix " + std::string(500, 'p'),
         "imgcover: --prefix must be at most 203 characters, so that a capture name fits 255 "
         "bytes\n"},
        {kImgcover + " run --watch --json -",
         "imgcover: --json - cannot go with --watch, whose view owns standard output; name a "
         "file\n"},
        {kImgcover + " run --map-width 0",
         "imgcover: --map-width must be between 1 and 65536\n(try imgcover --help)\n"},
        {kImgcover + " run --width 64", "imgcover: --width needs --picture\n"},
        {kImgcover + " run --offset 5 --map m.png", "imgcover: --offset needs --picture\n"},
        {kImgcover + " run --pixel rgb24", "imgcover: --pixel needs --picture\n"},
        {kImgcover + " run --hole-color 00ff00", "imgcover: --hole-color needs --picture\n"},
        {kImgcover + " run --cell 16 --picture p.png --width 64", "imgcover: --cell needs --map\n"},
        {kImgcover + " run --map-width 8", "imgcover: --map-width needs --map\n"},
        {kImgcover + " run --interval 0.01",
         "imgcover: --interval must be between 0.1 and 3600\n(try imgcover --help)\n"},
        {kFramesim + " --loss 2",
         "framesim: --loss must be between 0 and 1\n(try framesim --help)\n"},
        {kFramesim + " --passes x",
         "framesim: --passes must be a number between 1 and 9, not x\n(try framesim --help)\n"},
    };
    for (const auto& c : cases) {
        const Ran r = sh(w.path(), c.args);
        EXPECT_EQ(r.status, 2) << c.args;
        EXPECT_EQ(r.err, c.err) << c.args;
        EXPECT_EQ(r.out, "") << c.args;
    }
    EXPECT_FALSE(fs::exists(w.path() + "/m.png"));
    EXPECT_FALSE(fs::exists(w.path() + "/p.png"));
    // Prefixes of the allowed characters, "auto" among them, are taken.
    for (const std::string& prefix :
         std::vector<std::string>{"auto", "r2", "Retry-1.b", "con-1", std::string(203, 'p')}) {
        const Ran r = sh(w.path(), kImgcover + " run --prefix " + prefix);
        EXPECT_EQ(r.status, 1) << prefix << ": " << r.err;
    }
}

// A picture is written under exactly the name given: nothing is appended, whatever it ends in;
// the options that shape it are taken with it.
TEST(ImgcoverOutputs, PicturesAreWrittenUnderTheNameGiven) {
    Workdir w;
    const SmallRun small(w);
    const Ran r = sh(small.run, kImgcover + " --map coverage --picture live.img --width 64 "
                                            "--pixel rgb24 --offset 5 --hole-color 00ff00");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(png_check::read_file(small.run + "/coverage").error, "");
    EXPECT_EQ(png_check::read_file(small.run + "/live.img").error, "");
    EXPECT_FALSE(fs::exists(small.run + "/coverage.png"));
    EXPECT_FALSE(fs::exists(small.run + "/live.img.png"));
}

// A planned name that the run already lists, however often, moves the plan to the next free
// prefix, said in one line; a name listed that the plan does not use changes nothing.
TEST(ImgcoverOutputs, PlannedNamesAlreadyListedMoveThePlanOnce) {
    Workdir w;
    const Ran made = sh(w.path(), kFramesim + " --out . --image-size 16384 >/dev/null");
    ASSERT_EQ(made.status, 0) << made.err;
    const Ran plan = sh(w.path(), kImgcover + " --plan plan.txt");
    ASSERT_EQ(plan.status, 1) << plan.err;
    const std::string planned = e2e::read_file(w.path() + "/plan.txt");
    const std::string name =
        planned.substr(planned.rfind(' ') + 1, planned.find('\n') - planned.rfind(' ') - 1);
    ASSERT_EQ(name, "retry_5_31_5_31.txt");
    // The run lists the planned name three times and another name once, none of them there.
    std::string info = e2e::read_file(w.path() + "/file_info.txt");
    info.replace(info.find("numfile 1"), 9, "numfile 5");
    info += name + "\n" + name + "\nother_5_0_5_1.txt\n" + name + "\n";
    w.write("file_info.txt", info);
    const Ran r = sh(w.path(), kImgcover + " --plan plan.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("imgcover: warning: names with prefix retry are listed already: the plan "
                         "uses retry2 instead, so that no name is listed twice\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("listed already"), r.err.rfind("listed already")) << r.err;
    EXPECT_EQ(e2e::read_file(w.path() + "/plan.txt"), "5 31 5 31 retry2_5_31_5_31.txt\n");
}

// An allocation that fails is a message and exit 2, never an abort.
TEST(Memory, AnAllocationFailureIsAMessage) {
    if (e2e::kUnderSanitizer)
        GTEST_SKIP() << "the address sanitizer needs more address space than the limit";
    Workdir w;
    ASSERT_EQ(sh(w.path(), kFramesim + " --out run --max").status, 0);
    const Ran r = sh(w.path(), "ulimit -v 60000 && " + kImgcover + " run --rebuilt x.bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "imgcover: out of memory\n");
    EXPECT_FALSE(fs::exists(w.path() + "/x.bin"));
}

} // namespace
