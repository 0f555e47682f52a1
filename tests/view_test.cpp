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

} // namespace
