// A picture read back to its pixels, for tests that check what a picture shows. A lenient
// decoder: tests check the file's structure with a strict reader besides.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#define STB_IMAGE_IMPLEMENTATION
#define STB_IMAGE_STATIC
#include <stb/stb_image.h>

#include "pictures.hpp"

namespace e2e {

struct Png {
    int width = 0, height = 0;
    std::vector<uint8_t> rgb;
    bool read(const std::string& path) {
        int channels = 0;
        unsigned char* p = stbi_load(path.c_str(), &width, &height, &channels, 3);
        if (p == nullptr)
            return false;
        rgb.assign(p, p + static_cast<size_t>(width) * height * 3);
        stbi_image_free(p);
        return true;
    }
    bool decode(const std::string& bytes) {
        int channels = 0;
        unsigned char* p =
            stbi_load_from_memory(reinterpret_cast<const stbi_uc*>(bytes.data()),
                                  static_cast<int>(bytes.size()), &width, &height, &channels, 3);
        if (p == nullptr)
            return false;
        rgb.assign(p, p + static_cast<size_t>(width) * height * 3);
        stbi_image_free(p);
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
