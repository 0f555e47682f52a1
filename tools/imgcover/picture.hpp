// The picture: the image as rebuilt so far, every byte of it as a pixel, with its holes,
// unsettled bytes and the last row's unused pixels marked, and a legend strip under it.
#pragma once

#include <cstdint>
#include <string>

#include "analysis.hpp"
#include "canvas.hpp"

namespace imgcover {

inline constexpr Rgb kPastEndA{200, 200, 200}; // the last row's unused pixels: a hatch of
inline constexpr Rgb kPastEndB{160, 160, 160}; // two greys
inline constexpr Rgb kUnsettledA{0, 255, 255}; // an unsettled pixel: a fine checker of cyan
inline constexpr Rgb kUnsettledB{0, 0, 0};     // and black

// How a picture shows its holes: one colour, or a checker of two (the default) in squares of
// 4 pixels, coarse enough to read as a pattern and not blend into one colour.
struct HoleColour {
    Rgb a{255, 0, 255}; // magenta
    Rgb b{255, 255, 0}; // yellow; equal to `a` for a single colour
    Rgb at(int64_t x, int64_t y) const { return (((x >> 2) + (y >> 2)) & 1) == 0 ? a : b; }
};

// Reads a --hole-color value: "checker", or a colour as RRGGBB or #RRGGBB. False when it is
// neither.
bool parse_hole_colour(const std::string& text, HoleColour& colour);

// An unsettled pixel at (x, y).
inline Rgb unsettled_at(int64_t x, int64_t y) {
    return ((x + y) & 1) == 0 ? kUnsettledA : kUnsettledB;
}

// The last row's unused pixel at (x, y).
inline Rgb past_end_at(int64_t x, int64_t y) {
    return ((x + y) & 2) == 0 ? kPastEndA : kPastEndB;
}

// Fewest pixels a row that a picture's legend is drawn at; a narrower picture has none.
inline constexpr int32_t kMinLegendWidth = 48;

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

// Rows of a picture's legend strip: its lines wrapped to the picture's width (the picture is
// never made wider for them); 0 when the width is below kMinLegendWidth.
int64_t legend_rows(const PictureOptions& p);

// The image as rebuilt (a.image) from byte `offset` on as PNG bytes, stored, not deflated:
// holes in the hole colour, unsettled pixels as a cyan and black checker, the last row's
// unused pixels as a grey hatch, and a legend strip under it. Empty, and true, when the offset
// is past the image's end. False, with a message, when it is too large to draw.
bool picture_png(const Analysis& a, const PictureOptions& p, std::string& png, std::string& error);

} // namespace imgcover
