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

} // namespace
