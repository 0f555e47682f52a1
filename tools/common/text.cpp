#include "text.hpp"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <vector>

namespace companion {

std::string format(const char* f, ...) {
    va_list args;
    va_start(args, f);
    va_list again;
    va_copy(again, args);
    const int n = std::vsnprintf(nullptr, 0, f, args);
    va_end(args);
    std::string s(n > 0 ? static_cast<size_t>(n) : 0, '\0');
    if (n > 0)
        std::vsnprintf(s.data(), s.size() + 1, f, again);
    va_end(again);
    return s;
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

std::string percent_text(int64_t part, int64_t whole, bool full) {
    int64_t hundredths = whole > 0 ? part * 10000 / whole : 10000; // whole < 2^31: no overflow
    if (!full)
        hundredths = std::min<int64_t>(hundredths, 9999);
    return format("%lld.%02lld%%", static_cast<long long>(hundredths / 100),
                  static_cast<long long>(hundredths % 100));
}

namespace {

// Length of the valid UTF-8 sequence at s[k], and its code point; 0 when the byte there starts
// none.
size_t utf8_at(const unsigned char* s, size_t n, size_t k, uint32_t& cp) {
    const unsigned char c = s[k];
    size_t len = 0;
    uint32_t min = 0;
    if (c < 0x80) {
        cp = c;
        return 1;
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
    return valid ? len : 0;
}

} // namespace

std::string utf8_clean(const std::string& text) {
    static const char kReplacement[] = "\xEF\xBF\xBD";
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t k = 0; k < text.size();) {
        uint32_t cp = 0;
        const size_t len = utf8_at(s, text.size(), k, cp);
        if (len > 0) {
            out.append(text, k, len);
            k += len;
        } else {
            out += kReplacement;
            ++k;
        }
    }
    return out;
}

std::string printable(const std::string& text) {
    std::string out;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t k = 0; k < text.size();) {
        uint32_t cp = 0;
        const size_t len = utf8_at(s, text.size(), k, cp);
        const bool control = len > 0 && (cp < 0x20 || (cp >= 0x7F && cp < 0xA0));
        if (len > 0 && !control) {
            out.append(text, k, len);
            k += len;
            continue;
        }
        // A control character shows each of its bytes; an invalid byte shows itself.
        const size_t bytes = len > 0 ? len : 1;
        for (size_t i = 0; i < bytes; ++i)
            out += format("\\x%02x", s[k + i]);
        k += bytes;
    }
    return out;
}

size_t columns(const std::string& shown) {
    size_t n = 0;
    for (const char c : shown)
        n += (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    return n;
}

std::string shortened(const std::string& text, size_t width) {
    // The text as pieces a person sees whole: a character, or the escape of one byte.
    std::vector<std::string> pieces;
    size_t total = 0;
    const auto* s = reinterpret_cast<const unsigned char*>(text.data());
    for (size_t k = 0; k < text.size();) {
        uint32_t cp = 0;
        const size_t len = utf8_at(s, text.size(), k, cp);
        const size_t bytes = len > 0 ? len : 1; // an invalid byte is a piece of its own
        pieces.push_back(printable(text.substr(k, bytes)));
        k += bytes;
        total += columns(pieces.back());
    }
    width = std::max<size_t>(width, 5);
    std::string out;
    if (total <= width) {
        for (const std::string& p : pieces)
            out += p;
        return out;
    }
    // The end of a name says the most (its range), so it keeps the larger half.
    const size_t keep = width - 3, head = keep / 2, tail = keep - head;
    size_t used = 0, first_tail = pieces.size();
    for (size_t k = 0; k < pieces.size() && used + columns(pieces[k]) <= head; ++k) {
        out += pieces[k];
        used += columns(pieces[k]);
    }
    used = 0;
    while (first_tail > 0 && used + columns(pieces[first_tail - 1]) <= tail)
        used += columns(pieces[--first_tail]);
    out += "...";
    for (size_t k = first_tail; k < pieces.size(); ++k)
        out += pieces[k];
    return out;
}

std::string word_wrapped(const std::string& text, const std::string& indent, size_t width) {
    const std::string rest = indent + "  ";
    std::string out, line = indent;
    size_t at = columns(indent);
    bool fresh = true; // nothing after the indent yet
    size_t from = 0;
    while (from <= text.size()) {
        size_t to = text.find(' ', from);
        if (to == std::string::npos)
            to = text.size();
        const std::string word = text.substr(from, to - from);
        from = to + 1;
        if (word.empty())
            continue;
        const size_t n = columns(word);
        if (!fresh && at + 1 + n > width) {
            out += line + "\n";
            line = rest;
            at = columns(rest);
            fresh = true;
        }
        if (!fresh) {
            line += ' ';
            ++at;
        }
        line += word;
        at += n;
        fresh = false;
    }
    return out + line + "\n";
}

} // namespace companion
