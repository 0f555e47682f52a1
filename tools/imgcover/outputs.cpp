#include "outputs.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <filesystem>

#define STB_IMAGE_WRITE_IMPLEMENTATION
#define STB_IMAGE_WRITE_STATIC
#include <stb/stb_easy_font.h>
#include <stb/stb_image_write.h>

#include "limits.hpp"
#include "platform.hpp"

namespace imgcover {

namespace fs = std::filesystem;
using imgrebuild::kPageBytes;

namespace {

std::string format(const char* f, ...) IMGREBUILD_PRINTF(1, 2);

std::string format(const char* f, ...) {
    char buf[512];
    va_list args;
    va_start(args, f);
    std::vsnprintf(buf, sizeof buf, f, args);
    va_end(args);
    return buf;
}

std::string range_text(const PageRange& r) {
    return format("(%d,%d)-(%d,%d)", r.SSC, r.SP, r.ESC, r.EP);
}

// True when no capture after the i-th covers the same exact range: its report is the one an
// operator acts on.
bool is_last_of_range(const Analysis& a, size_t i) {
    const PageRange& r = a.captures[i].range;
    for (size_t k = i + 1; k < a.captures.size(); ++k) {
        const Capture& c = a.captures[k];
        if (c.has_range() && same_range(c.range, r))
            return false;
    }
    return true;
}

} // namespace

std::string grouped(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0)
            out += ',';
        out += digits[k];
    }
    return n < 0 ? "-" + out : out;
}

std::string human_report(const Analysis& a, const std::vector<Request>& plan) {
    std::string s =
        format("run in %s: imagesize %s, SC_S %d, %d of %d listed captures\n\n", a.dir.c_str(),
               grouped(a.head.imagesize).c_str(), a.head.SC_S, a.listed, a.head.numfile);
    size_t width = 7;
    for (const Capture& c : a.captures)
        width = std::max(width, std::min<size_t>(c.name.size(), 40));
    s += format("%-*s  %-22s %6s %6s %8s\n", static_cast<int>(width), "capture", "range", "slots",
                "got", "missing");
    bool overstated = false, understated = false;
    for (size_t i = 0; i < a.captures.size(); ++i) {
        const Capture& c = a.captures[i];
        const std::string name =
            c.name.size() > width ? c.name.substr(0, width - 3) + "..." : c.name;
        s += format("%-*s  ", static_cast<int>(width), utf8_clean(name).c_str());
        if (c.status == CaptureStatus::bad_name) {
            s += "not a capture name\n";
            continue;
        }
        if (c.status == CaptureStatus::bad_range) {
            s += format("%-22s %s\n", range_text(c.range).c_str(),
                        "range of fewer than 1 or more than 12734 pages");
            continue;
        }
        int64_t got = 0;
        for (uint8_t r : c.received)
            got += r;
        s += format("%-22s %6d %6lld %8zu", range_text(c.range).c_str(), c.math.mcomsize,
                    static_cast<long long>(got), c.all_passes.size());
        const int32_t truth = static_cast<int32_t>(c.all_passes.size());
        if (c.status == CaptureStatus::unreadable) {
            s += "  unreadable (not received yet)";
        } else if (c.reported >= 0 && c.reported < truth) {
            s += format("  ! rebuild lists only %d", c.reported);
            understated = true;
        } else if (c.reported > truth && is_last_of_range(a, i)) {
            s += format("  * rebuild lists %d", c.reported);
            overstated = true;
        }
        s += '\n';
    }
    s += "(missing: slots that no capture of the same range received, in any pass)\n";
    if (overstated)
        s += "* the rebuild's report after the last pass over that range lists more: it merges a\n"
             "  pass only with the file just before it.\n";
    if (understated)
        s += "! the rebuild's report lists fewer: it merged that file with another range whose\n"
             "  numbers have the same sum, and takes slots of that range as received.\n";

    const int64_t size = a.head.imagesize;
    s += format("\nimage: %s of %s bytes covered (%.2f%%)\n", grouped(a.covered_bytes).c_str(),
                grouped(size).c_str(), a.covered_percent());
    if (a.missing.empty()) {
        s += "complete: every byte was received\n";
    } else {
        s += format("missing: %s bytes in %zu span%s\n", grouped(size - a.covered_bytes).c_str(),
                    a.missing.size(), a.missing.size() == 1 ? "" : "s");
        const size_t shown = std::min<size_t>(a.missing.size(), 20);
        for (size_t k = 0; k < shown; ++k) {
            const Span& m = a.missing[k];
            s += format("  bytes %10s - %10s  (%s)\n", grouped(m.first).c_str(),
                        grouped(m.last).c_str(), grouped(m.last - m.first + 1).c_str());
        }
        if (a.missing.size() > shown)
            s += format("  ... and %zu more\n", a.missing.size() - shown);
    }
    if (plan.empty())
        return s + "plan: nothing to ask for again\n";
    int64_t pages = 0;
    for (const Request& q : plan)
        pages += (int64_t{q.range.ESC} * 1024 + q.range.EP) -
                 (int64_t{q.range.SSC} * 1024 + q.range.SP) + 1;
    s += format("\nplan: %zu request%s, %s page%s to send again\n", plan.size(),
                plan.size() == 1 ? "" : "s", grouped(pages).c_str(), pages == 1 ? "" : "s");
    const size_t shown = std::min<size_t>(plan.size(), 20);
    for (size_t k = 0; k < shown; ++k)
        s += format("  pages %-22s %s\n", range_text(plan[k].range).c_str(), plan[k].name.c_str());
    if (plan.size() > shown)
        s += format("  ... and %zu more (see --plan)\n", plan.size() - shown);
    return s;
}

nlohmann::json to_json(const Analysis& a, const std::vector<Request>& plan) {
    using nlohmann::json;
    json j;
    j["imagesize"] = a.head.imagesize;
    j["SC_S"] = a.head.SC_S;
    j["numfile"] = a.head.numfile;
    j["complete"] = a.complete();
    j["covered_bytes"] = a.covered_bytes;
    j["missing_bytes"] = a.head.imagesize - a.covered_bytes;
    j["frames"] = total_frames(a);
    json spans = json::array();
    for (const Span& m : a.missing)
        spans.push_back({m.first, m.last});
    j["missing_spans"] = std::move(spans);
    json captures = json::array();
    for (const Capture& c : a.captures) {
        json e;
        e["name"] = utf8_clean(c.name);
        e["status"] = status_name(c.status);
        e["frames"] = c.frames;
        if (c.status != CaptureStatus::bad_name) {
            e["SSC"] = c.range.SSC;
            e["SP"] = c.range.SP;
            e["ESC"] = c.range.ESC;
            e["EP"] = c.range.EP;
        }
        if (c.has_range()) {
            e["mcomsize"] = c.math.mcomsize;
            json missing = json::array();
            for (size_t k = 0; k < c.received.size(); ++k) {
                if (c.received[k] == 0)
                    missing.push_back(k);
            }
            e["missing_slots"] = std::move(missing);
            e["missing_after_all_passes"] = c.all_passes;
            e["repeat"] = c.repeat;
        }
        if (c.reported >= 0)
            e["reported_by_rebuild"] = c.reported;
        if (!c.warning.empty())
            e["warning"] = utf8_clean(c.warning);
        captures.push_back(std::move(e));
    }
    j["captures"] = std::move(captures);
    json requests = json::array();
    for (const Request& q : plan)
        requests.push_back({{"SSC", q.range.SSC},
                            {"SP", q.range.SP},
                            {"ESC", q.range.ESC},
                            {"EP", q.range.EP},
                            {"name", q.name}});
    j["plan"] = std::move(requests);
    return j;
}

std::string plan_text(const std::vector<Request>& plan) {
    std::string s;
    for (const Request& q : plan)
        s += format("%d %d %d %d %s\n", q.range.SSC, q.range.SP, q.range.ESC, q.range.EP,
                    q.name.c_str());
    return s;
}

std::string next_info(const Analysis& a, const std::vector<Request>& plan,
                      std::vector<std::string>& warnings) {
    std::vector<std::string> names;
    for (const Capture& c : a.captures) {
        if (c.status == CaptureStatus::ok)
            names.push_back(c.name);
        else
            warnings.push_back("left out of the next run description: " + c.name + " (" +
                               status_name(c.status) + ")");
    }
    for (const Request& q : plan)
        names.push_back(q.name);
    std::string s = a.head_lines[0] + "\n" + a.head_lines[1] + "\n";
    s += "numfile " + std::to_string(names.size()) + "\n";
    s += a.head_lines[3] + "\n";
    for (const std::string& n : names)
        s += n + "\n";
    return s;
}

int64_t default_cell(int64_t imagesize, int32_t width) {
    int64_t cell = 1;
    while ((imagesize + cell - 1) / cell > int64_t{width} * 1024)
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
        static char vertices[64 * 1024];
        const int quads =
            stb_easy_font_print(static_cast<float>(x), static_cast<float>(y), const_cast<char*>(s),
                                nullptr, vertices, sizeof vertices);
        for (int q = 0; q < quads; ++q) {
            const float* v0 = reinterpret_cast<const float*>(vertices + q * 64);
            const float* v2 = reinterpret_cast<const float*>(vertices + q * 64 + 32);
            fill(static_cast<int32_t>(v0[0]), static_cast<int32_t>(v0[1]),
                 static_cast<int32_t>(v2[0] - v0[0]), static_cast<int32_t>(v2[1] - v0[1]), c);
        }
    }
};

void append(void* context, void* data, int size) {
    static_cast<std::string*>(context)->append(static_cast<const char*>(data),
                                               static_cast<size_t>(size));
}

std::string encode(int32_t width, int32_t height, int channels, const uint8_t* pixels) {
    std::string png;
    if (width <= 0 || height <= 0)
        return png;
    stbi_write_png_to_func(append, &png, width, height, channels, pixels, width * channels);
    return png;
}

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
    return encode(canvas.width, canvas.height, 3, canvas.rgb.data());
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
    std::vector<uint8_t> rgb(static_cast<size_t>(rows) * width * 3);
    for (int64_t p = 0; p < int64_t{rows} * width; ++p) {
        const int64_t at = offset + p * channels;
        bool hole = false;
        for (int c = 0; c < channels; ++c)
            hole = hole || (a.coverage[static_cast<size_t>(at + c)] & kCovered) == 0;
        uint8_t* out = &rgb[static_cast<size_t>(p) * 3];
        if (hole) {
            out[0] = kHole.r;
            out[1] = kHole.g;
            out[2] = kHole.b;
        } else {
            for (int c = 0; c < 3; ++c)
                out[c] = a.image[static_cast<size_t>(at + (channels == 1 ? 0 : c))];
        }
    }
    return encode(width, rows, 3, rgb.data());
}

std::string utf8_clean(const std::string& text) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    const size_t n = text.size();
    for (size_t k = 0; k < n;) {
        const unsigned char c = s[k];
        size_t len = 0;
        uint32_t min = 0, cp = 0;
        if (c < 0x80) {
            out += static_cast<char>(c);
            ++k;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, min = 0x80, cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, min = 0x800, cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, min = 0x10000, cp = c & 0x07;
        }
        bool valid = len > 0 && k + len <= n;
        for (size_t i = 1; valid && i < len; ++i) {
            valid = (s[k + i] & 0xC0) == 0x80;
            cp = (cp << 6) | (s[k + i] & 0x3F);
        }
        valid = valid && cp >= min && cp <= 0x10FFFF && !(cp >= 0xD800 && cp <= 0xDFFF);
        if (valid) {
            out.append(text, k, len);
            k += len;
        } else {
            out += kReplacement;
            ++k;
        }
    }
    return out;
}

bool write_replacing(const std::string& path, const std::string& bytes, std::string& error) {
    const fs::path target(path);
    const fs::path temp = target.parent_path() / ("." + target.filename().string() + ".tmp");
    std::FILE* f = std::fopen(temp.string().c_str(), "wb");
    if (f == nullptr) {
        error = "cannot create " + temp.string();
        return false;
    }
    const bool wrote = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
    if (std::fclose(f) != 0 || !wrote) {
        std::remove(temp.string().c_str());
        error = "cannot write " + temp.string();
        return false;
    }
    std::error_code ec;
    fs::rename(temp, target, ec);
    if (ec) {
        std::remove(temp.string().c_str());
        error = "cannot replace " + path + ": " + ec.message();
        return false;
    }
    return true;
}

} // namespace imgcover
