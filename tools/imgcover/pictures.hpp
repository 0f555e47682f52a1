// Pictures of an analysis as PNG bytes: the coverage map and the image as rebuilt so far, both
// drawn on one canvas type, each with a legend strip under it.
#pragma once

#include <cstdint>
#include <string>

#include "analysis.hpp"

namespace imgcover {

// Most rows of a map drawn with the default cell.
inline constexpr int64_t kMapRows = 1024;
// A map cell is a square of this many pixels a side, so that one missing slot is visible.
inline constexpr int32_t kMapSquare = 2;
// Largest picture drawn, in pixels, and the most pixels along either side: a larger one is
// refused before anything is allocated.
inline constexpr int64_t kMaxPicturePixels = 80'000'000;
inline constexpr int64_t kMaxPictureSide = int64_t{1} << 24;

struct Rgb {
    uint8_t r, g, b;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

// The colours a map shows (colour-blind safe), and the picture's own marks.
inline constexpr Rgb kMissingColour{213, 94, 0};     // vermillion: some byte not received
inline constexpr Rgb kUnsettledColour{240, 228, 66}; // yellow: captures disagree on a byte
inline constexpr Rgb kRepeatColour{0, 114, 178};     // blue: received only by a repeat or resend
inline constexpr Rgb kFirstTryColour{86, 180, 233};  // sky blue: all received the first time
inline constexpr Rgb kPastEndA{200, 200, 200};       // the last row's unused pixels: a hatch of
inline constexpr Rgb kPastEndB{160, 160, 160};       // two greys
inline constexpr Rgb kUnsettledA{0, 255, 255};       // a picture's unsettled pixel: a fine
inline constexpr Rgb kUnsettledB{0, 0, 0};           // checker of cyan and black

// How a picture shows its holes: one colour, or a checker of two (the default) in squares of
// 4 pixels, coarse enough to read as a pattern and not blend into one colour.
struct HoleColour {
    Rgb a{255, 0, 255}; // magenta
    Rgb b{255, 255, 0}; // yellow; equal to `a` for a single colour
    Rgb at(int64_t x, int64_t y) const { return (((x >> 2) + (y >> 2)) & 1) == 0 ? a : b; }
};

// A picture's unsettled pixel.
inline Rgb unsettled_at(int64_t x, int64_t y) {
    return ((x + y) & 1) == 0 ? kUnsettledA : kUnsettledB;
}

// Reads a --hole-color value: "checker", or a colour as RRGGBB or #RRGGBB. False when it is
// neither.
bool parse_hole_colour(const std::string& text, HoleColour& colour);

// The last row's unused pixels.
inline Rgb past_end_at(int64_t x, int64_t y) {
    return ((x + y) & 2) == 0 ? kPastEndA : kPastEndB;
}

// Smallest power-of-two cell that keeps a map of `width` cells a row within kMapRows rows.
int64_t default_cell(int64_t imagesize, int32_t width);

// Where a map puts its cells: the top left pixel of cell 0, each cell a kMapSquare square.
struct MapLayout {
    int64_t cell = 0;  // bytes a cell
    int32_t width = 0; // cells a row
    int64_t rows = 0;  // rows of cells
    int32_t left = 0;  // x of the first cell
    int32_t top = 0;   // y of the first cell
    int64_t pixels_wide = 0, pixels_high = 0;
};

// The layout of a map of `a` (cell 0: the default cell). False, with a message naming the
// limit, when the map would be larger than kMaxPicturePixels or kMaxPictureSide.
bool map_layout(const Analysis& a, int64_t cell, int32_t width, MapLayout& m, std::string& error);

// The coverage map as PNG bytes: one square per `cell` bytes, `width` squares a row, the byte
// offset on the left and the page on the right, ticks at capture range boundaries, and a
// legend under it. False, with a message, when it is too large to draw.
bool map_png(const Analysis& a, int64_t cell, int32_t width, std::string& png, std::string& error);

enum class Pixel { gray8, rgb24 };

struct PictureOptions {
    Pixel pixel = Pixel::gray8;
    int32_t width = 0;  // pixels a row
    int64_t offset = 0; // image offset of the first pixel
    HoleColour hole;
};

// Pixels a row and rows of a picture's image part; rows is 0 when there is no byte to draw.
// False, with a message naming the limit, when the picture would be too large.
bool picture_layout(const Analysis& a, const PictureOptions& p, int64_t& wide, int64_t& rows,
                    std::string& error);

// The image as rebuilt (a.image) from byte `offset` on as PNG bytes, every byte of it: holes in
// the hole colour, unsettled pixels as a yellow and black checker, the last row's unused
// pixels as a grey hatch, and a legend strip under it. Empty, and true, when the offset is past
// the image's end. False, with a message, when it is too large to draw.
bool picture_png(const Analysis& a, const PictureOptions& p, std::string& png, std::string& error);

enum class Compression { fast, stored };

// PNG bytes of an RGB picture, `width` by `height`, rows packed: deflated at the fastest level,
// or stored as they are.
std::string encode_png(int32_t width, int32_t height, const uint8_t* rgb, Compression level);

} // namespace imgcover
