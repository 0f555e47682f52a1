// imgcover's report and JSON: the whole text for known runs, every figure of the bundled
// example, captures that cannot be used, and names that reach a person escaped.
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

#include <nlohmann/json.hpp>

#include "expected.hpp"
#include "frames.hpp"
#include "text.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
namespace tf = testframes;
using json = nlohmann::json;
using namespace expected;

namespace {

// imgcover run in `dir` with `args`.
Ran cover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
}

std::vector<int> ints(const json& a) {
    return a.get<std::vector<int>>();
}

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

} // namespace
