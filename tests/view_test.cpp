// The live view's pieces: a capture's bar, one mark a cell.
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

#include "analysed.hpp"
#include "expected.hpp"
#include "text.hpp"
#include "view.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::analysed;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
using namespace expected;

namespace {

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

// The percentage never reaches 100% while a byte is owed.

TEST(Percent, RoundsDownAndReachesAHundredOnlyWhenFull) {
    struct Row {
        int64_t part, whole;
        bool full;
        const char* shown;
    };
    const Row rows[] = {
        {0, 100, false, "0.00%"},
        {1, 3, false, "33.33%"},
        {2, 3, false, "66.66%"},
        {99999, 100000, false, "99.99%"},
        {23998775, 23998976, false, "99.99%"}, // 201 bytes short
        {100, 100, false, "99.99%"},           // covered, but a byte unsettled
        {100, 100, true, "100.00%"},
        {0, 0, true, "100.00%"},
    };
    for (const Row& r : rows)
        EXPECT_EQ(imgcover::percent_text(r.part, r.whole, r.full), r.shown)
            << r.part << " of " << r.whole;
}

// The report and the watch's header of a large image a frame short: 99.99%, not 100.00%.
TEST(Percent, ALargeImageAFrameShortIsNotShownComplete) {
    Workdir w;
    ASSERT_EQ(e2e::sh(w.path(), e2e::kFramesim + " --out . --image-size 3000000 --loss 0").status,
              0);
    const std::string last = e2e::lines_of(e2e::read_file(w.path() + "/file_info.txt")).back();
    std::vector<std::string> frames = e2e::lines_of(e2e::read_file(w.path() + "/" + last));
    frames.erase(frames.begin() + 3);
    std::string kept;
    for (const std::string& f : frames)
        kept += f + "\n";
    e2e::write_file(w.path() + "/" + last, kept);
    const e2e::Ran r = e2e::sh(w.path(), e2e::kImgcover);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.out.find("2,999,837 of 3,000,000 bytes covered (99.99%)"), std::string::npos)
        << r.out;

    imgcover::Analysis a;
    a.head.imagesize = 3000000;
    a.covered_bytes = 3000000 - 163;
    EXPECT_EQ(imgcover::make_header(a, {}).percent, "99.99%");
    a.covered_bytes = 3000000;
    a.unsettled_bytes = 1;
    EXPECT_EQ(imgcover::make_header(a, {}).percent, "99.99%");
    a.unsettled_bytes = 0;
    EXPECT_EQ(imgcover::make_header(a, {}).percent, "100.00%");
}

} // namespace
