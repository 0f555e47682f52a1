// imgcover's picture of the image as rebuilt so far: every byte, pixel by pixel, holes and
// unsettled bytes in their colours, and the size limits.
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

#include "expected.hpp"
#include "frames.hpp"
#include "limits.hpp"
#include "map.hpp"
#include "picture.hpp"
#include "png_image.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
namespace tf = testframes;
using e2e::Colour;
using e2e::colour_of;
using e2e::Png;
using namespace expected;

namespace {

// imgcover run in `dir` with `args`.
Ran cover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
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
        const int rows = 60; // 596 pixels, 10 a row; too narrow for a legend, said so
        EXPECT_EQ(png.height, rows);
        EXPECT_NE(r.err.find("imgcover: warning: --picture: 10 pixels a row leave no room for the "
                             "legend (it needs 48): drawn without it\n"),
                  std::string::npos)
            << r.err;
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

// The legend wraps to the picture's width, never cut at its edge: at every width its lines fit
// (the last two columns stay background), the widest picture keeps its four lines, and the
// narrower ones take more. Narrower than kMinLegendWidth, there is none.
TEST(Picture, TheLegendWrapsToTheWidth) {
    imgcover::Analysis a;
    a.head.imagesize = 20'000;
    a.coverage.assign(20'000, imgcover::kCovered | imgcover::kFirstTry);
    a.image.assign(20'000 + imgrebuild::kOutputExtra, 7);
    int64_t last_rows = 0;
    for (const int32_t width : {4096, 300, 100, 64, 48, 47, 10}) {
        SCOPED_TRACE("width " + std::to_string(width));
        const imgcover::PictureOptions p{imgcover::Pixel::rgb24, width, 12'345, {}};
        std::string bytes, error;
        ASSERT_TRUE(imgcover::picture_png(a, p, bytes, error)) << error;
        Png png;
        ASSERT_TRUE(png.decode(bytes));
        const int64_t rows = ((20'000 - 12'345 + 2) / 3 + width - 1) / width;
        const int64_t legend = imgcover::legend_rows(p);
        EXPECT_EQ(png.height, rows + legend);
        if (width == 4096)
            EXPECT_EQ(legend, 8 + 4 * imgcover::kLegendRow);
        else if (width >= imgcover::kMinLegendWidth)
            EXPECT_GT(legend, last_rows);
        else
            EXPECT_EQ(legend, 0);
        last_rows = legend;
        int inked = 0;
        for (int y = static_cast<int>(rows); y < png.height; ++y) {
            for (int x = 0; x < width; ++x) {
                const bool ink = png.at(x, y) == colour_of(imgcover::kText);
                inked += ink;
                ASSERT_FALSE(ink && x >= width - 2) << "text cut at the edge, row " << y;
            }
        }
        EXPECT_EQ(inked > 0, legend > 0);
    }
}

// Text wrapped to a room: every line fits it unless it is one character, nothing is lost, and
// words are broken only when alone too wide.
TEST(Picture, WrappedTextFitsAndKeepsEveryWord) {
    const std::string text = "1 pixel = 3 bytes (rgb24), 65,536 a row, from byte 1,099,511,627,776";
    for (const int32_t room : {400, 120, 60, 26, 5}) {
        SCOPED_TRACE("room " + std::to_string(room));
        const std::vector<std::string> lines = imgcover::wrapped(text, room);
        std::string joined, letters;
        for (const std::string& line : lines) {
            EXPECT_TRUE(imgcover::text_extent(line) <= room || line.size() == 1) << line;
            joined += (joined.empty() ? "" : " ") + line;
            for (const char c : line)
                letters += c == ' ' ? "" : std::string(1, c);
        }
        std::string want_letters;
        for (const char c : text)
            want_letters += c == ' ' ? "" : std::string(1, c);
        EXPECT_EQ(letters, want_letters);
        // Where every word fits, the lines are the text cut at spaces.
        EXPECT_TRUE(room < 120 || joined == text) << joined;
    }
    EXPECT_EQ(imgcover::wrapped(text, 4000), std::vector<std::string>{text});
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
    EXPECT_EQ(png.height, 7521781); // a row of one pixel has no room for a legend
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

} // namespace
