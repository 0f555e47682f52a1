#include "canvas.hpp"

#include <algorithm>
#include <cstring>

#include <stb/stb_easy_font.h>

#include "text.hpp"

namespace imgcover {

bool fits(const char* what, int64_t wide, int64_t high, std::string& error) {
    if (wide <= kMaxPictureSide && high <= kMaxPictureSide && wide * high <= kMaxPicturePixels)
        return true;
    error = format("%s: a picture of %s x %s pixels is larger than the limit of %s pixels (at "
                   "most %s a side)",
                   what, grouped(wide).c_str(), grouped(high).c_str(),
                   grouped(kMaxPicturePixels).c_str(), grouped(kMaxPictureSide).c_str());
    return false;
}

int32_t text_width(const std::string& text) {
    return kCharWidth * static_cast<int32_t>(text.size());
}

int32_t text_extent(const std::string& text) {
    std::string copy = text;
    return stb_easy_font_width(copy.data());
}

std::vector<std::string> wrapped(const std::string& text, int32_t room) {
    std::vector<std::string> lines;
    std::string line;
    size_t at = 0;
    while (at < text.size()) {
        const size_t space = std::min(text.find(' ', at), text.size());
        const std::string word = text.substr(at, space - at);
        at = space + 1;
        if (word.empty())
            continue;
        const std::string longer = line.empty() ? word : line + " " + word;
        if (text_extent(longer) <= room) {
            line = longer;
            continue;
        }
        if (!line.empty())
            lines.push_back(line);
        line = word;
        // A word wider than the room alone: as many characters a line as fit, at least one.
        while (text_extent(line) > room && line.size() > 1) {
            size_t n = 1;
            while (n + 1 < line.size() && text_extent(line.substr(0, n + 1)) <= room)
                ++n;
            lines.push_back(line.substr(0, n));
            line.erase(0, n);
        }
    }
    if (!line.empty())
        lines.push_back(line);
    return lines;
}

Canvas::Canvas(int32_t w, int32_t h)
    : width(w), height(h), rgb(static_cast<size_t>(w) * static_cast<size_t>(h) * 3) {}

void Canvas::put(int32_t x, int32_t y, Rgb c) {
    if (x < 0 || y < 0 || x >= width || y >= height)
        return;
    uint8_t* p = at(x, y);
    p[0] = c.r;
    p[1] = c.g;
    p[2] = c.b;
}

void Canvas::fill(int32_t x0, int32_t y0, int32_t w, int32_t h, Rgb c) {
    for (int32_t y = std::max(0, y0); y < std::min(height, y0 + h); ++y)
        for (int32_t x = std::max(0, x0); x < std::min(width, x0 + w); ++x)
            put(x, y, c);
}

// Each of the font's quads filled.
void Canvas::text(int32_t x, int32_t y, const std::string& s, Rgb c) {
    std::vector<char> vertices(s.size() * 64 * 16 + 64);
    std::string copy = s;
    const int quads =
        stb_easy_font_print(static_cast<float>(x), static_cast<float>(y), copy.data(), nullptr,
                            vertices.data(), static_cast<int>(vertices.size()));
    for (int q = 0; q < quads; ++q) {
        float v0[2], v2[2];
        std::memcpy(v0, vertices.data() + q * 64, sizeof v0);
        std::memcpy(v2, vertices.data() + q * 64 + 32, sizeof v2);
        fill(static_cast<int32_t>(v0[0]), static_cast<int32_t>(v0[1]),
             static_cast<int32_t>(v2[0] - v0[0]), static_cast<int32_t>(v2[1] - v0[1]), c);
    }
}

} // namespace imgcover
