// Attacks on the companions, tried as an adversary would, each against the built programs in
// fresh folders: names that point outside the working folder, outputs that are inputs, a full
// standard output, bad options and hostile plans. Decoy files outside the folder must stay as
// they were.
#include <gtest/gtest.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "plan_reader.hpp"
#include "workdir.hpp"

namespace {

namespace fs = std::filesystem;
using e2e::read_file;
using e2e::Workdir;

struct Ran {
    int status;
    std::string out, err;
};

// Runs `command` (a shell command line) in `dir`, its output kept outside the folder unless
// the command sends it elsewhere.
Ran sh(const std::string& dir, const std::string& command) {
    static const Workdir outputs;
    static int calls = 0;
    const std::string base =
        outputs.path() + "/" + std::to_string(::getpid()) + "-" + std::to_string(++calls);
    const std::string cmd = "cd '" + dir + "' && { " + command + "; } </dev/null >'" + base +
                            ".out' 2>'" + base + ".err'";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read_file(base + ".out"),
            read_file(base + ".err")};
}

const std::string kFramesim = "'" FRAMESIM_EXE "'";
const std::string kCover = "'" IMGCOVER_EXE "'";

// The names in a folder and the bytes of each regular file: what a failed command must leave.
std::string snapshot(const std::string& dir) {
    std::set<std::string> lines;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        lines.insert(name + (e.is_symlink()        ? " -> link"
                             : e.is_regular_file() ? " = " + read_file(e.path().string())
                                                   : " (folder)"));
    }
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    return s;
}

// --- framesim's plan ---------------------------------------------------------------------

struct PlanCase {
    const char* name;
    std::string plan; // DECOY stands for the decoy folder's path
    std::string err;  // what framesim says, after "framesim: plan.txt:"
};

void PrintTo(const PlanCase& c, std::ostream* os) {
    *os << c.name;
}

class BadPlan : public ::testing::TestWithParam<PlanCase> {};

// A plan with one bad line is refused whole: no capture written, dropped.txt as it was, and
// nothing outside the folder touched.
TEST_P(BadPlan, IsRefusedWholeBeforeAnythingIsWritten) {
    const PlanCase& c = GetParam();
    Workdir w, decoy;
    decoy.write("r_5_0_5_3.txt", "decoy");
    std::string plan = c.plan, err = c.err;
    for (std::string* s : {&plan, &err}) {
        for (size_t at; (at = s->find("DECOY")) != std::string::npos;)
            s->replace(at, 5, decoy.path());
    }
    fs::create_directory(w.path() + "/run");
    fs::create_directory(w.path() + "/outside");
    e2e::write_file(w.path() + "/run/dropped.txt", "earlier: 1\n");
    w.write("plan.txt", plan);
    const std::string before =
        snapshot(w.path() + "/run") + snapshot(w.path() + "/outside") + snapshot(decoy.path());
    const Ran r = sh(w.path(), kFramesim + " --out run --ranges plan.txt --image-size 9000");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "framesim: plan.txt:" + err + "\n");
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(snapshot(w.path() + "/run") + snapshot(w.path() + "/outside") +
                  snapshot(decoy.path()),
              before);
    EXPECT_FALSE(fs::exists(w.path() + "/r_5_0_5_3.txt"));
}

const std::string kGood = "5 0 5 3 r_5_0_5_3.txt\n";

INSTANTIATE_TEST_SUITE_P(
    Attacks, BadPlan,
    ::testing::Values(
        PlanCase{"parent_folder", kGood + "5 0 5 3 ../outside/r_5_0_5_3.txt\n",
                 "2: the name ../outside/r_5_0_5_3.txt has a folder part"},
        PlanCase{"absolute", "5 0 5 3 DECOY/r_5_0_5_3.txt\n",
                 "1: the name DECOY/r_5_0_5_3.txt has a folder part"},
        PlanCase{"backslash", "5 0 5 3 ..\\r_5_0_5_3.txt\n",
                 "1: the name ..\\\\r_5_0_5_3.txt has a folder part"},
        PlanCase{"drive_prefix", "5 0 5 3 Z:r_5_0_5_3.txt\n",
                 "1: the name Z:r_5_0_5_3.txt has a drive or stream prefix (':')"},
        PlanCase{"dot_dot", "5 0 5 3 ..\n", "1: the name .. is . or .."},
        PlanCase{"dot", "5 0 5 3 .\n", "1: the name . is . or .."},
        PlanCase{"trailing_dot", "5 0 5 3 r_5_0_5_3.txt.\n",
                 "1: the name r_5_0_5_3.txt. ends in a dot or a space"},
        PlanCase{"control_character", "5 0 5 3 r_5_0_5_3\x1b.txt\n",
                 "1: the name r_5_0_5_3\\x1b.txt holds a control character"},
        PlanCase{"bad_range_after_a_good_line", kGood + "5 0 5 -3 r_5_0_5_-3.txt\n",
                 "2: the range 5 0 5 -3 holds fewer than 1 or more than 12734 pages"},
        PlanCase{"range_too_long", "0 0 20 0 r_0_0_20_0.txt\n",
                 "1: the range 0 0 20 0 holds fewer than 1 or more than 12734 pages"},
        PlanCase{"duplicate", kGood + "\n" + kGood,
                 "3: the name r_5_0_5_3.txt is planned on line 1 already"},
        PlanCase{"name_states_another_range", "5 0 5 3 r_5_0_5_7.txt\n",
                 "1: the name r_5_0_5_7.txt does not state the range 5 0 5 3 as "
                 "PREFIX_SSC_SP_ESC_EP, so the rebuild would not read it"},
        PlanCase{"name_states_no_range", "5 0 5 3 notes.txt\n",
                 "1: the name notes.txt does not state the range 5 0 5 3 as "
                 "PREFIX_SSC_SP_ESC_EP, so the rebuild would not read it"},
        PlanCase{"too_few_fields", "5 0 5 r_5_0_5_3.txt\n",
                 "1: EP is not a whole number of 32 bits"},
        PlanCase{"no_name", kGood + "5 0 5 3\n", "2: not 'SSC SP ESC EP NAME'"},
        PlanCase{"extra_field", "5 0 5 3 r_5_0_5_3.txt x\n", "1: not 'SSC SP ESC EP NAME'"},
        PlanCase{"hex", "0x5 0 5 3 r_5_0_5_3.txt\n", "1: SSC is not a whole number of 32 bits"},
        PlanCase{"overflow", "5 99999999999 5 3 r_5_0_5_3.txt\n",
                 "1: SP is not a whole number of 32 bits"},
        PlanCase{"tab_separated", "5\t0 5 3 r_5_0_5_3.txt\n",
                 "1: SSC is not a whole number of 32 bits"},
        PlanCase{"nul_in_name", std::string("5 0 5 3 r_5_0_5_3.txt\0x\n", 24),
                 "1: the name r_5_0_5_3.txt\\x00x holds a control character"},
        PlanCase{"line_too_long", kGood + std::string(20000, '5') + "\n",
                 "2: longer than 19999 characters"}));

// Blank lines, CR LF line ends and a last line without one are all a plan may have; each
// request becomes its capture, and dropped.txt gains a line for each.
TEST(Plan, TakesBlankLinesAndEitherLineEnd) {
    Workdir w;
    // A resend adds to a run that framesim sent: its first line names the image.
    w.write("file_info.txt", "framesim seed 1 imagesize 65536\n");
    w.write("plan.txt", "\n  \r\n5 0 5 3 r_5_0_5_3.txt\r\n\n  6 1 6 1 r_6_1_6_1.txt");
    const Ran r = sh(w.path(), kFramesim + " --out . --ranges plan.txt --loss 0");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "framesim: 2 capture files in ., 0 frames dropped\n");
    EXPECT_EQ(read_file(w.path() + "/dropped.txt"), "r_5_0_5_3.txt:\nr_6_1_6_1.txt:\n");
    const std::string one_page = read_file(w.path() + "/r_6_1_6_1.txt");
    EXPECT_EQ(std::count(one_page.begin(), one_page.end(), '\n'), 2); // 256 bytes: two slots
}

// The reader's rule for names, by itself.
TEST(Plan, NameFaults) {
    for (const char* plain : {"r_5_0_5_3.txt", "a", "...a", "a..b", "-x_1_2_3_4", "é"})
        EXPECT_EQ(framesim::name_fault(plain), nullptr) << plain;
    for (const char* bad : {"", ".", "..", "a/b", "/a", "a\\b", "C:a", "a:b", "a ", "a.", "\t"})
        EXPECT_NE(framesim::name_fault(bad), nullptr) << bad;
}

// --- framesim --force --------------------------------------------------------------------

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

// --- imgcover's outputs -------------------------------------------------------------------

// What imgcover says of the capture SmallRun lists but does not have.
const std::string kLate =
    "imgcover: warning: cannot open run/late_5_0_5_3.txt: counted as not received yet\n";

// A run of three captures in DIR/run, whose file_info.txt also lists one not received yet.
struct SmallRun {
    std::string run;
    explicit SmallRun(const Workdir& w) : run(w.path() + "/run") {
        const Ran r = sh(w.path(), kFramesim + " --out run --image-size 3000 --pages-per-file 4 "
                                               "--loss 0.1 --seed 2");
        EXPECT_EQ(r.status, 0) << r.err;
        std::string info = read_file(run + "/file_info.txt");
        info.replace(info.find("numfile 3"), 9, "numfile 4");
        e2e::write_file(run + "/file_info.txt", info + "late_5_0_5_3.txt\n");
    }
};

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
        const Ran r = sh(w.path(), "TERM=dumb timeout 60 " + kCover + " run " + c.args + watch);
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
        {kCover + " run", "imgcover"},
        {kCover + " run --json -", "imgcover"},
        {kCover + " --help", "imgcover"},
        {kCover + " --version", "imgcover"},
        {kFramesim + " --out other", "framesim"},
        {kFramesim + " --help", "framesim"},
    };
    for (const auto& c : cases) {
        const Ran r = sh(w.path(), c.command + " >/dev/full");
        EXPECT_EQ(r.status, 2) << c.command;
        const std::string said = c.program + ": cannot write standard output: No space left on "
                                             "device\n";
        EXPECT_TRUE(r.err.ends_with(said)) << c.command << ": " << r.err;
    }
}

// Bad command lines: exit 2 and one sentence saying what is wrong.
TEST(Usage, BadOptionsAreSaidAsSentences) {
    Workdir w;
    const SmallRun small(w);
    const struct {
        std::string args, err;
    } cases[] = {
        {kCover + " run --prefix $'\xff' --json -",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kCover + " run --prefix 'a b'",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kCover + " run --prefix a_b",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kCover + " run --prefix ../x",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kCover + " run --prefix ''",
         "imgcover: --prefix must be letters, digits, '-' and '.' only, at least one\n"},
        {kCover + " run --watch --json -",
         "imgcover: --json - cannot go with --watch, whose view owns standard output; name a "
         "file\n"},
        {kCover + " run --map-width 0",
         "imgcover: --map-width must be between 1 and 65536\n(try imgcover --help)\n"},
        {kCover + " run --interval 0.01",
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
    // Prefixes of the allowed characters, "auto" among them, are taken.
    for (const char* prefix : {"auto", "r2", "Retry-1.b"}) {
        const Ran r = sh(w.path(), kCover + " run --prefix " + prefix);
        EXPECT_EQ(r.status, 1) << prefix << ": " << r.err;
    }
}

// An allocation that fails is a message and exit 2, never an abort.
TEST(Memory, AnAllocationFailureIsAMessage) {
#if defined(__SANITIZE_ADDRESS__)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit";
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
    GTEST_SKIP() << "the address sanitizer needs more address space than the limit";
#endif
#endif
    Workdir w;
    ASSERT_EQ(sh(w.path(), kFramesim + " --out run --max").status, 0);
    const Ran r = sh(w.path(), "ulimit -v 60000 && " + kCover + " run --rebuilt x.bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "imgcover: out of memory\n");
    EXPECT_FALSE(fs::exists(w.path() + "/x.bin"));
}

// --- Replacing a file ----------------------------------------------------------------------

// An error names the file the user gave, with the reason.
TEST(Replace, AnErrorNamesTheFileGivenAndWhy) {
    Workdir w;
    const SmallRun small(w);
    const Ran r = sh(w.path(), kCover + " run --plan /nonexistent/plan.txt");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              kLate + "imgcover: cannot create /nonexistent/plan.txt: No such file or directory\n");
}

// A link left where a temporary file could be is never written through: the output becomes a
// file of its own and the link's target stays as it was.
TEST(Replace, AStaleLinkIsNeverFollowed) {
    Workdir w, decoy;
    const SmallRun small(w);
    decoy.write("target", "decoy");
    for (const char* stale : {".plan2.txt.tmp", "plan2.txt.tmp"})
        fs::create_symlink(decoy.path() + "/target", w.path() + "/" + stale);
    const Ran r = sh(w.path(), kCover + " run --plan plan2.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(decoy.path() + "/target"), "decoy");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(w.path() + "/plan2.txt")));
    EXPECT_NE(read_file(w.path() + "/plan2.txt"), "");
}

// Writers of one output at once all succeed; the output is then whole, and no temporary file
// stays.
TEST(Replace, ConcurrentWritersAllSucceed) {
    Workdir w;
    ASSERT_EQ(
        sh(w.path(), kFramesim + " --out run --image-size 2000000 --pages-per-file 2000").status,
        0);
    ASSERT_EQ(sh(w.path(), kCover + " run --rebuilt one.bin").status, 1);
    std::string script = "s=0; for k in 1 2 3 4 5 6 7 8; do " + kCover +
                         " run --rebuilt same.bin --json same.json & done; for k in 1 2 3 4 5 6 "
                         "7 8; do wait -n; [ $? = 1 ] || s=1; done; exit $s";
    const Ran r = sh(w.path(), "bash -c \"" + script + "\"");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(w.path() + "/same.bin") == read_file(w.path() + "/one.bin"));
    EXPECT_EQ(snapshot(w.path()).find(".tmp"), std::string::npos);
}

// A full disk: the output keeps its old content, the message names it with the reason, and no
// temporary file stays.
TEST(Replace, AFullDiskKeepsTheOldOutput) {
    Workdir w;
    const SmallRun small(w);
    const std::string disk = w.path() + "/disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small filesystem here (needs root)";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount(path.c_str()); }
    } unmount{disk};
    e2e::write_file(disk + "/out.bin", "old");
    sh(w.path(), "head -c 100000 /dev/zero >disk/filler"); // fails when the disk is full
    const Ran r = sh(w.path(), kCover + " run --rebuilt disk/out.bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, kLate + "imgcover: cannot write disk/out.bin: No space left on device\n");
    EXPECT_TRUE(read_file(disk + "/out.bin") == "old");
    EXPECT_EQ(snapshot(disk).find(".tmp"), std::string::npos) << snapshot(disk);
}

} // namespace
