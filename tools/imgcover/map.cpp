#include "map.hpp"

#include <algorithm>
#include <numeric>
#include <utility>

#include "png.hpp"
#include "text.hpp"

namespace imgcover {

namespace {

constexpr Rgb kTick{20, 20, 20};
constexpr int32_t kMapLegendLines = 6;
constexpr int32_t kLabelEvery = 8; // rows of cells between two scale labels

// The offset label of a map row, and its page as (block,page).
std::string offset_label(int64_t offset) {
    return grouped(offset);
}
std::string page_label(const Analysis& a, int64_t offset) {
    const imgrebuild::PagePlace at =
        imgrebuild::page_at(offset / imgrebuild::kPageBytes, a.head.SC_S);
    return format("(%lld,%d)", static_cast<long long>(at.block), at.page);
}

} // namespace

int64_t default_cell(int64_t imagesize, int32_t width) {
    int64_t cell = 1;
    while ((imagesize + cell - 1) / cell > int64_t{width} * kMapRows)
        cell *= 2;
    return cell;
}

std::string pages_text(int64_t bytes) {
    const int64_t page = imgrebuild::kPageBytes;
    const int64_t whole = bytes / page, rest = bytes % page;
    if (rest == 0)
        return grouped(whole) + (whole == 1 ? " page" : " pages");
    const int64_t common = std::gcd(rest, page);
    const std::string part = format("%lld/%lld", static_cast<long long>(rest / common),
                                    static_cast<long long>(page / common));
    return whole == 0 ? part + " page" : grouped(whole) + " " + part + " pages";
}

bool map_layout(const Analysis& a, int64_t cell, int32_t width, MapLayout& m, std::string& error) {
    const int64_t size = a.head.imagesize;
    m.cell = cell > 0 ? cell : default_cell(size, width);
    m.width = width;
    const int64_t cells = (size + m.cell - 1) / m.cell;
    m.rows = std::max<int64_t>(1, (cells + width - 1) / width);
    const int64_t last = std::max<int64_t>(0, size - 1);
    m.left = 8 + text_width(offset_label(last)) + 8;
    const int32_t right = 8 + text_width(page_label(a, last)) + 8;
    m.top = 6;
    const int64_t map_wide = int64_t{kMapSquare} * width, map_high = kMapSquare * m.rows;
    m.pixels_wide = std::max<int64_t>(m.left + map_wide + right, 330);
    m.pixels_high = m.top + map_high + 10 + kMapLegendLines * kLegendRow + 4;
    return fits("--map", m.pixels_wide, m.pixels_high, error);
}

bool map_png(const Analysis& a, int64_t cell, int32_t width, std::string& png, std::string& error) {
    MapLayout m;
    if (!map_layout(a, cell, width, m, error))
        return false;
    const int64_t size = a.head.imagesize;
    Canvas canvas(static_cast<int32_t>(m.pixels_wide), static_cast<int32_t>(m.pixels_high));
    canvas.fill(0, 0, canvas.width, canvas.height, kBackground);
    const int64_t cells = (size + m.cell - 1) / m.cell;
    const auto square = [&](int64_t k) {
        return std::pair<int32_t, int32_t>{
            static_cast<int32_t>(m.left + kMapSquare * (k % m.width)),
            static_cast<int32_t>(m.top + kMapSquare * (k / m.width))};
    };
    for (int64_t k = 0; k < cells; ++k) {
        const int64_t first = k * m.cell, last = std::min(size, first + m.cell) - 1;
        uint8_t any_missing = 0, any_unsettled = 0, all_first = kFirstTry;
        for (int64_t o = first; o <= last; ++o) {
            const uint8_t c = a.coverage[static_cast<size_t>(o)];
            any_missing |= static_cast<uint8_t>(~c & kCovered);
            any_unsettled |= static_cast<uint8_t>(c & kUnsettled);
            all_first &= c;
        }
        const Rgb colour = any_missing     ? kMissingColour
                           : any_unsettled ? kUnsettledColour
                           : !all_first    ? kRepeatColour
                                           : kFirstTryColour;
        const auto [x, y] = square(k);
        if (!any_missing && any_unsettled) {
            for (int32_t dy = 0; dy < kMapSquare; ++dy)
                for (int32_t dx = 0; dx < kMapSquare; ++dx)
                    canvas.put(x + dx, y + dy, unsettled_mark_at(dx, dy));
        } else {
            canvas.fill(x, y, kMapSquare, kMapSquare, colour);
        }
    }
    // The scale: every kLabelEvery rows, the row's first offset on the left, its page on the
    // right, each with a short line to the row.
    const int32_t right_x = m.left + kMapSquare * m.width;
    for (int64_t r = 0; r < m.rows; r += kLabelEvery) {
        const int64_t offset = r * m.width * m.cell;
        const int32_t y = static_cast<int32_t>(m.top + kMapSquare * r);
        const std::string left = offset_label(offset);
        canvas.text(m.left - 10 - text_width(left), y - 2, left, kText);
        canvas.text(right_x + 10, y - 2, page_label(a, offset), kText);
        canvas.fill(m.left - 8, y, 3, 1, kText);
        canvas.fill(right_x + 5, y, 3, 1, kText);
    }
    // Ticks at capture range boundaries: beside the row that holds the boundary, on both sides.
    for (const Capture& c : a.captures) {
        if (!c.has_range())
            continue;
        const int64_t ends[2] = {c.math.base, imgrebuild::range_end(c.math)};
        for (const int64_t b : ends) {
            if (b < 0 || b >= size)
                continue;
            const int32_t y = square(b / m.cell).second;
            canvas.fill(m.left - 4, y, 4, kMapSquare, kTick);
            canvas.fill(right_x, y, 4, kMapSquare, kTick);
        }
    }
    // The legend.
    int32_t y = static_cast<int32_t>(m.top + kMapSquare * m.rows + 10);
    const struct {
        Rgb colour;
        const char* label;
    } legend[] = {{kMissingColour, "missing"},
                  {kUnsettledColour, "unsettled: captures disagree"},
                  {kRepeatColour, "received only by a repeat or resend"},
                  {kFirstTryColour, "received the first time"}};
    for (const auto& e : legend) {
        canvas.legend(
            y,
            [&](int32_t x, int32_t yy) {
                return e.colour == kUnsettledColour ? unsettled_mark_at(x, yy) : e.colour;
            },
            e.label);
        y += kLegendRow;
    }
    const std::string square_text =
        format("1 square (%dx%d pixels) = %s byte%s = %s", kMapSquare, kMapSquare,
               grouped(m.cell).c_str(), m.cell == 1 ? "" : "s", pages_text(m.cell).c_str());
    canvas.text(kLegendLeft, y + 1, square_text, kText);
    y += kLegendRow;
    canvas.text(kLegendLeft, y + 1,
                "left: byte offset, right: (block,page); ticks: capture range ends", kText);
    // Flat colours: the fastest level shrinks them many times.
    png = encode_png(canvas.width, canvas.height, canvas.rgb.data(), Compression::fastest);
    return true;
}

} // namespace imgcover
