// imgcover's report and JSON: the whole text for known runs, every figure of the bundled
// example, captures that cannot be used, and names that reach a person escaped; every line
// within 80 columns, the figures that sit side by side by value, and the next steps run as
// written.
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

// What imgcover says of the capture repeats_run lists past numfile.
constexpr const char* kLateWarning =
    "imgcover: warning: line 3 of file_info.txt: numfile 7, but 1 more name line follows, on "
    "line 12: imgrebuild and imgcover read only the first 7, so the captures they name count as "
    "not received. If they belong to the run, set numfile 8 on line 3.\n";

void bundled_example(const Workdir& w) {
    w.copy_fixture("../../examples/basic");
}

struct WholeOutputCase {
    const char* name;
    void (*setup)(const Workdir&);
    const char* args;
    const char* expected; // file under tests/data
    const char* err = ""; // standard error
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
    EXPECT_EQ(r.err, c.err);
    EXPECT_EQ(r.out, e2e::read_file(std::string(IMGREBUILD_TEST_DATA "/") + c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Runs, WholeOutput,
    ::testing::Values(
        WholeOutputCase{"bundled example JSON", bundled_example, "--json -", "basic.imgcover.json"},
        WholeOutputCase{"bundled example report", bundled_example, "", "basic.imgcover.txt"},
        WholeOutputCase{"repeats JSON", repeats_run, "--json -", "repeats.imgcover.json",
                        kLateWarning},
        WholeOutputCase{"repeats report", repeats_run, "", "repeats.imgcover.txt", kLateWarning}));

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

// --- The report as a person reads it: 80 columns, figures side by side, the next steps -------

namespace {

// Columns of a line of printable UTF-8 text: one per code point.
size_t columns(const std::string& line) {
    size_t n = 0;
    for (const char c : line)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

// The lines of `report` wider than 80 columns, each with its width.
std::string wide_lines(const std::string& report) {
    std::string wide;
    for (const std::string& line : e2e::lines_of(report)) {
        if (columns(line) > 80)
            wide += std::to_string(columns(line)) + ": " + line + "\n";
    }
    return wide;
}

// The report of a one-shot analysis of `dir` with a plan and a next run description, and the
// final report of a watch of it ended by q and Enter: both within 80 columns.
void expect_narrow_reports(const std::string& dir) {
    const e2e::Ran once = e2e::sh(dir, e2e::kImgcover + " --plan ../p.txt --next-info ../n.txt .");
    EXPECT_TRUE(once.status == 0 || once.status == 1) << once.err;
    EXPECT_NE(once.out.find("run in "), std::string::npos) << once.out;
    EXPECT_EQ(wide_lines(once.out), "") << dir;
    const e2e::Ran watched = e2e::sh(dir, "printf 'q\\n' | " + e2e::kImgcover + " --watch .", 60);
    EXPECT_TRUE(watched.status == 0 || watched.status == 1) << watched.err;
    const size_t report = watched.out.find("run in ");
    ASSERT_NE(report, std::string::npos) << watched.out;
    EXPECT_EQ(wide_lines(watched.out.substr(report)), "") << dir;
}

TEST(ReportWidth, TheDemosRunsFitEightyColumns) {
    Workdir w;
    const e2e::Ran demo = e2e::sh(
        w.path(),
        e2e::quoted(IMGDEMO_EXE) + " " + e2e::kImgrebuild + " " + e2e::kImgcover + " demo", 300);
    ASSERT_EQ(demo.status, 0) << demo.err;
    for (const char* run : {"first-pass", "merged", "resent", "corrupted"}) {
        SCOPED_TRACE(run);
        expect_narrow_reports(w.path() + "/demo/" + run);
    }
}

TEST(ReportWidth, ARunOf147CapturesFitsEightyColumns) {
    Workdir w;
    const e2e::Ran sent =
        e2e::sh(w.path(), e2e::kFramesim + " --out run --image-size 300000 --pages-per-file 8 "
                                           "--loss 0.05 --corrupt 0.01 --passes 2 --repeat half");
    ASSERT_EQ(sent.status, 0) << sent.err;
    const e2e::Ran json_out = e2e::sh(w.path() + "/run", e2e::kImgcover + " --json -");
    ASSERT_GE(json::parse(json_out.out)["captures"].size(), 147u);
    expect_narrow_reports(w.path() + "/run");
}

// Names far wider than the report: shortened in the middle with "...", keeping their ends (the
// range); the JSON keeps them whole.
TEST(ReportWidth, LongNamesAreShortenedInTheMiddleAndTheJsonKeepsThemWhole) {
    Workdir w;
    const std::string a = std::string(90, 'a') + "_0_0_0_6.txt";
    std::string b = "b";
    for (int k = 0; k < 30; ++k)
        b += "\x1b\xc3\xa9"; // an escape (\x1b, four columns) and a two-byte character
    b += "_0_7_0_13.txt";
    w.write("file_info.txt", run_info(3584, 2, 0, {a, b}));
    w.write(a, frames_except(11, {3}));
    w.write(b, frames_except(11, {}));
    const e2e::Ran r = e2e::sh(w.path(), e2e::kImgcover + " --plan p.txt --next-info " +
                                             std::string(70, 'n') + ".txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(wide_lines(r.out), "");
    const std::vector<std::string> lines = e2e::lines_of(r.out);
    std::vector<std::string> rows;
    for (const std::string& line : lines) {
        if (line.find("...") != std::string::npos && line.find("(0,") != std::string::npos)
            rows.push_back(line);
    }
    ASSERT_EQ(rows.size(), 2u) << r.out;
    EXPECT_EQ(rows[0].rfind("aaaa", 0), 0u) << rows[0];
    EXPECT_NE(rows[0].find("..._0_0_0_6.txt  (0,0)-(0,6)"), std::string::npos) << rows[0];
    // The control characters are escaped, and no escape or character is cut.
    EXPECT_EQ(rows[1].find('\x1b'), std::string::npos) << rows[1];
    size_t escapes = 0, whole = 0;
    for (size_t at = 0; (at = rows[1].find("\\x", at)) != std::string::npos; ++at) {
        ++escapes;
        whole += rows[1].compare(at, 4, "\\x1b") == 0;
    }
    EXPECT_GT(escapes, 0u) << rows[1];
    EXPECT_EQ(escapes, whole) << rows[1];
    EXPECT_EQ(std::count(rows[1].begin(), rows[1].end(), '\xc3'),
              std::count(rows[1].begin(), rows[1].end(), '\xa9'))
        << rows[1];
    EXPECT_NE(rows[1].find("..."), std::string::npos) << rows[1];
    const json j = json::parse(e2e::sh(w.path(), e2e::kImgcover + " --json -").out);
    EXPECT_EQ(j["captures"][0]["name"], a);
    EXPECT_EQ(j["captures"][1]["name"], b);
}

// The row of the capture whose name starts `name`: its words.
std::vector<std::string> row_of(const std::string& report, const std::string& name) {
    for (const std::string& line : e2e::lines_of(report)) {
        if (line.rfind(name + " ", 0) != 0)
            continue;
        std::vector<std::string> words;
        for (size_t at = 0; (at = line.find_first_not_of(' ', at)) != std::string::npos;) {
            const size_t end = line.find(' ', at);
            words.push_back(line.substr(at, end - at));
            at = end;
        }
        return words;
    }
    return {};
}

// Range (0,0)-(0,6) in an image of its 1,792 bytes: 11 slots, slot 10 holds bytes 1,630 to
// 1,791, the range's last byte included. Without slot 10 both columns say 162; a second pass
// that brings slot 10 leaves the first one missing it in its file and the image whole.
TEST(ReportFigures, TheImageColumnCountsTheRangesLastByte) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(1792, 1, 0, {a}));
    w.write(a, frames_except(11, {10}));
    const e2e::Ran before = e2e::sh(w.path(), e2e::kImgcover);
    EXPECT_EQ(row_of(before.out, a),
              (std::vector<std::string>{a, "(0,0)-(0,6)", "11", "10", "162", "162"}))
        << before.out;
    w.write("file_info.txt", run_info(1792, 2, 0, {a, b}));
    w.write(b, tf::frame(10, tf::pattern(10)));
    const e2e::Ran after = e2e::sh(w.path(), e2e::kImgcover);
    EXPECT_EQ(after.status, 0) << after.out;
    EXPECT_EQ(row_of(after.out, a),
              (std::vector<std::string>{a, "(0,0)-(0,6)", "11", "10", "162", "0"}))
        << after.out;
    EXPECT_EQ(row_of(after.out, b),
              (std::vector<std::string>{b, "(0,0)-(0,6)", "11", "1", "1,630", "0"}))
        << after.out;
}

// Three passes over slots 0 and 1 of one range. Slot 0: the second pass has byte 5 changed and
// the third agrees with the first, so its byte is contested but settled. Slot 1: the third pass
// has byte 7 changed, and it placed the last value, which no other capture gave: contested and
// unsettled. So 2 contested bytes, 1 unsettled, and the report says which is which.
TEST(ReportFigures, ContestedAndUnsettledAreCountedApart) {
    Workdir w;
    const auto changed = [](int slot, size_t at) {
        std::vector<uint8_t> d = tf::pattern(slot);
        d[at] ^= 0x5A;
        return d;
    };
    w.write("file_info.txt",
            run_info(256, 3, 0, {"a_0_0_0_0.txt", "b_0_0_0_0.txt", "c_0_0_0_0.txt"}));
    w.write("a_0_0_0_0.txt", tf::frame(0, tf::pattern(0)) + tf::frame(1, tf::pattern(1)));
    w.write("b_0_0_0_0.txt", tf::frame(0, changed(0, 5)) + tf::frame(1, tf::pattern(1)));
    w.write("c_0_0_0_0.txt", tf::frame(0, tf::pattern(0)) + tf::frame(1, changed(1, 7)));
    const json j = json::parse(e2e::sh(w.path(), e2e::kImgcover + " --json -").out);
    ASSERT_EQ(j["contested_bytes"], 2) << j.dump(2);
    ASSERT_EQ(j["unsettled_bytes"], 1) << j.dump(2);
    const e2e::Ran r = e2e::sh(w.path(), e2e::kImgcover);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("\ncontested: 2 bytes (sound frames gave them different values)\n"
                         "unsettled: 1 byte in 1 span\n"
                         "  (no second capture confirms"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("the plan asks for their pages again"), std::string::npos) << r.out;
}

// After --plan and --next-info the report ends with the next steps, naming the files written and
// the run's folder; run as written they bring the resend and the rebuild, and the next look
// finds less missing. Without either option there are no next steps.
TEST(ReportNextSteps, RunAsWrittenTheyMakeTheNextRound) {
    Workdir w;
    ASSERT_EQ(e2e::sh(w.path(), e2e::kFramesim + " --out run --loss 0.1 --seed 4").status, 0);
    ASSERT_EQ(e2e::sh(w.path() + "/run", e2e::kImgrebuild + " </dev/null >imgrebuild.log").status,
              0);
    const e2e::Ran plain = e2e::sh(w.path(), e2e::kImgcover + " run");
    EXPECT_EQ(plain.out.find("next steps"), std::string::npos) << plain.out;
    const json before = json::parse(e2e::sh(w.path(), e2e::kImgcover + " --json - run").out);
    ASSERT_GT(before["missing_bytes"].get<int64_t>(), 0);

    const e2e::Ran r = e2e::sh(
        w.path(), e2e::kImgcover + " --prefix auto --plan plan.txt --next-info next.txt run");
    EXPECT_EQ(r.status, 1) << r.err;
    const size_t steps = r.out.find("\nnext steps:\n");
    ASSERT_NE(steps, std::string::npos) << r.out;
    std::vector<std::string> commands;
    for (const std::string& line : e2e::lines_of(r.out.substr(steps))) {
        if (line.rfind("       ", 0) == 0)
            commands.push_back(line.substr(7));
    }
    ASSERT_EQ(commands, (std::vector<std::string>{
                            "framesim --out run --ranges plan.txt", "mv next.txt run/file_info.txt",
                            "cd run && imgrebuild </dev/null >imgrebuild.log"}))
        << r.out;
    const size_t planned =
        json::parse(e2e::sh(w.path(), e2e::kImgcover + " --json - run").out)["plan"].size();
    EXPECT_NE(r.out.find("2. wait until the " + std::to_string(planned) + " capture"),
              std::string::npos)
        << r.out;
    // The commands as a person runs them, with these programs.
    std::string script;
    for (std::string c : commands) {
        for (const auto& [name, exe] :
             {std::pair<std::string, std::string>{"framesim ", e2e::kFramesim + " "},
              {"imgrebuild ", e2e::kImgrebuild + " "}}) {
            if (const size_t at = c.find(name); at != std::string::npos)
                c.replace(at, name.size(), exe);
        }
        script += c + " &&\n";
    }
    const e2e::Ran followed = e2e::sh(w.path(), script + "true");
    ASSERT_EQ(followed.status, 0) << script << followed.err;
    const json after = json::parse(e2e::sh(w.path(), e2e::kImgcover + " --json - run").out);
    EXPECT_LT(after["missing_bytes"].get<int64_t>(), before["missing_bytes"].get<int64_t>());
    EXPECT_EQ(after["captures"].size(), before["captures"].size() + planned);
}

} // namespace
