// Pictures of an analysis as PNG bytes: the coverage map and the image as rebuilt so far, both
// drawn on one canvas type.
#pragma once

#include <cstdint>
#include <string>

#include "analysis.hpp"

namespace imgcover {

// Most rows of a map drawn with the default cell.
inline constexpr int64_t kMapRows = 1024;

// The coverage map as PNG bytes: one pixel per `cell` bytes (0: the smallest power of two that
// keeps the map within kMapRows rows), `width` pixels a row, and a legend under it.
std::string map_png(const Analysis& a, int64_t cell, int32_t width);

// Smallest power-of-two cell that keeps a map of `width` pixels a row within kMapRows rows.
int64_t default_cell(int64_t imagesize, int32_t width);

enum class Pixel { gray8, rgb24 };

// The image as rebuilt (a.image), from byte `offset` on, `width` pixels a row, as PNG bytes:
// pixels with an uncovered byte are magenta. Empty when there is no pixel to draw.
std::string picture_png(const Analysis& a, Pixel pixel, int32_t width, int64_t offset);

} // namespace imgcover
