// A picture read back to its pixels, for tests that check what a picture shows: through the
// strict reader (png_check.hpp), so that a file that is not a sound PNG fails the test.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "canvas.hpp"
#include "png_check.hpp"

namespace e2e {

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    bool read(const std::string& path) { return decode(read_file(path)); }
    bool decode(const std::string& bytes) {
        png_check::Png p = png_check::read(bytes);
        EXPECT_EQ(p.error, "");
        if (!p.ok())
            return false;
        width = p.width;
        height = p.height;
        rgb = std::move(p.rgb);
        return true;
    }
    std::array<int, 3> at(int x, int y) const {
        const uint8_t* q = &rgb[(static_cast<size_t>(y) * width + x) * 3];
        return {q[0], q[1], q[2]};
    }
};

using Colour = std::array<int, 3>;

inline Colour colour_of(imgcover::Rgb c) {
    return {c.r, c.g, c.b};
}

} // namespace e2e
