// What the pictures are drawn on: colours, an RGB canvas with text in a small built-in font,
// legend lines, and the size limit every picture passes before anything is allocated.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace imgcover {

// Largest picture drawn, in pixels, and the most pixels along either side: a larger one is
// refused before anything is allocated.
inline constexpr int64_t kMaxPicturePixels = 80'000'000;
inline constexpr int64_t kMaxPictureSide = int64_t{1} << 24;

struct Rgb {
    uint8_t r, g, b;
    friend bool operator==(const Rgb&, const Rgb&) = default;
};

inline constexpr Rgb kBackground{250, 250, 250};
inline constexpr Rgb kText{20, 20, 20};
// One legend line's height, its swatch's side, and where its label starts.
inline constexpr int32_t kLegendRow = 14;
inline constexpr int32_t kSwatch = 10;
inline constexpr int32_t kLegendLeft = 4;
inline constexpr int32_t kLabelLeft = kLegendLeft + kSwatch + 6;

// True when a picture of `wide` x `high` pixels is within the limits; false, with a message
// naming `what` and the limits, otherwise.
bool fits(const char* what, int64_t wide, int64_t high, std::string& error);

// A character's advance in the canvas's font, near enough for laying out labels.
inline constexpr int32_t kCharWidth = 6;

// Width in pixels a layout allows for `text`: kCharWidth a character.
int32_t text_width(const std::string& text);

// Width in pixels of `text` as the canvas's font draws it.
int32_t text_extent(const std::string& text);

// `text` cut into lines of at most `room` pixels: at spaces, and inside a word only where the
// word alone is wider. Every line holds at least one character.
std::vector<std::string> wrapped(const std::string& text, int32_t room);

// An RGB picture being drawn; whatever falls outside it is left out.
struct Canvas {
    int32_t width, height;
    std::vector<uint8_t> rgb;
    Canvas(int32_t w, int32_t h);
    // The first byte of pixel (x, y), which must be inside.
    uint8_t* at(int32_t x, int32_t y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
    void put(int32_t x, int32_t y, Rgb c);
    void fill(int32_t x0, int32_t y0, int32_t w, int32_t h, Rgb c);
    // Text with its top left at (x, y).
    void text(int32_t x, int32_t y, const std::string& s, Rgb c);
    // A legend line at y: a swatch drawn by `swatch(x, y)` per pixel, then its label.
    template <class Swatch> void legend(int32_t y, Swatch swatch, const std::string& label) {
        for (int32_t dy = 0; dy < kSwatch; ++dy)
            for (int32_t dx = 0; dx < kSwatch; ++dx)
                put(kLegendLeft + dx, y + dy, swatch(dx, dy));
        text(kLabelLeft, y + 1, label, kText);
    }
};

} // namespace imgcover
