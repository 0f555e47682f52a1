// imgcover end to end and against the rebuild: the same captures read by both programs must
// tell the same story, and the loop of plan, resend and rebuild must end with the whole image.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb/stb_image.h>

#include "analysis.hpp"
#include "expected.hpp"
#include "frames.hpp"
#include "pictures.hpp"
#include "plan.hpp"
#include "sim.hpp"
#include "text.hpp"
#include "view.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
namespace tf = testframes;
using e2e::Workdir;
using json = nlohmann::json;
using namespace expected;

namespace {

struct Ran {
    int status;
    std::string out, err;
};

// Runs a program with arguments in `dir`; standard input is empty.
Ran run_in(const std::string& dir, const std::string& exe, const std::string& args) {
    const std::string cmd =
        "cd '" + dir + "' && '" + exe + "' " + args + " </dev/null >.cover.out 2>.cover.err";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, e2e::read_file(dir + "/.cover.out"),
            e2e::read_file(dir + "/.cover.err")};
}

Ran cover(const std::string& dir, const std::string& args) {
    return run_in(dir, IMGCOVER_EXE, args);
}

// The slots that each file's report of the rebuild's log lists, in file order.
std::vector<std::vector<int>> reported_slots(const std::string& log) {
    std::vector<std::vector<int>> files;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        int pn = 0;
        if (line.rfind("i=", 0) == 0)
            files.emplace_back();
        else if (std::sscanf(line.c_str(), "PN=%d is lacked.", &pn) == 1)
            files.back().push_back(pn);
    }
    return files;
}

std::vector<int> ints(const json& a) {
    return a.get<std::vector<int>>();
}

// --- Against the rebuild, over many framesim runs ----------------------------------------------

struct Drawn {
    framesim::Options o;
    bool shuffle; // list the captures in another order, so that passes are not adjacent
};

Drawn draw(uint64_t seed) {
    framesim::Random rng(seed * 7919 + 3);
    Drawn d;
    framesim::Options& o = d.o;
    o.seed = seed;
    o.image_size = 1000 + static_cast<int32_t>(rng.below(90000));
    o.SC_S = static_cast<int32_t>(rng.below(8));
    o.pages_per_file = 1 + static_cast<int32_t>(rng.below(80));
    o.passes = 1 + static_cast<int32_t>(rng.below(3));
    o.repeat = static_cast<framesim::Repeat>(rng.below(3));
    o.loss = rng.below(4) * 0.05;
    o.duplicates = rng.chance(0.3) ? 0.05 : 0.0;
    o.reorder = rng.chance(0.3) ? 0.1 : 0.0;
    o.noise = rng.chance(0.3) ? 0.05 : 0.0;
    o.crlf = rng.chance(0.3);
    o.wrap = rng.chance(0.3);
    d.shuffle = rng.chance(0.4);
    return d;
}

// Reorders the name lines of file_info.txt (a fixed permutation from the seed).
void shuffle_names(const std::string& dir, uint64_t seed) {
    std::istringstream in(e2e::read_file(dir + "/file_info.txt"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    framesim::Random rng(seed);
    for (size_t k = lines.size() - 1; k > 4; --k)
        std::swap(lines[k], lines[4 + rng.below(static_cast<uint32_t>(k - 3))]);
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    e2e::write_file(dir + "/file_info.txt", s);
}

class AgainstRebuild : public ::testing::TestWithParam<uint64_t> {};

TEST_P(AgainstRebuild, SlotsAndBytesAgree) {
    const uint64_t seed = GetParam();
    const Drawn d = draw(seed);
    Workdir w;
    framesim::Options o = d.o;
    o.out = w.path();
    framesim::Run sent;
    std::string error;
    ASSERT_TRUE(framesim::simulate(o, framesim::generated_image(o.image_size, seed), sent, error))
        << error;
    if (d.shuffle)
        shuffle_names(w.path(), seed);

    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.out;
    const Ran r = cover(w.path(), "--json cover.json --rebuilt rebuilt.bin");
    ASSERT_LE(r.status, 1) << r.err;
    const json j = json::parse(e2e::read_file(w.path() + "/cover.json"));
    EXPECT_EQ(r.status, j["complete"].get<bool>() ? 0 : 1);

    // Per capture: its own missing slots are what the rebuild lists when it did not merge, and
    // the count the rebuild lists is what imgcover says the rebuild lists.
    const std::vector<std::vector<int>> reported = reported_slots(rebuilt.out);
    const json& caps = j["captures"];
    ASSERT_EQ(caps.size(), reported.size());
    int64_t previous_key = 0;
    for (size_t i = 0; i < caps.size(); ++i) {
        const json& c = caps[i];
        ASSERT_EQ(c["status"], "ok");
        const int64_t key = c["SSC"].get<int64_t>() + c["SP"].get<int64_t>() +
                            c["ESC"].get<int64_t>() + c["EP"].get<int64_t>();
        if (key != previous_key) {
            EXPECT_EQ(ints(c["missing_slots"]), reported[i]) << c["name"];
        }
        EXPECT_EQ(c["reported_by_rebuild"].get<size_t>(), reported[i].size()) << c["name"];
        previous_key = key;
    }

    // Covered bytes are the same in both images; uncovered ones are 0xFF in output.bin.
    const std::string mine = e2e::read_file(w.path() + "/rebuilt.bin");
    ASSERT_EQ(mine.size(), rebuilt.output.size());
    std::vector<bool> covered(static_cast<size_t>(o.image_size), true);
    for (const json& span : j["missing_spans"]) {
        for (int64_t b = span[0]; b <= span[1].get<int64_t>(); ++b)
            covered[static_cast<size_t>(b)] = false;
    }
    int64_t count = 0, wrong = 0;
    for (size_t b = 0; b < covered.size(); ++b) {
        count += covered[b];
        const char want = covered[b] ? mine[b] : '\xFF';
        wrong += rebuilt.output[b] != want;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(count, j["covered_bytes"].get<int64_t>());
}

INSTANTIATE_TEST_SUITE_P(Seeds, AgainstRebuild, ::testing::Range<uint64_t>(1, 41));

// Two different ranges whose numbers have one sum: the rebuild merges them and takes slots of
// the other range as received; imgcover tells the truth and says the rebuild lists fewer.
TEST(AgainstRebuild, RangesSharingAKeyAreNotMerged) {
    Workdir w;
    // (1, 0)-(1, 9) and (1, 3)-(1, 6) both have key 11.
    const std::string a = "a_1_0_1_9.txt", b = "b_1_3_1_6.txt";
    w.write("file_info.txt", run_info(5000, 2, 1, {a, b}));
    w.write(a, frames_except(16, {0, 1, 2, 15}));
    w.write(b, frames_except(7, {1, 2, 5}));
    const Ran r = cover(w.path(), "--json -");
    EXPECT_EQ(r.status, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(ints(j["captures"][1]["missing_after_all_passes"]), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(j["captures"][1]["reported_by_rebuild"], 2);
    const Ran human = cover(w.path(), "");
    EXPECT_NE(human.out.find("! rebuild lists only 2"), std::string::npos) << human.out;
}

// A range received twice with another range between: the rebuild's report after the second
// pass overstates the loss; missing after all passes is the truth.
TEST(AgainstRebuild, RepeatsThatAreNotAdjacentStillCount) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", x = "x_0_7_0_7.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(2000, 3, 0, {a, x, b}));
    w.write(a, frames_except(11, {3, 4}));
    w.write(x, frames_except(2, {}));
    w.write(b, frames_except(11, {4, 5}));
    const Ran r = cover(w.path(), "--json -");
    const json j = json::parse(r.out);
    EXPECT_EQ(ints(j["captures"][0]["missing_after_all_passes"]), (std::vector<int>{4}));
    EXPECT_EQ(ints(j["captures"][2]["missing_slots"]), (std::vector<int>{4, 5}));
    EXPECT_EQ(ints(j["captures"][2]["missing_after_all_passes"]), (std::vector<int>{4}));
    EXPECT_EQ(j["captures"][2]["reported_by_rebuild"], 2);
    EXPECT_NE(cover(w.path(), "").out.find("* rebuild lists 2"), std::string::npos);
}

// --- The loop: plan, resend, rebuild -------------------------------------------------------------

class ClosedLoop : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ClosedLoop, EndsWithTheWholeImage) {
    const uint64_t seed = GetParam();
    Workdir w;
    const std::string dir = w.path();
    framesim::Random rng(seed);
    const int size = 2000 + static_cast<int>(rng.below(60000));
    const std::string common = " --loss 0.1 --sc-s " + std::to_string(rng.below(4)) +
                               (rng.chance(0.3) ? " --crlf" : "") +
                               (rng.chance(0.3) ? " --noise 0.05" : "");
    ASSERT_EQ(run_in(dir, FRAMESIM_EXE,
                     "--out ." + common + " --image-size " + std::to_string(size) +
                         " --pages-per-file " + std::to_string(1 + rng.below(40)) + " --seed " +
                         std::to_string(seed) + " --save-image sent.img")
                  .status,
              0);
    int64_t covered = -1;
    int rounds = 0;
    for (;; ++rounds) {
        ASSERT_LE(rounds, 8) << "the plan did not empty in 8 rounds";
        const std::string prefix = "r" + std::to_string(rounds);
        const Ran r = cover(dir, "--json cover.json --plan plan.txt --next-info next.txt "
                                 "--prefix " +
                                     prefix);
        ASSERT_LE(r.status, 1) << r.err;
        const json j = json::parse(e2e::read_file(dir + "/cover.json"));
        EXPECT_GE(j["covered_bytes"].get<int64_t>(), covered) << "coverage shrank";
        covered = j["covered_bytes"];
        if (r.status == 0) {
            EXPECT_TRUE(j["plan"].empty());
            break;
        }
        EXPECT_FALSE(j["plan"].empty());
        ASSERT_EQ(run_in(dir, FRAMESIM_EXE,
                         "--out . --ranges plan.txt --image sent.img" + common + " --seed " +
                             std::to_string(seed * 100 + static_cast<uint64_t>(rounds)))
                      .status,
                  0);
        fs::rename(dir + "/next.txt", dir + "/file_info.txt");
    }
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    const std::string sent = e2e::read_file(dir + "/sent.img");
    ASSERT_EQ(sent.size(), static_cast<size_t>(size));
    EXPECT_TRUE(rebuilt.output.compare(0, sent.size(), sent) == 0)
        << "the rebuilt image differs from the one sent after " << rounds << " rounds";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClosedLoop, ::testing::Range<uint64_t>(1, 51));

// --- Outputs of the bundled example, exactly ----------------------------------------------------

TEST(Outputs, BundledExample) {
    Workdir w;
    w.copy_fixture("../../examples/basic");
    const Ran r = cover(w.path(), "--json - --plan plan.txt --next-info next.txt");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    const json j = json::parse(r.out);
    EXPECT_EQ(j["imagesize"], 65536);
    EXPECT_EQ(j["SC_S"], 5);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(j["covered_bytes"], 65536 - 2 * 163);
    // Slot 18 of (5,0)-(5,127) and slot 3 of (5,128)-(5,255).
    EXPECT_EQ(j["missing_spans"], json::parse("[[2934, 3096], [33257, 33419]]"));
    ASSERT_EQ(j["captures"].size(), 3u);
    const json& first = j["captures"][0];
    EXPECT_EQ(first["name"], "pass1_5_0_5_127.txt");
    EXPECT_EQ(first["status"], "ok");
    EXPECT_EQ(first["mcomsize"], 202);
    EXPECT_EQ(first["frames"], 198);
    EXPECT_EQ(ints(first["missing_slots"]), (std::vector<int>{17, 18, 90, 150}));
    EXPECT_EQ(ints(first["missing_after_all_passes"]), (std::vector<int>{18}));
    EXPECT_EQ(j["plan"], json::parse(R"([
        {"SSC": 5, "SP": 11, "ESC": 5, "EP": 12, "name": "retry_5_11_5_12.txt"},
        {"SSC": 5, "SP": 129, "ESC": 5, "EP": 130, "name": "retry_5_129_5_130.txt"}])"));
    EXPECT_EQ(e2e::read_file(w.path() + "/plan.txt"),
              "5 11 5 12 retry_5_11_5_12.txt\n5 129 5 130 retry_5_129_5_130.txt\n");
    EXPECT_EQ(e2e::read_file(w.path() + "/next.txt"),
              "example run: one range received twice, one once\n"
              "imagesize 65536\n"
              "numfile 5\n"
              "SC_S 5\n"
              "pass1_5_0_5_127.txt\npass2_5_0_5_127.txt\npass1_5_128_5_255.txt\n"
              "retry_5_11_5_12.txt\nretry_5_129_5_130.txt\n");
}

// --- Whole outputs, against expected text kept beside the tests -------------------------------

// A run of 4000 bytes (pages 0 to 15, block 0) with every kind of line the report has, listed:
//  d      (0,15)-(0,15)  2 slots, all received
//  a      (0,0)-(0,6)    11 slots, 3 and 4 missing
//  x      (0,6)-(0,9)    7 slots, all: a repeat, overlapping a by its first page only
//  b      (0,0)-(0,6)    second pass over a after x, 4 and 5 missing: the rebuild lists 2
//  k      (0,2)-(0,4)    5 slots, 1 and 2 missing; numbers sum to a's, so the rebuild merges it
//                        with b and lists none
//  retry  (0,2)-(0,3)    a resend of the pages of a's slot 4, all received
//  c      (0,10)-(0,15)  10 slots, 2 and 9 missing: a repeat of d by its last page only
// and past numfile a capture of (0,10)-(0,15) with every slot, which must not count.
void repeats_run(const Workdir& w) {
    w.write("file_info.txt", run_info(4000, 7, 0,
                                      {"d_0_15_0_15.txt", "a_0_0_0_6.txt", "x_0_6_0_9.txt",
                                       "b_0_0_0_6.txt", "k_0_2_0_4.txt", "retry_0_2_0_3.txt",
                                       "c_0_10_0_15.txt", "late_0_10_0_15.txt"}));
    w.write("d_0_15_0_15.txt", image_frames_except(15, 2, {}));
    w.write("a_0_0_0_6.txt", image_frames_except(0, 11, {3, 4}));
    w.write("x_0_6_0_9.txt", image_frames_except(6, 7, {}));
    w.write("b_0_0_0_6.txt", image_frames_except(0, 11, {4, 5}));
    w.write("k_0_2_0_4.txt", image_frames_except(2, 5, {1, 2}));
    w.write("retry_0_2_0_3.txt", image_frames_except(2, 4, {}));
    w.write("c_0_10_0_15.txt", image_frames_except(10, 10, {2, 9}));
    w.write("late_0_10_0_15.txt", image_frames_except(10, 10, {}));
}

void bundled_example(const Workdir& w) {
    w.copy_fixture("../../examples/basic");
}

struct WholeOutputCase {
    const char* name;
    void (*setup)(const Workdir&);
    const char* args;
    const char* expected; // file under tests/data
};

void PrintTo(const WholeOutputCase& c, std::ostream* os) {
    *os << c.name;
}

class WholeOutput : public ::testing::TestWithParam<WholeOutputCase> {};

TEST_P(WholeOutput, IsTheExpectedText) {
    const WholeOutputCase& c = GetParam();
    Workdir w;
    c.setup(w);
    const Ran r = cover(w.path(), c.args);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, e2e::read_file(std::string(IMGREBUILD_TEST_DATA "/") + c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WholeOutput,
    ::testing::Values(
        WholeOutputCase{"bundled example JSON", bundled_example, "--json -", "basic.imgcover.json"},
        WholeOutputCase{"bundled example report", bundled_example, "", "basic.imgcover.txt"},
        WholeOutputCase{"repeats JSON", repeats_run, "--json -", "repeats.imgcover.json"},
        WholeOutputCase{"repeats report", repeats_run, "", "repeats.imgcover.txt"}));

// --- A full disk ---------------------------------------------------------------------------

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
    const Ran r = run_in(w.path(), IMGCOVER_EXE, "run " + option + " run/out");
    EXPECT_EQ(r.status, 2) << r.err;
    EXPECT_EQ(r.err.rfind("imgcover: cannot write", 0), 0u) << r.err;
    EXPECT_EQ(e2e::read_file(dir + "/out"), "old");
    EXPECT_FALSE(fs::exists(dir + "/.out.tmp"));
}

INSTANTIATE_TEST_SUITE_P(Outputs, FullDisk,
                         ::testing::Values("--json", "--plan", "--next-info", "--map",
                                           "--width 8 --picture", "--rebuilt"));

// --- Bad input: every status and exit code ----------------------------------------------------

TEST(BadInput, CapturesThatCannotBeUsedAreReportedAndSkipped) {
    Workdir w;
    const std::string ok = "a_0_0_0_6.txt";
    w.write("file_info.txt", run_info(2000, 6, 0,
                                      {ok, "gone_0_0_0_6.txt", "folder_0_7_0_7.txt", "noname.txt",
                                       "wide_0_0_99_0.txt"}));
    w.write(ok, frames_except(11, {}));
    fs::create_directory(w.path() + "/folder_0_7_0_7.txt");
    const Ran r = cover(w.path(), "--json - --next-info next.txt");
    EXPECT_EQ(r.status, 1);
    const json j = json::parse(r.out);
    const json& c = j["captures"];
    ASSERT_EQ(c.size(), 5u); // numfile says 6: the five lines present are analysed
    EXPECT_EQ(c[0]["status"], "ok");
    EXPECT_EQ(c[1]["status"], "unreadable");
    EXPECT_EQ(c[1]["missing_slots"].size(), 11u);
    EXPECT_EQ(c[2]["status"], "unreadable"); // a folder: opened, but no read succeeds
    EXPECT_EQ(c[3]["status"], "bad_name");
    EXPECT_FALSE(c[3].contains("SSC"));
    EXPECT_FALSE(c[3].contains("mcomsize"));
    EXPECT_EQ(c[4]["status"], "bad_range");
    EXPECT_EQ(c[4]["ESC"], 99);
    EXPECT_FALSE(c[4].contains("mcomsize"));
    // Pages 0 to 6 were received; page 7 (and the bytes of page 7 up to 2000) were not.
    EXPECT_EQ(j["missing_spans"], json::parse("[[1793, 1999]]"));
    EXPECT_NE(r.err.find("imgcover: warning: cannot open"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("left out of the next run description: noname.txt (bad_name)"),
              std::string::npos)
        << r.err;
    const std::string next = e2e::read_file(w.path() + "/next.txt");
    EXPECT_EQ(next.substr(next.find("numfile")),
              "numfile 2\nSC_S 0\na_0_0_0_6.txt\nretry_0_7_0_7.txt\n");
}

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

TEST(BadInput, NamesThatAreNotUtf8AreWrittenWithReplacementCharacters) {
    Workdir w;
    const std::string name = "caf\xE9\xC3_0_0_0_6.txt"; // Latin-1 é, then a cut sequence
    w.write("file_info.txt", run_info(1792, 1, 0, {name}));
    w.write(name, frames_except(11, {}));
    const Ran r = cover(w.path(), "--json -");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(json::parse(r.out)["captures"][0]["name"], "caf\uFFFD\uFFFD_0_0_0_6.txt");
}

// --- Pieces -----------------------------------------------------------------------------

TEST(Utf8Clean, ReplacesEachBadByte) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain", "plain"},
        {"\xC3\xA9", "\xC3\xA9"},
        {"\xE2\x82\xAC\xF0\x9F\x9B\xB0", "\xE2\x82\xAC\xF0\x9F\x9B\xB0"},
        {"\xFF", "\xEF\xBF\xBD"},
        {"\xE2\x82", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // cut short: each byte replaced
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},                 // overlong
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"}, // a surrogate
        {std::string("a\0b", 3), std::string("a\0b", 3)},
    };
    for (const auto& c : cases)
        EXPECT_EQ(imgcover::utf8_clean(c.in), c.out) << c.in;
}

// An analysis with the given uncovered spans, for the plan alone.
imgcover::Analysis with_missing(int32_t imagesize, int32_t SC_S,
                                std::vector<imgcover::Span> missing) {
    imgcover::Analysis a;
    a.head.imagesize = imagesize;
    a.head.SC_S = SC_S;
    a.missing = std::move(missing);
    return a;
}

TEST(Plan, PagesRunsJoinsAndCuts) {
    using R = imgrebuild::PageRange;
    const struct {
        const char* name;
        imgcover::Analysis a;
        int32_t join;
        std::vector<R> want;
    } cases[] = {
        {"nothing missing", with_missing(5000, 3, {}), 0, {}},
        {"one byte", with_missing(5000, 3, {{256, 256}}), 0, {{3, 1, 3, 1}}},
        {"a span over a page boundary", with_missing(5000, 3, {{255, 256}}), 0, {{3, 0, 3, 1}}},
        {"two runs",
         with_missing(5000, 3, {{0, 0}, {1024, 1024}}),
         0,
         {{3, 0, 3, 0}, {3, 4, 3, 4}}},
        {"joined across 3 covered pages",
         with_missing(5000, 3, {{0, 0}, {1024, 1024}}),
         3,
         {{3, 0, 3, 4}}},
        {"not joined across 3 with --join 2",
         with_missing(5000, 3, {{0, 0}, {1024, 1024}}),
         2,
         {{3, 0, 3, 0}, {3, 4, 3, 4}}},
        {"adjacent pages are one run",
         with_missing(5000, 0, {{0, 0}, {256, 256}}),
         0,
         {{0, 0, 0, 1}}},
        {"across a block",
         with_missing(600000, 2, {{1023 * 256, 1025 * 256}}),
         0,
         {{2, 1023, 3, 1}}},
        // 20,000 pages from block 1: one request of 12,734 pages, then the rest.
        {"cut at 12734 pages",
         with_missing(20000 * 256, 1, {{0, 20000 * 256 - 1}}),
         0,
         {{1, 0, 13, 445}, {13, 446, 20, 543}}},
    };
    for (const auto& c : cases) {
        const std::vector<imgcover::Request> plan = imgcover::make_plan(c.a, c.join, "p");
        ASSERT_EQ(plan.size(), c.want.size()) << c.name;
        for (size_t k = 0; k < plan.size(); ++k) {
            const R& got = plan[k].range;
            const R& want = c.want[k];
            EXPECT_TRUE(got.SSC == want.SSC && got.SP == want.SP && got.ESC == want.ESC &&
                        got.EP == want.EP)
                << c.name << ": request " << k << " is " << plan[k].name;
            EXPECT_EQ(plan[k].name, "p_" + std::to_string(want.SSC) + "_" +
                                        std::to_string(want.SP) + "_" + std::to_string(want.ESC) +
                                        "_" + std::to_string(want.EP) + ".txt");
        }
    }
}

// --- The report's figures ---------------------------------------------------------------------

// The missing bytes the report gives for the capture `name`: in the file and in the image.
std::pair<std::string, std::string> missing_columns(const std::string& report,
                                                    const std::string& name) {
    std::istringstream in(report);
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(name + " ", 0) != 0)
            continue;
        std::istringstream row(line);
        std::string n, range, slots, got, file, image;
        row >> n >> range >> slots >> got >> file >> image;
        return {file, image};
    }
    return {};
}

// Range (0,0)-(0,6), 11 slots, the image its 1,792 bytes. The first pass lacks slots 3 and 4
// (326 bytes); a second pass over the range brings just those two. Before it, the image lacks
// them too; after it, the first pass still lacks them in its file but the image has them: 0.
TEST(Report, MissingInTheFileAndStillMissingInTheImage) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(1792, 1, 0, {a}));
    w.write(a, frames_except(11, {3, 4}));
    const Ran before = cover(w.path(), "");
    EXPECT_EQ(before.status, 1);
    EXPECT_NE(before.out.find("missing bytes\n"), std::string::npos) << before.out;
    EXPECT_NE(before.out.find("in this file  in the image\n"), std::string::npos) << before.out;
    EXPECT_EQ(missing_columns(before.out, a),
              std::make_pair(std::string("326"), std::string("326")))
        << before.out;

    w.write("file_info.txt", run_info(1792, 2, 0, {a, b}));
    w.write(b, tf::frame(3, tf::pattern(3)) + tf::frame(4, tf::pattern(4)));
    const Ran after = cover(w.path(), "");
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(missing_columns(after.out, a), std::make_pair(std::string("326"), std::string("0")))
        << after.out;
    EXPECT_EQ(missing_columns(after.out, b), std::make_pair(std::string("1,466"), std::string("0")))
        << after.out;
}

// Control characters in name lines reach a person escaped, in the report and the warnings; the
// JSON keeps its own escaping of the name as it is.
TEST(Report, ControlCharactersInNamesAreEscaped) {
    Workdir w;
    const std::string name = "a\x1b[31m_0_0_0_6.txt";
    w.write("file_info.txt", run_info(1792, 1, 0, {name}));
    const Ran r = cover(w.path(), "");
    EXPECT_EQ(r.status, 1);
    for (const std::string* text : {&r.out, &r.err}) {
        EXPECT_EQ(text->find('\x1b'), std::string::npos) << *text;
        EXPECT_NE(text->find("a\\x1b[31m_0_0_0_6.txt"), std::string::npos) << *text;
    }
    const Ran j = cover(w.path(), "--json -");
    const json parsed = json::parse(j.out);
    EXPECT_EQ(parsed["captures"][0]["name"], name);
}

// --prefix auto names the next round after the highest one listed: r1 when none is, r4 after
// r1 and r3; names that only look alike (r_, rx1_, r2x_) do not count.
TEST(Plan, PrefixAutoTakesTheNextRound) {
    const struct {
        std::vector<std::string> others;
        const char* want;
    } cases[] = {{{}, "r1_0_1_0_3.txt"},
                 {{"r1_0_7_0_7.txt", "r3_0_7_0_7.txt"}, "r4_0_1_0_3.txt"},
                 {{"r_0_7_0_7.txt", "rx1_0_7_0_7.txt", "r2x_0_7_0_7.txt"}, "r1_0_1_0_3.txt"},
                 {{"r12_0_7_0_7.txt"}, "r13_0_1_0_3.txt"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.want);
        Workdir w;
        std::vector<std::string> names{"a_0_0_0_6.txt"};
        names.insert(names.end(), k.others.begin(), k.others.end());
        w.write("file_info.txt", run_info(1792, static_cast<long long>(names.size()), 0, names));
        w.write("a_0_0_0_6.txt", image_frames_except(0, 11, {3, 4}));
        const Ran r = cover(w.path(), "--prefix auto --plan plan.txt");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(e2e::read_file(w.path() + "/plan.txt"), std::string("0 1 0 3 ") + k.want + "\n");
    }
}

// --- Pictures --------------------------------------------------------------------------------

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    bool read(const std::string& path) {
        int channels = 0;
        unsigned char* p = stbi_load(path.c_str(), &width, &height, &channels, 3);
        if (p == nullptr)
            return false;
        rgb.assign(p, p + static_cast<size_t>(width) * height * 3);
        stbi_image_free(p);
        return true;
    }
    bool decode(const std::string& bytes) {
        int channels = 0;
        unsigned char* p =
            stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                  static_cast<int>(bytes.size()), &width, &height, &channels, 3);
        if (p == nullptr)
            return false;
        rgb.assign(p, p + static_cast<size_t>(width) * height * 3);
        stbi_image_free(p);
        return true;
    }
    std::array<int, 3> at(int x, int y) const {
        const uint8_t* q = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return {q[0], q[1], q[2]};
    }
};

using Colour = std::array<int, 3>;

Colour colour_of(imgcover::Rgb c) {
    return {c.r, c.g, c.b};
}

// The analysis imgcover makes of `dir`, image kept.
imgcover::Analysis analysed(const std::string& dir) {
    imgcover::Analysis a;
    a.dir = dir;
    a.keep_image = true;
    std::string error;
    EXPECT_TRUE(imgcover::analyse(a, error)) << error;
    return a;
}

// The colour of map cell `k` when all four pixels of its square agree; {-1,-1,-1} otherwise.
Colour square_colour(const Png& png, const imgcover::MapLayout& m, int64_t k) {
    const int x = static_cast<int>(m.left + imgcover::kMapSquare * (k % m.width));
    const int y = static_cast<int>(m.top + imgcover::kMapSquare * (k / m.width));
    const Colour c = png.at(x, y);
    for (int dy = 0; dy < imgcover::kMapSquare; ++dy)
        for (int dx = 0; dx < imgcover::kMapSquare; ++dx)
            if (png.at(x + dx, y + dy) != c)
                return {-1, -1, -1};
    return c;
}

// Range (0,0)-(0,6), 11 slots of 163 bytes (1792 bytes), drawn 16 bytes a cell, 8 a row: the
// first pass lacks slots 3 and 4, a repeat after another range brings slot 3, slot 4 stays
// missing, and page 7 is received once.
TEST(Map, ColoursTellMissingRepeatAndFirstTry) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", x = "x_0_7_0_7.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(2048, 3, 0, {a, x, b}));
    w.write(a, image_frames_except(0, 11, {3, 4}));
    w.write(x, image_frames_except(7, 2, {}));
    w.write(b, image_frame(0, 3));
    const Ran r = cover(w.path(), "--map map.png --cell 16 --map-width 8");
    EXPECT_EQ(r.status, 1);
    Png png;
    ASSERT_TRUE(png.read(w.path() + "/map.png"));
    imgcover::MapLayout m;
    std::string error;
    ASSERT_TRUE(imgcover::map_layout(analysed(w.path()), 16, 8, m, error));
    EXPECT_EQ(png.width, m.pixels_wide);
    EXPECT_EQ(png.height, m.pixels_high);
    EXPECT_EQ(m.rows, 2048 / 16 / 8);
    const auto colour = [&](int64_t offset) { return square_colour(png, m, offset / 16); };
    const Colour missing = colour_of(imgcover::kMissingColour),
                 repeat = colour_of(imgcover::kRepeatColour),
                 first = colour_of(imgcover::kFirstTryColour);
    EXPECT_EQ(colour(0), first);
    EXPECT_EQ(colour(3 * 163 + 8), repeat);   // slot 3: only the repeat brought it
    EXPECT_EQ(colour(4 * 163 + 20), missing); // slot 4: never received
    EXPECT_EQ(colour(1900), first);           // page 7, first try
    // A cell with a missing byte is missing even when the rest of it was received.
    EXPECT_EQ(colour(5 * 163 - 1), missing);
    // Four colours no two alike, and none is the background.
    const std::set<Colour> all{missing, repeat, first, colour_of(imgcover::kUnsettledColour),
                               Colour{250, 250, 250}};
    EXPECT_EQ(all.size(), 5u);
    // Ticks at the boundaries of the ranges: row 0 (offset 0) and row 3 (offset 1792, where
    // (0,0)-(0,6) ends and (0,7) starts) are marked left of the map; row 2 is not.
    const auto ticked = [&](int64_t row) {
        return png.at(m.left - 2, static_cast<int>(m.top + imgcover::kMapSquare * row + 1)) ==
               Colour{20, 20, 20};
    };
    EXPECT_TRUE(ticked(0));
    EXPECT_TRUE(ticked(1792 / 16 / 8));
    EXPECT_FALSE(ticked(2));
}

// The largest image with one slot missing, on the default map: the slot shows as at least one
// whole 2x2 square in the missing colour; a byte set unsettled shows in its own colour.
TEST(Map, OneMissingSlotOfTheLargestImageIsASquareAndUnsettledHasItsColour) {
    imgcover::Analysis a;
    a.head.imagesize = imgrebuild::kMaxImageSize;
    a.coverage.assign(static_cast<size_t>(a.head.imagesize),
                      imgcover::kCovered | imgcover::kFirstTry);
    const int64_t slot_first = 9'876'543;
    for (int64_t o = slot_first; o < slot_first + 163; ++o)
        a.coverage[static_cast<size_t>(o)] = 0;
    const int64_t unsettled = 20'000'000;
    a.coverage[static_cast<size_t>(unsettled)] |= imgcover::kUnsettled;
    std::string png_bytes, error;
    ASSERT_TRUE(imgcover::map_png(a, 0, 512, png_bytes, error)) << error;
    imgcover::MapLayout m;
    ASSERT_TRUE(imgcover::map_layout(a, 0, 512, m, error));
    EXPECT_LE(m.rows, imgcover::kMapRows);
    Png png;
    ASSERT_TRUE(png.decode(png_bytes));
    int missing_pixels = 0;
    for (int y = 0; y < png.height; ++y)
        for (int x = 0; x < png.width; ++x)
            missing_pixels += png.at(x, y) == colour_of(imgcover::kMissingColour);
    EXPECT_GE(missing_pixels, 4);
    EXPECT_EQ(square_colour(png, m, slot_first / m.cell), colour_of(imgcover::kMissingColour));
    EXPECT_EQ(square_colour(png, m, (slot_first + 162) / m.cell),
              colour_of(imgcover::kMissingColour));
    EXPECT_EQ(square_colour(png, m, unsettled / m.cell), colour_of(imgcover::kUnsettledColour));
    EXPECT_EQ(square_colour(png, m, 0), colour_of(imgcover::kFirstTryColour));
}

// Every byte from the offset is drawn, the last row's unused pixels are the grey hatch, holes
// are the hole colour (a checker by default, one colour with --hole-color) and the rest is the
// image. 1787 bytes from offset 5, 3 a pixel: 596 pixels, the last of them with 2 bytes.
TEST(Picture, EveryByteHolesInTheirColourAndTheLastRowsRestNeutral) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt";
    w.write("file_info.txt", run_info(1792, 1, 0, {a}));
    w.write(a, frames_except(11, {2}));
    const struct {
        const char* option;
        imgcover::HoleColour hole;
    } cases[] = {{"", imgcover::HoleColour{}},
                 {"--hole-color 00ffff", {{0, 255, 255}, {0, 255, 255}}},
                 {"--hole-color '#102030'", {{16, 32, 48}, {16, 32, 48}}}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.option);
        const Ran r = cover(w.path(), std::string("--picture p.png --pixel rgb24 --width 10 "
                                                  "--offset 5 ") +
                                          k.option);
        EXPECT_EQ(r.status, 1) << r.err;
        Png png;
        ASSERT_TRUE(png.read(w.path() + "/p.png"));
        EXPECT_EQ(png.width, 10);
        const int rows = 60; // 596 pixels, 10 a row
        EXPECT_GT(png.height, rows);
        int holes = 0, past = 0;
        for (int y = 0; y < rows; ++y) {
            for (int x = 0; x < png.width; ++x) {
                const int64_t at = 5 + (int64_t{y} * 10 + x) * 3;
                Colour want{};
                if (at >= 1792) {
                    want = colour_of(imgcover::past_end_at(x, y));
                    ++past;
                } else {
                    bool hole = false;
                    for (int c = 0; c < 3; ++c) {
                        const int64_t o = at + c;
                        if (o >= 1792)
                            continue; // the last pixel's missing third byte shows as 0
                        hole = hole || (o >= 2 * 163 && o < 3 * 163);
                        want[static_cast<size_t>(c)] =
                            tf::pattern(static_cast<int>(o / 163))[o % 163];
                    }
                    if (hole) {
                        ++holes;
                        want = colour_of(k.hole.at(x, y));
                    }
                }
                ASSERT_EQ(png.at(x, y), want) << "pixel " << x << "," << y;
            }
        }
        EXPECT_GT(holes, 50);
        EXPECT_EQ(past, 4);
        // The hatch is neither the hole colour nor the image's pattern in those places.
        EXPECT_NE(png.at(9, 59), colour_of(k.hole.at(9, 59)));
    }
    const Ran bad = cover(w.path(), "--picture p.png --width 10 --hole-color purple");
    EXPECT_EQ(bad.status, 2);
    EXPECT_NE(bad.err.find("--hole-color"), std::string::npos) << bad.err;
}

// With imagesize 700,000 and --width 512 the last 96 bytes make a row of their own: 1368 rows.
// An unsettled byte shows as the yellow and black checker, not as its value.
TEST(Picture, LastPartialRowAndUnsettled) {
    imgcover::Analysis a;
    a.head.imagesize = 700'000;
    a.coverage.assign(700'000, imgcover::kCovered | imgcover::kFirstTry);
    a.image.assign(700'000 + imgrebuild::kOutputExtra, 7);
    a.coverage[699'999] = 0; // the very last byte is a hole
    a.coverage[1000] |= imgcover::kUnsettled;
    a.coverage[1001] |= imgcover::kUnsettled;
    std::string bytes, error;
    ASSERT_TRUE(imgcover::picture_png(a, {imgcover::Pixel::gray8, 512, 0, {}}, bytes, error));
    Png png;
    ASSERT_TRUE(png.decode(bytes));
    EXPECT_EQ(png.width, 512);
    EXPECT_GE(png.height, 1368);
    EXPECT_EQ(png.at(95, 1367), colour_of(imgcover::HoleColour{}.at(95, 1367)));
    EXPECT_EQ(png.at(94, 1367), (Colour{7, 7, 7}));
    EXPECT_EQ(png.at(96, 1367), colour_of(imgcover::past_end_at(96, 1367)));
    EXPECT_EQ(png.at(1000 % 512, 1),
              colour_of(((1000 % 512 + 1) & 1) ? imgcover::kUnsettledB : imgcover::kUnsettledA));
    EXPECT_NE(png.at(1000 % 512, 1), png.at(1001 % 512, 1)); // a checker
}

// A picture or map beyond the size limit is refused before anything is drawn or written: exit
// 2, a message naming the limit, no file, not even the other outputs.
TEST(Pictures, BeyondTheLimitExitTwoAndWriteNothing) {
    const struct {
        long long imagesize;
        const char* args;
    } cases[] = {{7521781, "--map m.png --map-width 1 --cell 1"},
                 {7521781, "--map m.png --map-width 2 --cell 1 --json j.json"},
                 {imgrebuild::kMaxImageSize, "--picture m.png --width 1 --json j.json"}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.args);
        Workdir w;
        w.write("file_info.txt", run_info(k.imagesize, 1, 0, {"a_0_0_0_6.txt"}));
        const Ran r = cover(w.path(), k.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_NE(r.err.find("larger than the limit of 80,000,000 pixels (at most 16,777,216 a "
                             "side)"),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(w.path() + "/m.png"));
        EXPECT_FALSE(fs::exists(w.path() + "/j.json"));
    }
    // Within the limits, the same image draws.
    Workdir w;
    w.write("file_info.txt", run_info(7521781, 1, 0, {"a_0_0_0_6.txt"}));
    const Ran ok =
        cover(w.path(), "--map m.png --map-width 4096 --cell 1 --picture p.png --width 1");
    EXPECT_EQ(ok.status, 1) << ok.err;
    Png png;
    EXPECT_TRUE(png.read(w.path() + "/m.png"));
    EXPECT_TRUE(png.read(w.path() + "/p.png"));
    EXPECT_EQ(png.height, 7521781 + 8 + 4 * 14);
}

// --- The live view's bars ----------------------------------------------------------------------

// Range (0,0)-(0,6), 11 slots: 3 and 4 lost, 9 and 10 not received. While the capture is being
// received, 9 and 10 are pending; once it is not, lost. A byte captures disagree on marks its
// slot; a repeat's received slots have their own mark; a squeezed cell shows its worst slot.
TEST(LiveBar, LostPendingUnsettledAndRepeatEachHaveTheirMark) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(1792, 2, 0, {a, b}));
    w.write(a, frames_except(11, {3, 4, 9, 10}));
    w.write(b, frames_except(11, {0}));
    imgcover::Analysis an = analysed(w.path());
    ASSERT_EQ(an.captures.size(), 2u);
    const imgcover::Capture& first = an.captures[0];
    EXPECT_EQ(imgcover::bar_of(an, first, 11, false), "###xx####xx");
    EXPECT_EQ(imgcover::bar_of(an, first, 11, true), "###xx####..");
    EXPECT_EQ(imgcover::bar_of(an, first, 4, false), "#x#x");
    EXPECT_EQ(imgcover::bar_of(an, an.captures[1], 11, false), "x==========");
    an.coverage[6 * 163 + 5] |= imgcover::kUnsettled;
    EXPECT_EQ(imgcover::bar_of(an, first, 11, true), "###xx#?##..");
    EXPECT_EQ(imgcover::bar_of(an, an.captures[1], 11, false), "x=====?====");
}

// Each picture's whole rows read back pixel by pixel against the bytes the frames carried: a
// pixel of gray8 is one byte shown as gray, of rgb24 three bytes; a pixel with a byte of slot 2
// is a hole, in the default hole colour.
struct PictureCase {
    const char* pixel;
    int channels;
    int width;
    int offset;
};

void PrintTo(const PictureCase& c, std::ostream* os) {
    *os << c.pixel << " from " << c.offset;
}

class PictureBytes : public ::testing::TestWithParam<PictureCase> {};

TEST_P(PictureBytes, HolesInTheirColourAndTheRestIsTheImage) {
    const PictureCase& pc = GetParam();
    Workdir w;
    const std::string a = "a_0_0_0_6.txt";
    w.write("file_info.txt", run_info(1792, 1, 0, {a}));
    w.write(a, frames_except(11, {2}));
    const Ran r =
        cover(w.path(), std::string("--picture p.png --pixel ") + pc.pixel + " --width " +
                            std::to_string(pc.width) + " --offset " + std::to_string(pc.offset));
    EXPECT_EQ(r.status, 1) << r.err;
    Png png;
    ASSERT_TRUE(png.read(w.path() + "/p.png"));
    EXPECT_EQ(png.width, pc.width);
    const int rows = (1792 - pc.offset) / pc.channels / pc.width; // the whole rows
    ASSERT_GT(png.height, rows);
    const imgcover::HoleColour hole_colour{};
    int holes = 0;
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < png.width; ++x) {
            const int64_t at = pc.offset + (int64_t{y} * pc.width + x) * pc.channels;
            bool hole = false;
            Colour want{};
            for (int c = 0; c < 3; ++c) {
                const int64_t o = at + (pc.channels == 1 ? 0 : c);
                hole = hole || (o >= 2 * 163 && o < 3 * 163);
                want[static_cast<size_t>(c)] = tf::pattern(static_cast<int>(o / 163))[o % 163];
            }
            if (hole) {
                ++holes;
                want = colour_of(hole_colour.at(x, y));
            }
            ASSERT_EQ(png.at(x, y), want) << "pixel " << x << "," << y;
        }
    }
    EXPECT_GT(holes, 50);
}

INSTANTIATE_TEST_SUITE_P(Pixels, PictureBytes,
                         ::testing::Values(PictureCase{"rgb24", 3, 10, 5},
                                           // pixels that straddle both edges of the hole
                                           PictureCase{"rgb24", 3, 10, 4},
                                           PictureCase{"gray8", 1, 13, 3}));

// Every cell of a map against a model of the run, at cell sizes that do not divide the 163-byte
// slots; 7 ends a cell exactly where slot 7 of a (byte 1141) begins, 64 where page 9 begins.
// Captures, pages 0 to 11 (3072 bytes), listed:
//  d  (0,11)-(0,11)  all received, first try
//  a  (0,0)-(0,6)    all but slot 7, first try
//  x  (0,6)-(0,8)    all: a repeat, overlapping a (listed before) by its first page only
//  y  (0,9)-(0,11)   all: a repeat, overlapping d (listed before) by its last page only
struct MapCase {
    int64_t cell;
    int32_t width;
};

void PrintTo(const MapCase& c, std::ostream* os) {
    *os << "cell " << c.cell;
}

class MapCells : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapCells, EachCellTellsItsOwnBytes) {
    const MapCase& mc = GetParam();
    constexpr int64_t kSize = 3072;
    Workdir w;
    w.write("file_info.txt",
            run_info(kSize, 4, 0,
                     {"d_0_11_0_11.txt", "a_0_0_0_6.txt", "x_0_6_0_8.txt", "y_0_9_0_11.txt"}));
    w.write("d_0_11_0_11.txt", image_frames_except(11, 2, {}));
    w.write("a_0_0_0_6.txt", image_frames_except(0, 11, {7}));
    w.write("x_0_6_0_8.txt", image_frames_except(6, 5, {}));
    w.write("y_0_9_0_11.txt", image_frames_except(9, 5, {}));
    const Ran r = cover(w.path(), "--map map.png --cell " + std::to_string(mc.cell) +
                                      " --map-width " + std::to_string(mc.width));
    EXPECT_EQ(r.status, 1) << r.err;

    // The model: per byte, received at all, and received by a capture that is no repeat.
    std::vector<bool> covered(kSize), first_try(kSize);
    const struct {
        int64_t first_page, pages, slots;
        int skip;
        bool repeat;
    } captures[] = {
        {11, 1, 2, -1, false}, {0, 7, 11, 7, false}, {6, 3, 5, -1, true}, {9, 3, 5, -1, true}};
    for (const auto& c : captures) {
        const int64_t base = c.first_page * 256, limit = base + c.pages * 256 - 1;
        for (int s = 0; s < c.slots; ++s) {
            for (int64_t o = base + 163 * s; s != c.skip && o < base + 163 * (s + 1); ++o) {
                if (o <= limit && o < kSize) {
                    covered[static_cast<size_t>(o)] = true;
                    first_try[static_cast<size_t>(o)] =
                        first_try[static_cast<size_t>(o)] || !c.repeat;
                }
            }
        }
    }
    Png png;
    ASSERT_TRUE(png.read(w.path() + "/map.png"));
    imgcover::MapLayout m;
    std::string error;
    ASSERT_TRUE(imgcover::map_layout(analysed(w.path()), mc.cell, mc.width, m, error)) << error;
    const Colour red = colour_of(imgcover::kMissingColour),
                 amber = colour_of(imgcover::kRepeatColour),
                 green = colour_of(imgcover::kFirstTryColour);
    int wrong = 0, reds = 0, ambers = 0;
    const int64_t cells = (kSize + mc.cell - 1) / mc.cell;
    for (int64_t k = 0; k < cells; ++k) {
        bool missing = false, repeat = false;
        for (int64_t o = k * mc.cell; o < std::min(kSize, (k + 1) * mc.cell); ++o) {
            missing = missing || !covered[static_cast<size_t>(o)];
            repeat = repeat || !first_try[static_cast<size_t>(o)];
        }
        const Colour want = missing ? red : repeat ? amber : green;
        reds += missing;
        ambers += !missing && repeat;
        const Colour got = square_colour(png, m, k);
        if (got != want && ++wrong <= 3)
            ADD_FAILURE() << "cell " << k << " (bytes " << k * mc.cell << " on)";
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(reds, 0);
    EXPECT_GT(ambers, 0);
}

INSTANTIATE_TEST_SUITE_P(Cells, MapCells, ::testing::Values(MapCase{7, 8}, MapCase{64, 5}));

} // namespace
