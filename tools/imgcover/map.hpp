// The coverage map: one square per cell of image bytes, coloured by what the captures gave it,
// with the scale on both sides, ticks at capture range ends, and a legend under it.
#pragma once

#include <cstdint>
#include <string>

#include "analysis.hpp"
#include "canvas.hpp"

namespace imgcover {

// Most rows of a map drawn with the default cell.
inline constexpr int64_t kMapRows = 1024;
// A map cell is a square of this many pixels a side, so that one missing slot is visible.
inline constexpr int32_t kMapSquare = 2;

// The colours a map shows (colour-blind safe).
inline constexpr Rgb kMissingColour{213, 94, 0};     // vermillion: some byte not received
inline constexpr Rgb kUnsettledColour{240, 228, 66}; // yellow, with black: captures disagree
inline constexpr Rgb kRepeatColour{0, 114, 178};     // blue: received only by a repeat or resend
inline constexpr Rgb kFirstTryColour{86, 180, 233};  // sky blue: all received the first time

// A square holding an unsettled byte (and no missing one) is marked, not only coloured: a
// checker of yellow and black, its pixel at (x, y).
inline constexpr Rgb kUnsettledMark{0, 0, 0};
inline Rgb unsettled_mark_at(int32_t x, int32_t y) {
    return ((x + y) & 1) == 0 ? kUnsettledColour : kUnsettledMark;
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

// What a number of bytes is in pages, for the legend: "2 pages", "1/4 page".
std::string pages_text(int64_t bytes);

// The coverage map as PNG bytes, deflated at zlib's fastest level: one square per `cell` bytes,
// `width` squares a row, the byte offset on the left and the page on the right, ticks at
// capture range boundaries, and a legend under it. False, with a message, when it is too large
// to draw.
bool map_png(const Analysis& a, int64_t cell, int32_t width, std::string& png, std::string& error);

} // namespace imgcover
