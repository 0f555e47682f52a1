// imgcover against the rebuild: the same captures read by both programs must tell the same
// story, slot for slot and byte for byte, and the loop of plan, resend and rebuild must end
// with the whole image.
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
#include <functional>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "expected.hpp"
#include "sim.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
using json = nlohmann::json;
using namespace expected;

namespace {

// imgcover run in `dir` with `args`.
Ran cover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
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
    ASSERT_EQ(sh(dir, kFramesim + " " + "--out ." + common + " --image-size " +
                          std::to_string(size) + " --pages-per-file " +
                          std::to_string(1 + rng.below(40)) + " --seed " + std::to_string(seed) +
                          " --save-image sent.img")
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
        ASSERT_EQ(sh(dir, kFramesim + " " + "--out . --ranges plan.txt --image sent.img" + common +
                              " --seed " +
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

} // namespace

// --- How the rebuild will end, told by imgcover --------------------------------------------
// imgcover against imgrebuild on broken working folders: imgcover foretells how the rebuild
// ends (the line, the log's last message) and never exits 0 where the rebuild fails. A table
// of the ways a folder breaks, then seeded random mixtures of them.

namespace {
namespace outcome {

// A complete run of two captures: pass1_5_0_5_63.txt and pass1_5_64_5_78.txt.
void complete_run(const std::string& dir) {
    const e2e::Ran r =
        e2e::sh(dir, e2e::kFramesim + " --out . --image-size 20000 --loss 0 --seed 4", 60);
    ASSERT_EQ(r.status, 0) << r.err;
}

// The run description's lines, and writing them back (with line feeds, or as given).
std::vector<std::string> info_lines(const std::string& dir) {
    return e2e::lines_of(e2e::read_file(dir + "/file_info.txt"));
}

void write_info(const std::string& dir, const std::vector<std::string>& lines,
                const std::string& end = "\n") {
    std::string s;
    for (const std::string& l : lines)
        s += l + end;
    e2e::write_file(dir + "/file_info.txt", s);
}

// The last line of a log, without its line end.
std::string last_log_line(const std::string& log) {
    std::vector<std::string> lines = e2e::lines_of(log);
    while (!lines.empty() && (lines.back().empty() || lines.back() == "\r"))
        lines.pop_back();
    std::string l = lines.empty() ? std::string() : lines.back();
    if (!l.empty() && l.back() == '\r')
        l.pop_back();
    return l;
}

struct Both {
    e2e::Ran cover, rebuild;
    json report; // imgcover's JSON; null when it wrote none
    std::string output;
};

// imgcover first (it writes nothing of the run), then imgrebuild, in `dir`.
Both run_both(const std::string& dir) {
    Both b;
    fs::remove(dir + "/cover.json");
    b.cover = e2e::sh(dir, e2e::kImgcover + " --json cover.json --rebuilt ../rebuilt.bin", 60);
    const std::string text = e2e::read_file(dir + "/cover.json");
    if (!text.empty())
        b.report = json::parse(text); // a strict reader: invalid JSON fails the test
    b.rebuild = e2e::sh(dir, e2e::kImgrebuild + " </dev/null", 60);
    b.output = e2e::read_file(dir + "/output.bin");
    return b;
}

// What must hold between the two on any folder: where the rebuild fails, imgcover does not exit
// 0 and, when it analysed the run, names the rebuild's own last message; where the rebuild
// succeeds, imgcover foretold it, and its exit 0 means output.bin holds the whole image it
// rebuilt itself.
void expect_agree(const Both& b, const std::string& dir, const std::string& what) {
    SCOPED_TRACE(what);
    ASSERT_NE(b.cover.status, e2e::kTimedOut);
    ASSERT_NE(b.rebuild.status, e2e::kTimedOut);
    if (b.rebuild.status != 0) {
        EXPECT_NE(b.cover.status, 0) << b.cover.out;
        if (b.cover.status == 1) {
            ASSERT_FALSE(b.report.is_null());
            EXPECT_EQ(b.report["rebuild"]["outcome"], "fails");
            EXPECT_EQ(b.report["rebuild"]["log"], last_log_line(b.rebuild.out));
            EXPECT_NE(b.cover.out.find("imgrebuild will fail"), std::string::npos);
            EXPECT_NE(b.cover.out.find("imgcover --rebuilt FILE"), std::string::npos);
            EXPECT_NE(b.cover.out.find("output.bin blank"), std::string::npos);
        } else {
            EXPECT_EQ(b.cover.status, 2) << b.cover.out << b.cover.err;
        }
        return;
    }
    ASSERT_TRUE(b.cover.status == 0 || b.cover.status == 1) << b.cover.err;
    EXPECT_EQ(b.report["rebuild"]["outcome"], "succeeds") << b.report["rebuild"].dump();
    if (b.cover.status == 0) {
        EXPECT_EQ(b.output, e2e::read_file(dir + "/../rebuilt.bin"));
    }
}

struct Case {
    const char* what;
    std::function<void(const std::string& dir)> breaks;
    int rebuild;      // the rebuild's exit status
    int cover;        // imgcover's
    int64_t line;     // the line imgcover blames; 0 for none
    const char* todo; // a piece of what imgcover says to do
};

// Moves a name line: `lines` with a line added after the last name, numfile raised by one.
void add_name(const std::string& dir, const std::string& name) {
    std::vector<std::string> l = info_lines(dir);
    l.push_back(name);
    l[2] = "numfile " + std::to_string(l.size() - 4);
    write_info(dir, l);
}

TEST(RebuildOutcome, ImgcoverNamesEveryFailureOfTheRebuild) {
    const std::vector<Case> cases = {
        {"as sent", [](const std::string&) {}, 0, 0, 0, ""},
        {"a name line with a negative range",
         [](const std::string& d) { add_name(d, "junk_5_0_5_-3.txt"); }, 255, 1, 7,
         "delete line 7"},
        {"a name line that states no range", [](const std::string& d) { add_name(d, "notes.txt"); },
         255, 1, 7, "delete line 7"},
        {"a blank line among the names",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l.insert(l.begin() + 5, "");
             l[2] = "numfile 3";
             write_info(d, l);
         },
         255, 1, 6, "delete line 6"},
        {"numfile one too high",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l[2] = "numfile 3";
             write_info(d, l);
         },
         255, 1, 7, "set numfile 2"},
        {"a listed capture deleted",
         [](const std::string& d) { fs::remove(d + "/pass1_5_64_5_78.txt"); }, 255, 1, 6,
         "--next-info"},
        {"a capture saved under another case",
         [](const std::string& d) {
             fs::rename(d + "/pass1_5_0_5_63.txt", d + "/pass1_5_0_5_63.TXT");
         },
         255, 1, 5, "save the capture"},
        {"a name with a trailing space",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l[5] += " ";
             write_info(d, l);
         },
         255, 1, 6, "line 6"},
        {"a folder named as a capture",
         [](const std::string& d) {
             fs::remove(d + "/pass1_5_64_5_78.txt");
             fs::create_directory(d + "/pass1_5_64_5_78.txt");
         },
         255, 1, 6, "take line 6 out"},
        {"output.bin a folder",
         [](const std::string& d) { fs::create_directory(d + "/output.bin"); }, 255, 1, 0,
         "output.bin"},
        {"the same capture listed twice",
         [](const std::string& d) { add_name(d, "./pass1_5_64_5_78.txt"); }, 0, 0, 0, ""},
        {"numfile one too low",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l[2] = "numfile 1";
             write_info(d, l);
         },
         0, 1, 0, ""},
        {"numfile below zero",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l[2] = "numfile -1";
             write_info(d, l);
         },
         0, 1, 0, ""},
        {"carriage returns and no last line feed",
         [](const std::string& d) {
             const std::vector<std::string> l = info_lines(d);
             std::string s;
             for (size_t k = 0; k < l.size(); ++k)
                 s += l[k] + (k + 1 < l.size() ? "\r\n" : "");
             e2e::write_file(d + "/file_info.txt", s);
         },
         0, 0, 0, ""},
        {"a name line in pieces",
         [](const std::string& d) {
             // 19,999 characters and more: the rebuild reads the first piece as the name.
             add_name(d, std::string(19990, 'x') + "_5_0_5_3.txt");
         },
         255, 1, 7, "line 7"},
        {"a head line with no number",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l[2] = "numfile many";
             write_info(d, l);
         },
         255, 2, 0, ""},
        {"an imagesize too large",
         [](const std::string& d) {
             std::vector<std::string> l = info_lines(d);
             l[1] = "imagesize 23998977";
             write_info(d, l);
         },
         255, 2, 0, ""},
    };
    for (const Case& c : cases) {
        Workdir w;
        const std::string dir = w.path() + "/run";
        fs::create_directory(dir);
        complete_run(dir);
        c.breaks(dir);
        const Both b = run_both(dir);
        expect_agree(b, dir, c.what);
        EXPECT_EQ(b.rebuild.status, c.rebuild) << c.what;
        EXPECT_EQ(b.cover.status, c.cover) << c.what << "\n" << b.cover.out << b.cover.err;
        if (c.rebuild != 0 && c.cover == 1) {
            const json& r = b.report["rebuild"];
            EXPECT_EQ(r["line"], c.line == 0 ? json(nullptr) : json(c.line)) << c.what;
            EXPECT_NE(r["todo"].get<std::string>().find(c.todo), std::string::npos)
                << c.what << ": " << r["todo"];
            if (c.line > 0) {
                EXPECT_NE(b.cover.out.find("at file_info.txt line " + std::to_string(c.line)),
                          std::string::npos)
                    << c.what << "\n"
                    << b.cover.out;
            }
        }
    }
}

// The report of a complete reception the rebuild refuses: every byte received, and the
// outcome in place of "complete".
TEST(RebuildOutcome, ACompleteReceptionTheRebuildRefusesIsNotCalledComplete) {
    Workdir w;
    complete_run(w.path());
    add_name(w.path(), "junk_5_0_5_-3.txt");
    const e2e::Ran r = e2e::sh(w.path(), e2e::kImgcover);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("complete: every byte"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("every byte was received, but imgrebuild will not rebuild the image"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("imgrebuild will fail at file_info.txt line 7 with \"range error.\""),
              std::string::npos)
        << r.out;
    // What it says of the rebuild fits a terminal of 80 columns.
    const std::string said = r.out.substr(r.out.find("every byte was received"));
    for (const std::string& line : e2e::lines_of(said))
        EXPECT_LE(line.size(), 79u) << line;
}

// Seeded mixtures of the ways a folder breaks, one to three at a time: the two programs agree
// on every one.
TEST(RebuildOutcome, RandomBreakagesNeverSplitTheTwo) {
    std::mt19937 rng(2026);
    const auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
    const std::vector<std::function<void(const std::string&)>> breaks = {
        [&](const std::string& d) { // a number in a name line changed
            std::vector<std::string> l = info_lines(d);
            const size_t k = 4 + static_cast<size_t>(pick(static_cast<int>(l.size()) - 4));
            const size_t u = l[k].find('_', l[k].find('_') + 1 + pick(6));
            if (u != std::string::npos)
                l[k].insert(u + 1, pick(2) == 0 ? "-" : "9");
            write_info(d, l);
        },
        [&](const std::string& d) { // numfile moved
            std::vector<std::string> l = info_lines(d);
            l[2] = "numfile " + std::to_string(static_cast<int>(l.size()) - 4 + pick(5) - 2);
            write_info(d, l);
        },
        [&](const std::string& d) { // a line inserted among the names
            std::vector<std::string> l = info_lines(d);
            const char* const lines[] = {"",
                                         "  ",
                                         "x_1_2_3_4.txt",
                                         "pass1_5_0_5_63.txt",
                                         "pass1_5_64_5_78.txt ",
                                         "a_5_0_5_99999.txt"};
            l.insert(l.begin() + 4 + pick(static_cast<int>(l.size()) - 3), lines[pick(6)]);
            write_info(d, l);
        },
        [&](const std::string& d) { // a capture gone, or a folder in its place
            const char* const names[] = {"pass1_5_0_5_63.txt", "pass1_5_64_5_78.txt"};
            const std::string p = d + "/" + names[pick(2)];
            fs::remove_all(p);
            if (pick(2) == 0)
                fs::create_directory(p);
        },
        [&](const std::string& d) { // carriage returns, or no line feed after the last line
            write_info(d, info_lines(d), pick(2) == 0 ? "\r\n" : "\n");
            if (pick(2) == 0) {
                std::string s = e2e::read_file(d + "/file_info.txt");
                s.pop_back();
                e2e::write_file(d + "/file_info.txt", s);
            }
        },
        [&](const std::string& d) { // SC_S moved
            std::vector<std::string> l = info_lines(d);
            l[3] = "SC_S " + std::to_string(4 + pick(3));
            write_info(d, l);
        },
    };
    Workdir sent;
    complete_run(sent.path());
    int failed = 0;
    for (int variant = 0; variant < 40; ++variant) {
        Workdir w;
        const std::string dir = w.path() + "/run";
        fs::copy(sent.path(), dir);
        const int n = 1 + pick(3);
        for (int k = 0; k < n; ++k)
            breaks[static_cast<size_t>(pick(static_cast<int>(breaks.size())))](dir);
        const Both b = run_both(dir);
        expect_agree(b, dir,
                     "variant " + std::to_string(variant) + ":\n" +
                         e2e::read_file(dir + "/file_info.txt"));
        failed += b.rebuild.status != 0;
    }
    // The mixtures break the rebuild often, and leave it whole sometimes.
    EXPECT_GT(failed, 5);
    EXPECT_LT(failed, 40);
}

} // namespace outcome
} // namespace
