// The files imgcover writes, end to end in fresh folders: which options need which output,
// the names they are written under, and the warnings about them.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "png_check.hpp"
#include "workdir.hpp"

namespace {

namespace fs = std::filesystem;

using e2e::Ran;
using e2e::Workdir;

// A run of one 16 KiB capture, pages (5,0)-(5,63), with a loss or two: framesim's seed 1.
void make_run(const Workdir& w) {
    const Ran r = e2e::sh(w.path(), e2e::kFramesim + " --out . --image-size 16384 >/dev/null");
    ASSERT_EQ(r.status, 0) << r.err;
}

// An option that shapes a picture, given without the picture, is a usage error: exit 2, the
// message naming both options, nothing written, no report.
TEST(ImgcoverOutputs, ShapingOptionsNeedTheirPicture) {
    const struct {
        const char* args;
        const char* message;
    } cases[] = {
        {"--width 64", "imgcover: --width needs --picture\n"},
        {"--offset 5 --map m.png", "imgcover: --offset needs --picture\n"},
        {"--pixel rgb24", "imgcover: --pixel needs --picture\n"},
        {"--hole-color 00ff00", "imgcover: --hole-color needs --picture\n"},
        {"--cell 16 --picture p.png --width 64", "imgcover: --cell needs --map\n"},
        {"--map-width 8", "imgcover: --map-width needs --map\n"},
    };
    Workdir w;
    make_run(w);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args);
        const Ran r = e2e::sh(w.path(), e2e::kImgcover + " " + c.args);
        EXPECT_EQ(r.status, 2);
        EXPECT_EQ(r.err, c.message);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(w.path() + "/m.png"));
        EXPECT_FALSE(fs::exists(w.path() + "/p.png"));
    }
    // With their picture they are taken.
    const Ran ok = e2e::sh(w.path(), e2e::kImgcover +
                                         " --map m.png --cell 16 --map-width 8 --picture p.png "
                                         "--width 64 --offset 5 --pixel rgb24 --hole-color 00ff00");
    EXPECT_EQ(ok.status, 1) << ok.err;
    EXPECT_EQ(png_check::read_file(w.path() + "/m.png").error, "");
    EXPECT_EQ(png_check::read_file(w.path() + "/p.png").error, "");
}

// A picture is written under exactly the name given: nothing is appended, whatever it ends in.
TEST(ImgcoverOutputs, PicturesAreWrittenUnderTheNameGiven) {
    Workdir w;
    make_run(w);
    const Ran r =
        e2e::sh(w.path(), e2e::kImgcover + " --map coverage --picture live.img --width 64");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(png_check::read_file(w.path() + "/coverage").error, "");
    EXPECT_EQ(png_check::read_file(w.path() + "/live.img").error, "");
    EXPECT_FALSE(fs::exists(w.path() + "/coverage.png"));
    EXPECT_FALSE(fs::exists(w.path() + "/live.img.png"));
}

// A planned name that the run already lists is warned of once, however often it is listed; a
// name listed that the plan does not use draws no warning.
TEST(ImgcoverOutputs, PlannedNamesAlreadyListedAreWarnedOfOnce) {
    Workdir w;
    make_run(w);
    const Ran plan = e2e::sh(w.path(), e2e::kImgcover + " --plan plan.txt");
    ASSERT_EQ(plan.status, 1) << plan.err;
    const std::string planned = e2e::read_file(w.path() + "/plan.txt");
    const std::string name =
        planned.substr(planned.rfind(' ') + 1, planned.find('\n') - planned.rfind(' ') - 1);
    ASSERT_EQ(name, "retry_5_31_5_31.txt");
    // The run lists the planned name three times and another name once, none of them there.
    std::string info = e2e::read_file(w.path() + "/file_info.txt");
    info.replace(info.find("numfile 1"), 9, "numfile 5");
    info += name + "\n" + name + "\nother_5_0_5_1.txt\n" + name + "\n";
    w.write("file_info.txt", info);
    const Ran r = e2e::sh(w.path(), e2e::kImgcover);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("imgcover: warning: planned name " + name +
                         " is already listed; choose another --prefix\n"),
              std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find("planned name"), r.err.rfind("planned name")) << r.err;
}

} // namespace
