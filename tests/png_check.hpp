// A strict PNG reader for the tests: every PNG a test writes is read back through it, besides
// any pixel checks. It refuses what a lenient decoder lets through: a wrong signature, a chunk
// whose length runs past the file or whose CRC is wrong, an IHDR that is not first or not
// sound, IDAT chunks that are not one run, a zlib stream with a bad header, a bad Adler-32 or
// bytes after its end, rows of the wrong size or an unknown filter, a missing IEND or anything
// after it. What it accepts it decodes to RGB (8-bit RGB and gray pictures, any filter).
#pragma once

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include <zlib.h>

#include "workdir.hpp"

namespace png_check {

struct Png {
    std::string error; // empty when the file is sound
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    std::vector<std::string> chunks; // the chunk types in order
    bool ok() const { return error.empty(); }
    std::array<int, 3> at(int x, int y) const {
        const uint8_t* q = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return {q[0], q[1], q[2]};
    }
};

inline uint32_t be32(const std::string& s, size_t at) {
    return (uint32_t{static_cast<uint8_t>(s[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) |
           uint32_t{static_cast<uint8_t>(s[at + 3])};
}

// Inflates a raw deflate stream whole; false unless it ends exactly at the end of `in`.
inline bool inflate_raw(const std::string& in, std::string& out, std::string& error) {
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) {
        error = "inflateInit2 failed";
        return false;
    }
    z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(in.data()));
    z.avail_in = static_cast<uInt>(in.size());
    char buf[1 << 16];
    int status = Z_OK;
    while (status == Z_OK) {
        z.next_out = reinterpret_cast<Bytef*>(buf);
        z.avail_out = sizeof buf;
        status = inflate(&z, Z_NO_FLUSH);
        out.append(buf, sizeof buf - z.avail_out);
        if (status == Z_BUF_ERROR && z.avail_in == 0)
            break;
    }
    const uInt left = z.avail_in;
    inflateEnd(&z);
    if (status != Z_STREAM_END) {
        error = "the deflate stream is broken or cut short";
        return false;
    }
    if (left != 0) {
        error = std::to_string(left) + " bytes after the deflate stream";
        return false;
    }
    return true;
}

inline int paeth(int a, int b, int c) {
    const int p = a + b - c, pa = std::abs(p - a), pb = std::abs(p - b), pc = std::abs(p - c);
    return pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
}

// Reads PNG bytes strictly.
inline Png read(const std::string& s) {
    Png png;
    const auto fail = [&](const std::string& why) {
        png.error = why;
        return png;
    };
    if (s.size() < 8 || s.compare(0, 8, "\x89PNG\r\n\x1a\n", 8) != 0)
        return fail("not the PNG signature");
    size_t at = 8;
    std::string zdata;
    int depth = 0, colour = 0;
    bool seen_idat = false, idat_ended = false, seen_iend = false;
    while (at < s.size()) {
        if (seen_iend)
            return fail("bytes after IEND");
        if (s.size() - at < 12)
            return fail("a chunk cut short at byte " + std::to_string(at));
        const uint32_t length = be32(s, at);
        if (length > 0x7FFFFFFFu || length > s.size() - at - 12)
            return fail("a chunk's length runs past the file at byte " + std::to_string(at));
        const std::string type = s.substr(at + 4, 4);
        for (const char c : type) {
            if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z')))
                return fail("a chunk type that is not four letters at byte " + std::to_string(at));
        }
        const uint32_t want = be32(s, at + 8 + length);
        const uint32_t crc = static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(s.data() + at + 4), length + 4));
        if (crc != want)
            return fail(type + ": CRC error");
        const std::string data = s.substr(at + 8, length);
        png.chunks.push_back(type);
        at += 12 + length;
        if (png.chunks.size() == 1 && type != "IHDR")
            return fail("the first chunk is " + type + ", not IHDR");
        if (type == "IHDR") {
            if (png.chunks.size() != 1)
                return fail("a second IHDR");
            if (length != 13)
                return fail("IHDR of " + std::to_string(length) + " bytes");
            const uint32_t w = be32(data, 0), h = be32(data, 4);
            if (w == 0 || h == 0 || w > 0x7FFFFFFFu || h > 0x7FFFFFFFu)
                return fail("IHDR: a size out of range");
            depth = static_cast<uint8_t>(data[8]);
            colour = static_cast<uint8_t>(data[9]);
            if (depth != 8 || (colour != 0 && colour != 2))
                return fail("IHDR: not 8-bit gray or RGB");
            if (data[10] != 0 || data[11] != 0 || data[12] != 0)
                return fail("IHDR: unknown compression, filter or interlace method");
            png.width = static_cast<int>(w);
            png.height = static_cast<int>(h);
        } else if (type == "IDAT") {
            if (idat_ended)
                return fail("IDAT chunks that are not one run");
            seen_idat = true;
            zdata += data;
        } else if (type == "IEND") {
            if (length != 0)
                return fail("IEND with data");
            seen_iend = true;
        } else if (type[0] >= 'A' && type[0] <= 'Z') {
            return fail("an unknown critical chunk " + type);
        }
        if (seen_idat && type != "IDAT")
            idat_ended = true;
    }
    if (!seen_iend)
        return fail("no IEND");
    if (!seen_idat)
        return fail("no IDAT");
    // The zlib stream: its header, the deflate data, and the Adler-32 of what it inflates to.
    if (zdata.size() < 6)
        return fail("a zlib stream too short");
    const int cmf = static_cast<uint8_t>(zdata[0]), flg = static_cast<uint8_t>(zdata[1]);
    if ((cmf & 15) != 8 || (cmf >> 4) > 7 || (cmf * 256 + flg) % 31 != 0 || (flg & 32) != 0)
        return fail("a bad zlib header");
    std::string raw;
    if (!inflate_raw(zdata.substr(2, zdata.size() - 6), raw, png.error))
        return png;
    const uint32_t adler =
        static_cast<uint32_t>(adler32_z(1, reinterpret_cast<const Bytef*>(raw.data()), raw.size()));
    if (adler != be32(zdata, zdata.size() - 4))
        return fail("the zlib stream's Adler-32 is wrong");
    const size_t channels = colour == 2 ? 3 : 1;
    const size_t stride = static_cast<size_t>(png.width) * channels;
    if (raw.size() != (stride + 1) * static_cast<size_t>(png.height))
        return fail("the rows inflate to " + std::to_string(raw.size()) + " bytes, not " +
                    std::to_string((stride + 1) * static_cast<size_t>(png.height)));
    // Undo the filters, then widen gray to RGB.
    std::vector<uint8_t> prior(stride, 0), line(stride);
    png.rgb.reserve(static_cast<size_t>(png.width) * png.height * 3);
    for (int y = 0; y < png.height; ++y) {
        const char* row = raw.data() + static_cast<size_t>(y) * (stride + 1);
        const int filter = static_cast<uint8_t>(row[0]);
        if (filter > 4)
            return fail("row " + std::to_string(y) + " has unknown filter " +
                        std::to_string(filter));
        for (size_t k = 0; k < stride; ++k) {
            const int x = static_cast<uint8_t>(row[1 + k]);
            const int a = k >= channels ? line[k - channels] : 0, b = prior[k],
                      c = k >= channels ? prior[k - channels] : 0;
            const int predicted = filter == 0   ? 0
                                  : filter == 1 ? a
                                  : filter == 2 ? b
                                  : filter == 3 ? (a + b) / 2
                                                : paeth(a, b, c);
            line[k] = static_cast<uint8_t>(x + predicted);
        }
        for (size_t k = 0; k < stride; k += channels) {
            for (size_t c = 0; c < 3; ++c)
                png.rgb.push_back(line[k + (channels == 3 ? c : 0)]);
        }
        prior.swap(line);
    }
    return png;
}

// Reads the PNG file at `path` strictly.
inline Png read_file(const std::string& path) {
    return read(e2e::read_file(path));
}

} // namespace png_check
