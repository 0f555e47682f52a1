// What imgcover tells: the report for a person, the JSON, the plan, the run description for the
// next rebuild, and pictures of the image; and how a file is written so that no reader ever
// sees half of it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.hpp"

namespace imgcover {

// The report for a person: one line per capture, the coverage and missing spans, the plan.
std::string human_report(const Analysis& a, const std::vector<Request>& plan);

// The whole analysis as one JSON object.
nlohmann::json to_json(const Analysis& a, const std::vector<Request>& plan);

// The plan as text: "SSC SP ESC EP NAME" a line.
std::string plan_text(const std::vector<Request>& plan);

// A run description for the rebuild after the resend: the head as it was, the captures that
// the rebuild can read, then the planned names. Lines left out are named in `warnings`.
std::string next_info(const Analysis& a, const std::vector<Request>& plan,
                      std::vector<std::string>& warnings);

// The coverage map as PNG bytes: one pixel per `cell` bytes (0: the smallest power of two that
// keeps the map within 1024 rows), `width` pixels a row, and a legend under it.
std::string map_png(const Analysis& a, int64_t cell, int32_t width);

// Smallest power-of-two cell that keeps a map of `width` pixels a row within 1024 rows.
int64_t default_cell(int64_t imagesize, int32_t width);

enum class Pixel { gray8, rgb24 };

// The image as rebuilt (a.image), from byte `offset` on, `width` pixels a row, as PNG bytes:
// pixels with an uncovered byte are magenta. Empty when there is no pixel to draw.
std::string picture_png(const Analysis& a, Pixel pixel, int32_t width, int64_t offset);

// A count with its thousands grouped: 12,345,678.
std::string grouped(int64_t n);

// Text with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string utf8_clean(const std::string& text);

// Writes `bytes` to a new file beside `path` and renames it over `path`. False with a message.
bool write_replacing(const std::string& path, const std::string& bytes, std::string& error);

} // namespace imgcover
