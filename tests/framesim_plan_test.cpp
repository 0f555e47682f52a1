// framesim's plan reader: a hostile plan is refused whole before anything is written; blank
// lines and either line end are taken.
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

#include "common/names.hpp"
#include "common/plan_file.hpp"
#include "small_run.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::snapshot;
using e2e::Workdir;

namespace {

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
                 "1: the name ..\\r_5_0_5_3.txt has a folder part"},
        PlanCase{"drive_prefix", "5 0 5 3 Z:r_5_0_5_3.txt\n",
                 "1: the name Z:r_5_0_5_3.txt has a drive or stream prefix (':')"},
        PlanCase{"dot_dot", "5 0 5 3 ..\n", "1: the name .. is . or .."},
        PlanCase{"dot", "5 0 5 3 .\n", "1: the name . is . or .."},
        PlanCase{"trailing_dot", "5 0 5 3 r_5_0_5_3.txt.\n",
                 "1: the name r_5_0_5_3.txt. ends in a dot or a space"},
        PlanCase{"device_name", "5 0 5 3 nul.x_5_0_5_3.txt\n",
                 "1: the name nul.x_5_0_5_3.txt is a device name on Windows (CON, PRN, AUX, NUL, "
                 "COM1 to COM9, LPT1 to LPT9)"},
        PlanCase{"device_name_in_another_case", kGood + "5 0 5 3 cOm7.r_5_0_5_3.txt\n",
                 "2: the name cOm7.r_5_0_5_3.txt is a device name on Windows (CON, PRN, AUX, "
                 "NUL, COM1 to COM9, LPT1 to LPT9)"},
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
        EXPECT_EQ(companion::name_fault(plain), nullptr) << plain;
    for (const char* bad : {"", ".", "..", "a/b", "/a", "a\\b", "C:a", "a:b", "a ", "a.", "\t"})
        EXPECT_NE(companion::name_fault(bad), nullptr) << bad;
    EXPECT_EQ(companion::name_fault(std::string(255, 'a')), nullptr);
    EXPECT_NE(companion::name_fault(std::string(256, 'a')), nullptr);
}

// Names Windows keeps for devices, whatever the platform: the part before the first dot, spaces
// at its end dropped, in any case.
TEST(Plan, DeviceNames) {
    for (const char* device : {"CON", "con.txt", "Prn.a.b", "aux", "NUL.x_5_0_5_3.txt", "nul .txt",
                               "COM1", "com9.log", "LPT1", "lPt9.x"})
        EXPECT_TRUE(companion::is_device_name(device)) << device;
    for (const char* plain : {"CONX", "x.con", "con_5_0_5_3.txt", "nul-1.txt", "COM0", "COM10",
                              "LPT", "com1x.txt", "", ".nul"})
        EXPECT_FALSE(companion::is_device_name(plain)) << plain;
    for (const std::string& prefix :
         std::vector<std::string>{"retry", "r1", "a.b-c", "con-1", std::string(203, 'p')})
        EXPECT_EQ(companion::prefix_fault(prefix), nullptr) << prefix;
    for (const std::string& prefix : std::vector<std::string>{"nul.x", "CON", "lpt3.r", "a_b", "",
                                                              "a/b", "é", std::string(204, 'p')})
        EXPECT_NE(companion::prefix_fault(prefix), nullptr) << prefix;
}

// A resend places its ranges by the run's own SC_S, so that a run at another block than the
// default one is rebuilt whole; a --sc-s that differs from the run's is refused.
TEST(Resend, PlacesRangesByTheRunsSCS) {
    Workdir w;
    const Ran made = sh(w.path(), kFramesim +
                                      " --out run --sc-s 7 --image-size 20000 --loss 1 "
                                      "--save-image image.bin && cd run && " +
                                      kImgcover + " --plan plan.txt --next-info next.txt .");
    ASSERT_EQ(made.status, 1) << made.err;
    const Ran wrong = sh(w.path() + "/run", kFramesim + " --out . --ranges plan.txt --sc-s 5");
    EXPECT_EQ(wrong.status, 2);
    EXPECT_EQ(wrong.err, "framesim: --sc-s 5 differs from SC_S 7 of the run in .; a resend "
                         "places its ranges by the run's SC_S (leave --sc-s out)\n");
    const Ran loop =
        sh(w.path() + "/run", kFramesim +
                                  " --out . --ranges plan.txt --loss 0 && "
                                  "mv next.txt file_info.txt && " +
                                  kImgcover + " . && " + e2e::kImgrebuild + " >/dev/null");
    ASSERT_EQ(loop.status, 0) << loop.out << loop.err;
    const std::string image = read_file(w.path() + "/image.bin");
    ASSERT_EQ(image.size(), 20000u);
    EXPECT_EQ(read_file(w.path() + "/run/output.bin").substr(0, 20000), image);
}

} // namespace
