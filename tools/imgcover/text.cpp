#include "text.hpp"

#include <cstdarg>
#include <cstdio>

namespace imgcover {

std::string format(const char* f, ...) {
    char buf[512];
    va_list args;
    va_start(args, f);
    std::vsnprintf(buf, sizeof buf, f, args);
    va_end(args);
    return buf;
}

std::string grouped(int64_t n) {
    std::string digits = std::to_string(n < 0 ? -n : n), out;
    for (size_t k = 0; k < digits.size(); ++k) {
        if (k > 0 && (digits.size() - k) % 3 == 0)
            out += ',';
        out += digits[k];
    }
    return n < 0 ? "-" + out : out;
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

} // namespace imgcover
