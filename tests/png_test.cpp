// The PNG writer read back by the strict reader, and the strict reader itself shown to refuse
// the faults a lenient decoder lets through.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include <zlib.h>

#include "png.hpp"
#include "png_check.hpp"

namespace {

// Pixels that a seed makes: noise (which barely deflates) or flat bands.
std::vector<uint8_t> pixels(int32_t width, int32_t height, bool noise) {
    std::vector<uint8_t> rgb(static_cast<size_t>(width) * height * 3);
    uint32_t x = 12345;
    for (size_t k = 0; k < rgb.size(); ++k) {
        x = x * 1103515245u + 12345u;
        rgb[k] = noise ? static_cast<uint8_t>(x >> 24) : static_cast<uint8_t>(k / 3 / 97 * 40);
    }
    return rgb;
}

// Every size and level gives a sound PNG holding exactly the pixels written: one pixel, rows
// shorter than a deflate block, and pictures large enough to need several IDAT chunks.
TEST(PngWriter, EveryPictureIsSoundAndHoldsItsPixels) {
    const struct {
        int32_t width, height;
        bool noise;
    } cases[] = {{1, 1, false}, {3, 2, true}, {97, 5, false}, {300, 300, true}, {1000, 200, false}};
    for (const auto& c : cases) {
        for (const imgcover::Compression level :
             {imgcover::Compression::fastest, imgcover::Compression::stored}) {
            SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) +
                         (level == imgcover::Compression::stored ? " stored" : " fastest"));
            const std::vector<uint8_t> rgb = pixels(c.width, c.height, c.noise);
            const std::string bytes = imgcover::encode_png(c.width, c.height, rgb.data(), level);
            const png_check::Png png = png_check::read(bytes);
            ASSERT_EQ(png.error, "");
            EXPECT_EQ(png.width, c.width);
            EXPECT_EQ(png.height, c.height);
            EXPECT_EQ(png.rgb, rgb);
            // IDAT chunks hold at most kIdatBytes each; a stored noise picture of 270,000 bytes
            // takes five.
            const size_t idats = static_cast<size_t>(
                std::count(png.chunks.begin(), png.chunks.end(), std::string("IDAT")));
            EXPECT_GE(idats, 1 + (rgb.size() - 1) / imgcover::kIdatBytes *
                                     (level == imgcover::Compression::stored && c.noise));
            EXPECT_EQ(png.chunks.back(), "IEND");
            // IEND's CRC is that of its type alone.
            EXPECT_EQ(bytes.substr(bytes.size() - 12),
                      std::string("\0\0\0\0IEND\xae\x42\x60\x82", 12));
        }
    }
}

// Flat colours shrink many times at the fastest level; noise stored is its rows and a little.
TEST(PngWriter, FastestShrinksFlatColoursAndStoredKeepsTheSize) {
    const std::vector<uint8_t> flat = pixels(1000, 200, false), noise = pixels(1000, 200, true);
    const size_t raw = flat.size() + 200;
    EXPECT_LT(imgcover::encode_png(1000, 200, flat.data(), imgcover::Compression::fastest).size(),
              raw / 20);
    const size_t stored =
        imgcover::encode_png(1000, 200, noise.data(), imgcover::Compression::stored).size();
    EXPECT_GT(stored, raw);
    EXPECT_LT(stored, raw + raw / 100 + 200);
}

// A row too many or too few is a fault of the caller, said at once and never a short file.
TEST(PngWriter, RowsMustMatchTheHeight) {
    const std::vector<uint8_t> rgb = pixels(4, 1, false);
    imgcover::PngWriter short_one(4, 2, imgcover::Compression::fastest);
    short_one.row(rgb.data());
    EXPECT_THROW(short_one.finish(), std::logic_error);
    imgcover::PngWriter long_one(4, 1, imgcover::Compression::fastest);
    long_one.row(rgb.data());
    EXPECT_THROW(long_one.row(rgb.data()), std::logic_error);
}

// Sets the big-endian 32-bit value at `at`.
void set32(std::string& s, size_t at, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        s[at + k] = static_cast<char>(v >> (24 - 8 * k));
}

// Where the first chunk of `type` starts (its length field).
size_t chunk_at(const std::string& s, const char* type) {
    return s.find(type) - 4;
}

// The CRC a chunk would carry if it were computed over [from, from + n).
uint32_t crc_of(const std::string& s, size_t from, size_t n) {
    return static_cast<uint32_t>(
        crc32(0, reinterpret_cast<const Bytef*>(s.data() + from), static_cast<uInt>(n)));
}

// Each fault the strict reader must refuse, made in a sound PNG of two IDAT chunks.
TEST(PngCheck, RefusesWhatALenientDecoderLetsThrough) {
    const std::vector<uint8_t> rgb = pixels(200, 200, true);
    const std::string good =
        imgcover::encode_png(200, 200, rgb.data(), imgcover::Compression::stored);
    ASSERT_EQ(png_check::read(good).error, "");
    const size_t idat = chunk_at(good, "IDAT");
    const uint32_t idat_length = png_check::be32(good, idat);
    const struct {
        const char* fault;
        std::function<void(std::string&)> make;
        const char* refusal;
    } cases[] = {
        {"IEND's CRC 0", [](std::string& s) { set32(s, s.size() - 4, 0); }, "IEND: CRC error"},
        {"IDAT's CRC without its type",
         [&](std::string& s) {
             set32(s, idat + 8 + idat_length, crc_of(s, idat + 8, idat_length));
         },
         "IDAT: CRC error"},
        {"a pixel changed", [&](std::string& s) { s[idat + 100] ^= 1; }, "IDAT: CRC error"},
        {"the Adler-32 wrong, the CRCs right",
         [&](std::string& s) {
             const size_t last = s.rfind("IDAT") - 4;
             const uint32_t n = png_check::be32(s, last);
             s[last + 8 + n - 1] ^= 1;
             set32(s, last + 8 + n, crc_of(s, last + 4, n + 4));
         },
         "the zlib stream's Adler-32 is wrong"},
        {"a zlib header that fails its check",
         [&](std::string& s) {
             s[idat + 9] ^= 1;
             set32(s, idat + 8 + idat_length, crc_of(s, idat + 4, idat_length + 4));
         },
         "a bad zlib header"},
        {"a chunk length past the end", [&](std::string& s) { set32(s, idat, 0x7FFFFFF0u); },
         "a chunk's length runs past the file at byte 33"},
        {"cut short", [](std::string& s) { s.resize(s.size() - 12); }, "no IEND"},
        {"bytes after IEND", [](std::string& s) { s += "junk"; }, "bytes after IEND"},
        {"not the signature", [](std::string& s) { s[1] = 'p'; }, "not the PNG signature"},
        {"IHDR not first",
         [&](std::string& s) { s = s.substr(0, 8) + s.substr(s.size() - 12) + s.substr(8); },
         "the first chunk is IEND, not IHDR"},
        {"IHDR's height one row more",
         [](std::string& s) {
             set32(s, 20, 201);
             set32(s, 29, crc_of(s, 12, 17));
         },
         "the rows inflate to 120200 bytes, not 120801"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fault);
        std::string bad = good;
        c.make(bad);
        EXPECT_EQ(png_check::read(bad).error, c.refusal);
    }
}

} // namespace
