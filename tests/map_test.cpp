// imgcover's coverage map: every cell's colour against a model of the run, the scales, and
// one missing slot of the largest image still visible.
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
#include "limits.hpp"
#include "map.hpp"
#include "picture.hpp"
#include "png_image.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::analysed;
using e2e::Colour;
using e2e::colour_of;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Png;
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

// The colour of map cell `k` when all four pixels of its square agree; {-1,-1,-1} otherwise.
Colour square_colour(const Png& png, const imgcover::MapLayout& m, int64_t k) {
    const int x = static_cast<int>(m.left + imgcover::kMapSquare * (k % m.width));
    const int y = static_cast<int>(m.top + imgcover::kMapSquare * (k / m.width));
    const Colour c = png.at(x, y);
    for (int dy = 0; dy < imgcover::kMapSquare; ++dy)
        for (int dx = 0; dx < imgcover::kMapSquare; ++dx)
            if (png.at(x + dx, y + dy) != c)
                return {-1, -1, -1};
    return c;
}

// Whether map cell `k` shows the unsettled mark: each pixel of its square as the mark has it.
bool has_unsettled_mark(const Png& png, const imgcover::MapLayout& m, int64_t k) {
    const int x = static_cast<int>(m.left + imgcover::kMapSquare * (k % m.width));
    const int y = static_cast<int>(m.top + imgcover::kMapSquare * (k / m.width));
    for (int dy = 0; dy < imgcover::kMapSquare; ++dy)
        for (int dx = 0; dx < imgcover::kMapSquare; ++dx)
            if (png.at(x + dx, y + dy) != colour_of(imgcover::unsettled_mark_at(dx, dy)))
                return false;
    return true;
}

// Range (0,0)-(0,6), 11 slots of 163 bytes (1792 bytes), drawn 16 bytes a cell, 8 a row: the
// first pass lacks slots 3 and 4, a repeat after another range brings slot 3, slot 4 stays
// missing, and page 7 is received once.
TEST(Map, ColoursTellMissingRepeatAndFirstTry) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", x = "x_0_7_0_7.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(2048, 3, 0, {a, x, b}));
    w.write(a, image_frames_except(0, 11, {3, 4}));
    w.write(x, image_frames_except(7, 2, {}));
    w.write(b, image_frame(0, 3));
    const Ran r = cover(w.path(), "--map map.png --cell 16 --map-width 8");
    EXPECT_EQ(r.status, 1);
    Png png;
    ASSERT_TRUE(png.read(w.path() + "/map.png"));
    imgcover::MapLayout m;
    std::string error;
    ASSERT_TRUE(imgcover::map_layout(analysed(w.path()), 16, 8, m, error));
    EXPECT_EQ(png.width, m.pixels_wide);
    EXPECT_EQ(png.height, m.pixels_high);
    EXPECT_EQ(m.rows, 2048 / 16 / 8);
    const auto colour = [&](int64_t offset) { return square_colour(png, m, offset / 16); };
    const Colour missing = colour_of(imgcover::kMissingColour),
                 repeat = colour_of(imgcover::kRepeatColour),
                 first = colour_of(imgcover::kFirstTryColour);
    EXPECT_EQ(colour(0), first);
    EXPECT_EQ(colour(3 * 163 + 8), repeat);   // slot 3: only the repeat brought it
    EXPECT_EQ(colour(4 * 163 + 20), missing); // slot 4: never received
    EXPECT_EQ(colour(1900), first);           // page 7, first try
    // A cell with a missing byte is missing even when the rest of it was received.
    EXPECT_EQ(colour(5 * 163 - 1), missing);
    // Four colours no two alike, and none is the background.
    const std::set<Colour> all{missing, repeat, first, colour_of(imgcover::kUnsettledColour),
                               Colour{250, 250, 250}};
    EXPECT_EQ(all.size(), 5u);
    // Ticks at the boundaries of the ranges: row 0 (offset 0) and row 3 (offset 1792, where
    // (0,0)-(0,6) ends and (0,7) starts) are marked left of the map; row 2 is not.
    const auto ticked = [&](int64_t row) {
        return png.at(m.left - 2, static_cast<int>(m.top + imgcover::kMapSquare * row + 1)) ==
               Colour{20, 20, 20};
    };
    EXPECT_TRUE(ticked(0));
    EXPECT_TRUE(ticked(1792 / 16 / 8));
    EXPECT_FALSE(ticked(2));
}

// The largest image with one slot missing, on the default map: the slot shows as at least one
// whole 2x2 square in the missing colour; a byte set unsettled shows as its mark.
TEST(Map, OneMissingSlotOfTheLargestImageIsASquareAndUnsettledHasItsMark) {
    imgcover::Analysis a;
    a.head.imagesize = imgrebuild::kMaxImageSize;
    a.coverage.assign(static_cast<size_t>(a.head.imagesize),
                      imgcover::kCovered | imgcover::kFirstTry);
    const int64_t slot_first = 9'876'543;
    for (int64_t o = slot_first; o < slot_first + 163; ++o)
        a.coverage[static_cast<size_t>(o)] = 0;
    const int64_t unsettled = 20'000'000;
    a.coverage[static_cast<size_t>(unsettled)] |= imgcover::kUnsettled;
    std::string png_bytes, error;
    ASSERT_TRUE(imgcover::map_png(a, 0, 512, png_bytes, error)) << error;
    imgcover::MapLayout m;
    ASSERT_TRUE(imgcover::map_layout(a, 0, 512, m, error));
    EXPECT_LE(m.rows, imgcover::kMapRows);
    Png png;
    ASSERT_TRUE(png.decode(png_bytes));
    int missing_pixels = 0;
    for (int y = 0; y < png.height; ++y)
        for (int x = 0; x < png.width; ++x)
            missing_pixels += png.at(x, y) == colour_of(imgcover::kMissingColour);
    EXPECT_GE(missing_pixels, 4);
    EXPECT_EQ(square_colour(png, m, slot_first / m.cell), colour_of(imgcover::kMissingColour));
    EXPECT_EQ(square_colour(png, m, (slot_first + 162) / m.cell),
              colour_of(imgcover::kMissingColour));
    EXPECT_TRUE(has_unsettled_mark(png, m, unsettled / m.cell));
    EXPECT_EQ(square_colour(png, m, 0), colour_of(imgcover::kFirstTryColour));
}

// A cell holding an unsettled byte shows a mark of two colours, yellow and black, at every
// cell size, unless a byte of it is missing; no other cell has black in it. The legend's swatch
// shows the same mark.
TEST(Map, AnUnsettledByteIsMarkedAtEveryScale) {
    imgcover::Analysis a;
    a.head.imagesize = 200'000;
    a.coverage.assign(static_cast<size_t>(a.head.imagesize),
                      imgcover::kCovered | imgcover::kFirstTry);
    const int64_t unsettled = 123'457, both = 150'000;
    a.coverage[static_cast<size_t>(unsettled)] |= imgcover::kUnsettled;
    a.coverage[static_cast<size_t>(both)] |= imgcover::kUnsettled;
    a.coverage[static_cast<size_t>(both + 1)] = 0; // missing wins in its cell
    for (const int64_t cell : {int64_t{1}, int64_t{3}, int64_t{64}, int64_t{300}, int64_t{4096}}) {
        SCOPED_TRACE("cell " + std::to_string(cell));
        std::string bytes, error;
        ASSERT_TRUE(imgcover::map_png(a, cell, 512, bytes, error)) << error;
        imgcover::MapLayout m;
        ASSERT_TRUE(imgcover::map_layout(a, cell, 512, m, error));
        Png png;
        ASSERT_TRUE(png.decode(bytes));
        EXPECT_TRUE(has_unsettled_mark(png, m, unsettled / cell));
        EXPECT_EQ(square_colour(png, m, (both + 1) / cell), colour_of(imgcover::kMissingColour));
        const int64_t cells = (a.head.imagesize + cell - 1) / cell;
        int marked = 0;
        for (int64_t k = 0; k < cells; ++k)
            marked += has_unsettled_mark(png, m, k);
        EXPECT_EQ(marked, 1 + (both / cell != (both + 1) / cell));
        // The legend's second swatch, at (4, legend top + 14), is the mark too.
        const int legend = static_cast<int>(m.top + imgcover::kMapSquare * m.rows + 10 + 14);
        for (int dy = 0; dy < 10; ++dy)
            for (int dx = 0; dx < 10; ++dx)
                ASSERT_EQ(png.at(4 + dx, legend + dy),
                          colour_of(imgcover::unsettled_mark_at(dx, dy)));
    }
}

// The legend says what a square is in pages: whole pages, a fraction of one, or both.
TEST(Map, TheLegendSaysASquaresPages) {
    const struct {
        int64_t bytes;
        const char* pages;
    } cases[] = {{1, "1/256 page"},       {3, "3/256 page"},      {128, "1/2 page"},
                 {256, "1 page"},         {300, "1 11/64 pages"}, {512, "2 pages"},
                 {1000, "3 29/32 pages"}, {262144, "1,024 pages"}};
    for (const auto& c : cases)
        EXPECT_EQ(imgcover::pages_text(c.bytes), c.pages) << c.bytes;
}

// Every cell of a map against a model of the run, at cell sizes that do not divide the 163-byte
// slots; 7 ends a cell exactly where slot 7 of a (byte 1141) begins, 64 where page 9 begins.
// Captures, pages 0 to 11 (3072 bytes), listed:
//  d  (0,11)-(0,11)  all received, first try
//  a  (0,0)-(0,6)    all but slot 7, first try
//  x  (0,6)-(0,8)    all: a repeat, overlapping a (listed before) by its first page only
//  y  (0,9)-(0,11)   all: a repeat, overlapping d (listed before) by its last page only
struct MapCase {
    int64_t cell;
    int32_t width;
};

void PrintTo(const MapCase& c, std::ostream* os) {
    *os << "cell " << c.cell;
}

class MapCells : public ::testing::TestWithParam<MapCase> {};

TEST_P(MapCells, EachCellTellsItsOwnBytes) {
    const MapCase& mc = GetParam();
    constexpr int64_t kSize = 3072;
    Workdir w;
    w.write("file_info.txt",
            run_info(kSize, 4, 0,
                     {"d_0_11_0_11.txt", "a_0_0_0_6.txt", "x_0_6_0_8.txt", "y_0_9_0_11.txt"}));
    w.write("d_0_11_0_11.txt", image_frames_except(11, 2, {}));
    w.write("a_0_0_0_6.txt", image_frames_except(0, 11, {7}));
    w.write("x_0_6_0_8.txt", image_frames_except(6, 5, {}));
    w.write("y_0_9_0_11.txt", image_frames_except(9, 5, {}));
    const Ran r = cover(w.path(), "--map map.png --cell " + std::to_string(mc.cell) +
                                      " --map-width " + std::to_string(mc.width));
    EXPECT_EQ(r.status, 1) << r.err;

    // The model: per byte, received at all, and received by a capture that is no repeat.
    std::vector<bool> covered(kSize), first_try(kSize);
    const struct {
        int64_t first_page, pages, slots;
        int skip;
        bool repeat;
    } captures[] = {
        {11, 1, 2, -1, false}, {0, 7, 11, 7, false}, {6, 3, 5, -1, true}, {9, 3, 5, -1, true}};
    for (const auto& c : captures) {
        const int64_t base = c.first_page * 256, limit = base + c.pages * 256 - 1;
        for (int s = 0; s < c.slots; ++s) {
            for (int64_t o = base + 163 * s; s != c.skip && o < base + 163 * (s + 1); ++o) {
                if (o <= limit && o < kSize) {
                    covered[static_cast<size_t>(o)] = true;
                    first_try[static_cast<size_t>(o)] =
                        first_try[static_cast<size_t>(o)] || !c.repeat;
                }
            }
        }
    }
    Png png;
    ASSERT_TRUE(png.read(w.path() + "/map.png"));
    imgcover::MapLayout m;
    std::string error;
    ASSERT_TRUE(imgcover::map_layout(analysed(w.path()), mc.cell, mc.width, m, error)) << error;
    const Colour red = colour_of(imgcover::kMissingColour),
                 amber = colour_of(imgcover::kRepeatColour),
                 green = colour_of(imgcover::kFirstTryColour);
    int wrong = 0, reds = 0, ambers = 0;
    const int64_t cells = (kSize + mc.cell - 1) / mc.cell;
    for (int64_t k = 0; k < cells; ++k) {
        bool missing = false, repeat = false;
        for (int64_t o = k * mc.cell; o < std::min(kSize, (k + 1) * mc.cell); ++o) {
            missing = missing || !covered[static_cast<size_t>(o)];
            repeat = repeat || !first_try[static_cast<size_t>(o)];
        }
        const Colour want = missing ? red : repeat ? amber : green;
        reds += missing;
        ambers += !missing && repeat;
        const Colour got = square_colour(png, m, k);
        if (got != want && ++wrong <= 3)
            ADD_FAILURE() << "cell " << k << " (bytes " << k * mc.cell << " on)";
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_GT(reds, 0);
    EXPECT_GT(ambers, 0);
}

INSTANTIATE_TEST_SUITE_P(Cells, MapCells, ::testing::Values(MapCase{7, 8}, MapCase{64, 5}));

} // namespace
