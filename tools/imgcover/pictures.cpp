#include "pictures.hpp"

#include <algorithm>
#include <vector>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_easy_font.h>
#include <stb/stb_image_write.h>

namespace imgcover {

int64_t default_cell(int64_t imagesize, int32_t width) {
    int64_t cell = 1;
    while ((imagesize + cell - 1) / cell > int64_t{width} * kMapRows)
        cell *= 2;
    return cell;
}

namespace {

struct Rgb {
    uint8_t r, g, b;
};

constexpr Rgb kMissingColour{214, 39, 40};  // red: some byte not received
constexpr Rgb kRepeatColour{255, 170, 0};   // amber: received only by a repeat or a resend
constexpr Rgb kFirstTryColour{44, 160, 44}; // green: all received on the first try
constexpr Rgb kBackground{250, 250, 250};
constexpr Rgb kText{20, 20, 20};
constexpr Rgb kHole{255, 0, 255}; // magenta: a pixel with an uncovered byte

void append_png(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<size_t>(size));
}

std::string encode(int32_t width, int32_t height, int channels, const uint8_t* pixels) {
    std::string png;
    if (width <= 0 || height <= 0)
        return png;
    stbi_write_png_to_func(append_png, &png, width, height, channels, pixels, width * channels);
    return png;
}

// An RGB picture being drawn, and its PNG bytes.
struct Canvas {
    int32_t width, height;
    std::vector<uint8_t> rgb;
    Canvas(int32_t w, int32_t h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3) {}
    void put(int32_t x, int32_t y, Rgb c) {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return;
        uint8_t* p = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    void fill(int32_t x0, int32_t y0, int32_t w, int32_t h, Rgb c) {
        for (int32_t y = y0; y < y0 + h; ++y)
            for (int32_t x = x0; x < x0 + w; ++x)
                put(x, y, c);
    }
    // Text in the easy font, each of its quads filled.
    void text(int32_t x, int32_t y, const char* s, Rgb c) {
        std::vector<char> vertices(64 * 1024);
        const int quads =
            stb_easy_font_print(static_cast<float>(x), static_cast<float>(y), const_cast<char*>(s),
                                nullptr, vertices.data(), static_cast<int>(vertices.size()));
        for (int q = 0; q < quads; ++q) {
            const float* v0 = reinterpret_cast<const float*>(vertices.data() + q * 64);
            const float* v2 = reinterpret_cast<const float*>(vertices.data() + q * 64 + 32);
            fill(static_cast<int32_t>(v0[0]), static_cast<int32_t>(v0[1]),
                 static_cast<int32_t>(v2[0] - v0[0]), static_cast<int32_t>(v2[1] - v0[1]), c);
        }
    }
    // The picture as PNG bytes; empty when it has no pixel.
    std::string png() const { return encode(width, height, 3, rgb.data()); }
};

} // namespace

std::string map_png(const Analysis& a, int64_t cell, int32_t width) {
    const int64_t size = a.head.imagesize;
    if (cell <= 0)
        cell = default_cell(size, width);
    const int64_t cells = (size + cell - 1) / cell;
    const int32_t rows = static_cast<int32_t>((cells + width - 1) / width);
    constexpr int32_t kLegendRow = 14, kLegendWidth = 190;
    const int32_t picture_width = std::max(width, kLegendWidth);
    Canvas canvas(picture_width, rows + 8 + 3 * kLegendRow + 4);
    canvas.fill(0, 0, canvas.width, canvas.height, kBackground);
    for (int64_t k = 0; k < cells; ++k) {
        const int64_t first = k * cell, last = std::min(size, first + cell) - 1;
        bool missing = false, repeat = false;
        for (int64_t o = first; o <= last; ++o) {
            const uint8_t c = a.coverage[static_cast<size_t>(o)];
            missing = missing || (c & kCovered) == 0;
            repeat = repeat || (c & kFirstTry) == 0;
        }
        canvas.put(static_cast<int32_t>(k % width), static_cast<int32_t>(k / width),
                   missing  ? kMissingColour
                   : repeat ? kRepeatColour
                            : kFirstTryColour);
    }
    const struct {
        Rgb colour;
        const char* label;
    } legend[] = {{kMissingColour, "missing"},
                  {kRepeatColour, "received by a repeat or resend"},
                  {kFirstTryColour, "received on the first try"}};
    int32_t y = rows + 8;
    for (const auto& e : legend) {
        canvas.fill(4, y, 10, 10, e.colour);
        canvas.text(20, y + 1, e.label, kText);
        y += kLegendRow;
    }
    const std::string cell_text =
        "1 pixel = " + std::to_string(cell) + (cell == 1 ? " byte" : " bytes");
    canvas.text(picture_width - 6 * static_cast<int32_t>(cell_text.size()) - 4, rows + 8 + 1,
                cell_text.c_str(), kText);
    return canvas.png();
}

std::string picture_png(const Analysis& a, Pixel pixel, int32_t width, int64_t offset) {
    const int64_t size = a.head.imagesize;
    const int channels = pixel == Pixel::gray8 ? 1 : 3;
    if (width <= 0 || offset < 0 || offset >= size || a.image.empty())
        return {};
    const int64_t pixels = (size - offset) / channels;
    const int32_t rows = static_cast<int32_t>(pixels / width);
    if (rows <= 0)
        return {};
    Canvas canvas(width, rows);
    for (int64_t p = 0; p < int64_t{rows} * width; ++p) {
        const int64_t at = offset + p * channels;
        bool hole = false;
        for (int c = 0; c < channels; ++c)
            hole = hole || (a.coverage[static_cast<size_t>(at + c)] & kCovered) == 0;
        const auto byte = [&](int c) {
            return a.image[static_cast<size_t>(at + (channels == 1 ? 0 : c))];
        };
        canvas.put(static_cast<int32_t>(p % width), static_cast<int32_t>(p / width),
                   hole ? kHole : Rgb{byte(0), byte(1), byte(2)});
    }
    return canvas.png();
}

} // namespace imgcover
