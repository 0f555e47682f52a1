#include "picture.hpp"

#include <algorithm>
#include <vector>

#include "png.hpp"
#include "text.hpp"

namespace imgcover {

namespace {

constexpr int32_t kLegendTop = 8;

void put(uint8_t* q, Rgb c) {
    q[0] = c.r, q[1] = c.g, q[2] = c.b;
}

// A line of the legend: the swatch at its left, if any, and its text from x.
enum class Swatch { none, hole, unsettled, past_end };
struct LegendLine {
    Swatch swatch;
    int32_t x;
    std::string text;
};

// The legend's lines: each entry wrapped to the picture's width, its swatch on its first line.
std::vector<LegendLine> legend_lines(const PictureOptions& p) {
    const struct {
        Swatch swatch;
        std::string label;
    } entries[] = {
        {Swatch::hole, "hole: not received"},
        {Swatch::unsettled, "unsettled: captures disagree"},
        {Swatch::past_end, "past the end of the image"},
        {Swatch::none, format("1 pixel = %s, %s a row, from byte %s",
                              p.pixel == Pixel::gray8 ? "1 byte (gray8)" : "3 bytes (rgb24)",
                              grouped(p.width).c_str(), grouped(p.offset).c_str())}};
    std::vector<LegendLine> lines;
    for (const auto& e : entries) {
        const int32_t x = e.swatch == Swatch::none ? kLegendLeft : kLabelLeft;
        Swatch swatch = e.swatch;
        for (std::string& text : wrapped(e.label, p.width - x - 2)) {
            lines.push_back({swatch, x, std::move(text)});
            swatch = Swatch::none;
        }
    }
    return lines;
}

} // namespace

int64_t legend_rows(const PictureOptions& p) {
    if (p.width < kMinLegendWidth)
        return 0;
    return kLegendTop + kLegendRow * static_cast<int64_t>(legend_lines(p).size());
}

bool parse_hole_colour(const std::string& text, HoleColour& colour) {
    if (text == "checker") {
        colour = HoleColour{};
        return true;
    }
    const std::string hex = !text.empty() && text[0] == '#' ? text.substr(1) : text;
    if (hex.size() != 6 || hex.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos)
        return false;
    const unsigned long v = std::stoul(hex, nullptr, 16);
    const Rgb c{static_cast<uint8_t>(v >> 16), static_cast<uint8_t>(v >> 8),
                static_cast<uint8_t>(v)};
    colour.a = colour.b = c;
    return true;
}

bool picture_layout(const Analysis& a, const PictureOptions& p, int64_t& wide, int64_t& rows,
                    std::string& error) {
    const int64_t channels = p.pixel == Pixel::gray8 ? 1 : 3;
    const int64_t bytes = a.head.imagesize - p.offset;
    wide = p.width;
    rows = 0;
    if (p.width <= 0 || bytes <= 0)
        return true;
    const int64_t pixels = (bytes + channels - 1) / channels;
    rows = (pixels + p.width - 1) / p.width;
    return fits("--picture", wide, rows + legend_rows(p), error);
}

bool picture_png(const Analysis& a, const PictureOptions& p, std::string& png, std::string& error) {
    int64_t wide = 0, rows = 0;
    png.clear();
    if (!picture_layout(a, p, wide, rows, error))
        return false;
    if (rows == 0 || a.image.empty())
        return true;
    const int64_t size = a.head.imagesize;
    const int channels = p.pixel == Pixel::gray8 ? 1 : 3;
    const int32_t width = p.width;
    // Stored: received data barely shrinks, and deflating it at any level costs several
    // analyses.
    const int32_t legend_height = static_cast<int32_t>(legend_rows(p));
    PngWriter out(width, static_cast<int32_t>(rows + legend_height), Compression::stored);
    std::vector<uint8_t> line(static_cast<size_t>(width) * 3);
    const uint8_t* image = a.image.data();
    const uint8_t* coverage = a.coverage.data();
    for (int32_t y = 0; y < rows; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int64_t at = p.offset + (int64_t{y} * width + x) * channels;
            uint8_t* q = &line[static_cast<size_t>(x) * 3];
            if (at >= size) {
                put(q, past_end_at(x, y));
                continue;
            }
            const int n = static_cast<int>(std::min<int64_t>(channels, size - at));
            uint8_t all = kCovered, unsettled = 0;
            for (int c = 0; c < n; ++c) {
                all &= coverage[at + c];
                unsettled |= coverage[at + c];
            }
            if ((all & kCovered) == 0) {
                put(q, p.hole.at(x, y));
            } else if ((unsettled & kUnsettled) != 0) {
                put(q, unsettled_at(x, y));
            } else if (channels == 1) {
                q[0] = q[1] = q[2] = image[at];
            } else {
                // A last pixel with fewer than three bytes shows the bytes it has, 0 for the rest.
                for (int c = 0; c < 3; ++c)
                    q[c] = c < n ? image[at + c] : 0;
            }
        }
        out.row(line.data());
    }
    // The legend strip, wrapped to the picture's width.
    if (legend_height > 0) {
        Canvas legend(width, legend_height);
        legend.fill(0, 0, legend.width, legend.height, kBackground);
        int32_t y = kLegendTop;
        for (const LegendLine& line : legend_lines(p)) {
            switch (line.swatch) {
            case Swatch::hole:
                legend.legend(
                    y, [&](int32_t x, int32_t yy) { return p.hole.at(x, yy); }, line.text);
                break;
            case Swatch::unsettled:
                legend.legend(y, unsettled_at, line.text);
                break;
            case Swatch::past_end:
                legend.legend(y, past_end_at, line.text);
                break;
            case Swatch::none:
                legend.text(line.x, y + 1, line.text, kText);
                break;
            }
            y += kLegendRow;
        }
        for (int32_t r = 0; r < legend_height; ++r)
            out.row(legend.at(0, r));
    }
    png = out.finish();
    return true;
}

} // namespace imgcover
