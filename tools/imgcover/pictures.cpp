#include "pictures.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

#include "text.hpp"

#ifdef IMGCOVER_HAVE_ZLIB
#include <zlib.h>
#else
#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_image_write.h>
#endif
#include <stb/stb_easy_font.h>

namespace imgcover {

namespace {

constexpr Rgb kBackground{250, 250, 250};
constexpr Rgb kText{20, 20, 20};
constexpr Rgb kTick{20, 20, 20};
constexpr int32_t kCharWidth = 6;  // the easy font's advance, near enough for layout
constexpr int32_t kLegendRow = 14; // one legend line
constexpr int32_t kSwatch = 10;

int32_t text_width(const std::string& s) {
    return kCharWidth * static_cast<int32_t>(s.size());
}

// The size check every picture passes before anything is allocated.
bool fits(const char* what, int64_t wide, int64_t high, std::string& error) {
    if (wide <= kMaxPictureSide && high <= kMaxPictureSide && wide * high <= kMaxPicturePixels)
        return true;
    error = format("%s: a picture of %s x %s pixels is larger than the limit of %s pixels (at "
                   "most %s a side)",
                   what, grouped(wide).c_str(), grouped(high).c_str(),
                   grouped(kMaxPicturePixels).c_str(), grouped(kMaxPictureSide).c_str());
    return false;
}

// An RGB picture being drawn.
struct Canvas {
    int32_t width, height;
    std::vector<uint8_t> rgb;
    Canvas(int32_t w, int32_t h) : width(w), height(h), rgb(static_cast<size_t>(w) * h * 3) {}
    uint8_t* at(int32_t x, int32_t y) { return &rgb[(static_cast<size_t>(y) * width + x) * 3]; }
    void put(int32_t x, int32_t y, Rgb c) {
        if (x < 0 || y < 0 || x >= width || y >= height)
            return;
        uint8_t* p = at(x, y);
        p[0] = c.r;
        p[1] = c.g;
        p[2] = c.b;
    }
    void fill(int32_t x0, int32_t y0, int32_t w, int32_t h, Rgb c) {
        for (int32_t y = std::max(0, y0); y < std::min(height, y0 + h); ++y)
            for (int32_t x = std::max(0, x0); x < std::min(width, x0 + w); ++x)
                put(x, y, c);
    }
    // Text in the easy font, each of its quads filled.
    void text(int32_t x, int32_t y, const std::string& s, Rgb c) {
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
    // A legend line: a swatch drawn by `swatch(x, y)` per pixel, then its label.
    template <class Swatch>
    void legend(int32_t x, int32_t y, Swatch swatch, const std::string& label) {
        for (int32_t dy = 0; dy < kSwatch; ++dy)
            for (int32_t dx = 0; dx < kSwatch; ++dx)
                put(x + dx, y + dy, swatch(dx, dy));
        text(x + kSwatch + 6, y + 1, label, kText);
    }
    std::string png(Compression level) const {
        return encode_png(width, height, rgb.data(), level);
    }
};

} // namespace

#ifdef IMGCOVER_HAVE_ZLIB

namespace {

void put32(std::string& out, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 4);
}

void chunk(std::string& out, const char* type, const unsigned char* data, size_t n) {
    put32(out, static_cast<uint32_t>(n));
    out.append(type, 4);
    out.append(reinterpret_cast<const char*>(data), n);
    uLong crc = crc32(0, reinterpret_cast<const Bytef*>(type), 4);
    crc = crc32_z(crc, data, n);
    put32(out, static_cast<uint32_t>(crc));
}

} // namespace

// Rows unfiltered; deflated at zlib's fastest level, or stored.
std::string encode_png(int32_t width, int32_t height, const uint8_t* rgb, Compression level) {
    std::string out;
    if (width <= 0 || height <= 0)
        return out;
    out.append("\x89PNG\r\n\x1a\n", 8);
    unsigned char head[13];
    const uint32_t w = static_cast<uint32_t>(width), h = static_cast<uint32_t>(height);
    const unsigned char ihdr[13] = {static_cast<unsigned char>(w >> 24),
                                    static_cast<unsigned char>(w >> 16),
                                    static_cast<unsigned char>(w >> 8),
                                    static_cast<unsigned char>(w),
                                    static_cast<unsigned char>(h >> 24),
                                    static_cast<unsigned char>(h >> 16),
                                    static_cast<unsigned char>(h >> 8),
                                    static_cast<unsigned char>(h),
                                    8,
                                    2,
                                    0,
                                    0,
                                    0};
    std::memcpy(head, ihdr, sizeof head);
    chunk(out, "IHDR", head, sizeof head);
    z_stream z{};
    if (deflateInit(&z, level == Compression::fast ? 1 : 0) != Z_OK)
        return {};
    const size_t stride = static_cast<size_t>(width) * 3;
    const uLong raw = static_cast<uLong>((stride + 1) * static_cast<size_t>(height));
    // Room for the whole file at once: growing it while deflating would copy it again and again.
    const size_t bound = deflateBound(&z, raw);
    out.reserve(out.size() + bound + 12 * (bound / (1 << 20) + 2) + 12);
    std::vector<unsigned char> buf(1 << 20);
    const auto drain = [&](int flush) {
        do {
            z.next_out = buf.data();
            z.avail_out = static_cast<uInt>(buf.size());
            deflate(&z, flush);
            const size_t n = buf.size() - z.avail_out;
            if (n > 0)
                chunk(out, "IDAT", buf.data(), n);
        } while (z.avail_out == 0);
    };
    unsigned char filter = 0;
    for (int32_t y = 0; y < height; ++y) {
        z.next_in = &filter;
        z.avail_in = 1;
        drain(Z_NO_FLUSH);
        z.next_in = const_cast<Bytef*>(rgb + static_cast<size_t>(y) * stride);
        z.avail_in = static_cast<uInt>(stride);
        drain(Z_NO_FLUSH);
    }
    drain(Z_FINISH);
    deflateEnd(&z);
    chunk(out, "IEND", nullptr, 0);
    return out;
}

#else

namespace {

void append_png(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<size_t>(size));
}

} // namespace

std::string encode_png(int32_t width, int32_t height, const uint8_t* rgb, Compression level) {
    std::string png;
    if (width <= 0 || height <= 0)
        return png;
    stbi_write_png_compression_level = level == Compression::fast ? 1 : 0;
    stbi_write_png_to_func(append_png, &png, width, height, 3, rgb, width * 3);
    return png;
}

#endif

namespace {

#ifdef IMGCOVER_HAVE_ZLIB
uint32_t crc_of(uint32_t crc, const unsigned char* p, size_t n) {
    return static_cast<uint32_t>(crc32_z(crc, p, n));
}
uint32_t adler_of(uint32_t adler, const unsigned char* p, size_t n) {
    return static_cast<uint32_t>(adler32_z(adler, p, n));
}
#else
uint32_t crc_of(uint32_t crc, const unsigned char* p, size_t n) {
    crc = ~crc;
    for (size_t k = 0; k < n; ++k) {
        crc ^= p[k];
        for (int b = 0; b < 8; ++b)
            crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return ~crc;
}
uint32_t adler_of(uint32_t adler, const unsigned char* p, size_t n) {
    uint32_t a = adler & 0xFFFF, b = adler >> 16;
    for (size_t k = 0; k < n; ++k) {
        a = (a + p[k]) % 65521;
        b = (b + a) % 65521;
    }
    return (b << 16) | a;
}
#endif

void big_endian(std::string& out, uint32_t v) {
    const char b[4] = {static_cast<char>(v >> 24), static_cast<char>(v >> 16),
                       static_cast<char>(v >> 8), static_cast<char>(v)};
    out.append(b, 4);
}

// A PNG written row by row straight into its bytes, its pixels stored, not deflated: one IDAT
// chunk holding a zlib stream of stored blocks. Nothing but the file itself is allocated.
class StoredPng {
  public:
    StoredPng(int32_t width, int32_t height)
        : stride_(static_cast<size_t>(width) * 3 + 1), raw_(stride_ * static_cast<size_t>(height)) {
        const size_t blocks = (raw_ + kBlock - 1) / kBlock;
        const size_t zlib = 2 + raw_ + 5 * blocks + 4;
        out_.reserve(8 + 25 + 12 + zlib + 12);
        out_.append("\x89PNG\r\n\x1a\n", 8);
        std::string ihdr = "IHDR";
        big_endian(ihdr, static_cast<uint32_t>(width));
        big_endian(ihdr, static_cast<uint32_t>(height));
        ihdr.append("\x08\x02\x00\x00\x00", 5); // 8 bits, RGB
        big_endian(out_, 13);
        out_ += ihdr;
        big_endian(out_, crc_of(0, reinterpret_cast<const unsigned char*>(ihdr.data()), 17));
        big_endian(out_, static_cast<uint32_t>(zlib));
        idat_ = out_.size();
        out_.append("IDAT\x78\x01", 6); // zlib header: deflate, 32K window, no dictionary
    }
    // Appends one row of width RGB pixels.
    void row(const uint8_t* rgb) {
        const unsigned char filter = 0;
        put(&filter, 1);
        put(rgb, stride_ - 1);
    }
    // The PNG bytes, once every row is in.
    std::string finish() {
        big_endian(out_, adler_);
        const uint32_t crc = crc_of(0, reinterpret_cast<const unsigned char*>(out_.data()) + idat_,
                                    out_.size() - idat_);
        big_endian(out_, crc);
        big_endian(out_, 0);
        out_.append("IEND\xae\x42\x60\x82", 8);
        return std::move(out_);
    }

  private:
    static constexpr size_t kBlock = 65535;
    size_t stride_, raw_;
    size_t written_ = 0; // raw bytes so far
    size_t left_ = 0;    // raw bytes left in the current stored block
    size_t idat_ = 0;    // where the IDAT chunk's type starts
    uint32_t adler_ = 1;
    std::string out_;

    void put(const uint8_t* p, size_t n) {
        adler_ = adler_of(adler_, p, n);
        while (n > 0) {
            if (left_ == 0) {
                left_ = std::min(kBlock, raw_ - written_);
                const bool last = written_ + left_ == raw_;
                const uint16_t len = static_cast<uint16_t>(left_);
                const char head[5] = {static_cast<char>(last ? 1 : 0), static_cast<char>(len),
                                      static_cast<char>(len >> 8), static_cast<char>(~len),
                                      static_cast<char>(~len >> 8)};
                out_.append(head, 5);
            }
            const size_t k = std::min(n, left_);
            out_.append(reinterpret_cast<const char*>(p), k);
            p += k, n -= k, left_ -= k, written_ += k;
        }
    }
};

} // namespace

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

int64_t default_cell(int64_t imagesize, int32_t width) {
    int64_t cell = 1;
    while ((imagesize + cell - 1) / cell > int64_t{width} * kMapRows)
        cell *= 2;
    return cell;
}

namespace {

// The offset label of a map row, and its page as (block,page).
std::string offset_label(int64_t offset) {
    return grouped(offset);
}
std::string page_label(const Analysis& a, int64_t offset) {
    const int64_t page = offset / imgrebuild::kPageBytes;
    return format("(%lld,%lld)",
                  static_cast<long long>(a.head.SC_S + page / imgrebuild::kBlockPages),
                  static_cast<long long>(page % imgrebuild::kBlockPages));
}

constexpr int32_t kMapLegendLines = 6;
constexpr int32_t kLabelEvery = 8; // rows of cells between two scale labels

// What a number of bytes is in pages, for the legend.
std::string pages_text(int64_t bytes) {
    const int64_t page = imgrebuild::kPageBytes;
    if (bytes % page == 0)
        return grouped(bytes / page) + (bytes == page ? " page" : " pages");
    return format("1/%lld page", static_cast<long long>(page / bytes));
}

} // namespace

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
        canvas.fill(x, y, kMapSquare, kMapSquare, colour);
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
        const int64_t ends[2] = {c.math.base,
                                 c.math.base + int64_t{c.math.npage} * imgrebuild::kPageBytes};
        for (const int64_t b : ends) {
            if (b < 0 || b >= size)
                continue;
            const auto [x, y] = square(b / m.cell);
            (void)x;
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
            4, y, [&](int32_t, int32_t) { return e.colour; }, e.label);
        y += kLegendRow;
    }
    const std::string square_text =
        format("1 square (%dx%d pixels) = %s byte%s = %s", kMapSquare, kMapSquare,
               grouped(m.cell).c_str(), m.cell == 1 ? "" : "s", pages_text(m.cell).c_str());
    canvas.text(4, y + 1, square_text, kText);
    y += kLegendRow;
    canvas.text(4, y + 1, "left: byte offset, right: (block,page); ticks: capture range ends",
                kText);
    // Stored, 3 bytes a pixel: deflating received data at any level costs several analyses.
    png = canvas.png(Compression::stored);
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
    constexpr int64_t kLegend = 8 + 4 * kLegendRow;
    return fits("--picture", wide, rows + kLegend, error);
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
    const int32_t legend_rows = 8 + 4 * kLegendRow;
    StoredPng out(width, static_cast<int32_t>(rows + legend_rows));
    std::vector<uint8_t> line(static_cast<size_t>(width) * 3);
    const uint8_t* image = a.image.data();
    const uint8_t* coverage = a.coverage.data();
    for (int32_t y = 0; y < rows; ++y) {
        for (int32_t x = 0; x < width; ++x) {
            const int64_t at = p.offset + (int64_t{y} * width + x) * channels;
            uint8_t* q = &line[static_cast<size_t>(x) * 3];
            if (at >= size) {
                const Rgb c = past_end_at(x, y);
                q[0] = c.r, q[1] = c.g, q[2] = c.b;
                continue;
            }
            const int n = static_cast<int>(std::min<int64_t>(channels, size - at));
            uint8_t all = kCovered, unsettled = 0;
            for (int c = 0; c < n; ++c) {
                all &= coverage[at + c];
                unsettled |= coverage[at + c];
            }
            if ((all & kCovered) == 0) {
                const Rgb c = p.hole.at(x, y);
                q[0] = c.r, q[1] = c.g, q[2] = c.b;
            } else if ((unsettled & kUnsettled) != 0) {
                const Rgb c = unsettled_at(x, y);
                q[0] = c.r, q[1] = c.g, q[2] = c.b;
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
    // The legend strip, cut at the picture's width: a narrow picture is not made wider for it.
    Canvas legend(width, legend_rows);
    legend.fill(0, 0, legend.width, legend.height, kBackground);
    int32_t y = 8;
    legend.legend(
        4, y, [&](int32_t x, int32_t yy) { return p.hole.at(x, yy); }, "hole: not received");
    y += kLegendRow;
    legend.legend(4, y, unsettled_at, "unsettled: captures disagree");
    y += kLegendRow;
    legend.legend(4, y, past_end_at, "past the end of the image");
    y += kLegendRow;
    legend.text(4, y + 1,
                format("1 pixel = %s, %s a row, from byte %s",
                       channels == 1 ? "1 byte (gray8)" : "3 bytes (rgb24)", grouped(width).c_str(),
                       grouped(p.offset).c_str()),
                kText);
    for (int32_t r = 0; r < legend_rows; ++r)
        out.row(legend.at(0, r));
    // Stored, 3 bytes a pixel: deflating received data at any level costs several analyses.
    png = out.finish();
    return true;
}

} // namespace imgcover
