// imgcover's plan: which pages to ask for again, in runs, joined and cut, and the names the
// planned captures take.
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

#include "analysis.hpp"
#include "common/text.hpp"
#include "expected.hpp"
#include "plan.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
using namespace expected;

namespace {

// imgcover run in `dir` with `args`.
Ran cover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
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

// A planned name that is listed already takes the next free prefix, as --prefix auto takes the
// next round, with one line saying so: the run description never lists a name twice.
TEST(Plan, NeverListsANameTwice) {
    Workdir w;
    const std::vector<std::string> names{"a_0_0_0_6.txt", "retry_0_1_0_3.txt",
                                         "./retry2_0_1_0_3.txt", "retry3_0_7_0_7.txt"};
    w.write("file_info.txt", run_info(1792, static_cast<long long>(names.size()), 0, names));
    w.write("a_0_0_0_6.txt", image_frames_except(0, 11, {3, 4}));
    const Ran r = cover(w.path(), "--plan plan.txt --next-info next.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(w.path() + "/plan.txt"), "0 1 0 3 retry3_0_1_0_3.txt\n");
    const std::string note = "imgcover: warning: names with prefix retry are listed already: the "
                             "plan uses retry3 instead, so that no name is listed twice\n";
    EXPECT_NE(r.err.find(note), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("already listed"), std::string::npos) << r.err;
    std::vector<std::string> listed = e2e::lines_of(read_file(w.path() + "/next.txt"));
    listed.erase(listed.begin(), listed.begin() + 4);
    std::set<std::string> distinct;
    for (const std::string& n : listed)
        distinct.insert(fs::path(n).lexically_normal().generic_string());
    EXPECT_EQ(distinct.size(), listed.size()) << read_file(w.path() + "/next.txt");
    EXPECT_TRUE(distinct.count("retry3_0_1_0_3.txt"));
}

// Near the last block a name can state, the plan asks only for pages a name can state, every
// number in it is one the plan reader takes, and a line says what cannot be asked for.
TEST(Plan, NeverOverflowsPastTheLastBlock) {
    Workdir w;
    w.write("file_info.txt", run_info(1048576, 0, 2147483646, {}));
    const Ran r = cover(w.path(), "--plan plan.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(w.path() + "/plan.txt"),
              "2147483646 0 2147483647 1023 retry_2147483646_0_2147483647_1023.txt\n");
    std::vector<imgcover::Request> plan;
    std::string error;
    EXPECT_TRUE(companion::read_plan(w.path() + "/plan.txt", plan, error)) << error;
    EXPECT_NE(r.err.find("imgcover: warning: 2048 missing pages lie past block 2147483647, which "
                         "no capture name can state: the plan cannot ask for them\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find("-4,"), std::string::npos) << r.out;
}

// A prefix as long as allowed still gives whole lines: each ends with its line feed and reads
// back as the plan it was.
TEST(Plan, TheLongestPrefixGivesWholeLines) {
    Workdir w;
    w.write("file_info.txt", run_info(1792, 1, 0, {"a_0_0_0_6.txt"}));
    w.write("a_0_0_0_6.txt", image_frames_except(0, 11, {3, 4, 9}));
    const std::string prefix(203, 'p');
    const Ran r = cover(w.path(), "--plan plan.txt --join 0 --prefix " + prefix);
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(w.path() + "/plan.txt"),
              "0 1 0 3 " + prefix + "_0_1_0_3.txt\n0 5 0 6 " + prefix + "_0_5_0_6.txt\n");
    std::vector<imgcover::Request> plan;
    std::string error;
    EXPECT_TRUE(companion::read_plan(w.path() + "/plan.txt", plan, error)) << error;
    EXPECT_EQ(companion::format("%s|%s", std::string(600, 'x').c_str(), "end"),
              std::string(600, 'x') + "|end");
}

} // namespace
