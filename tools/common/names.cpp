#include "names.hpp"

namespace companion {

namespace {

// `c` in upper case, for ASCII letters.
char upper(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `text` is `word` (upper case) in any case.
bool same_word(std::string_view text, std::string_view word) {
    if (text.size() != word.size())
        return false;
    for (size_t k = 0; k < word.size(); ++k) {
        if (upper(text[k]) != word[k])
            return false;
    }
    return true;
}

} // namespace

bool is_device_name(std::string_view name) {
    std::string_view stem = name.substr(0, name.find('.'));
    while (!stem.empty() && stem.back() == ' ')
        stem.remove_suffix(1);
    for (const std::string_view word : {"CON", "PRN", "AUX", "NUL"}) {
        if (same_word(stem, word))
            return true;
    }
    return stem.size() == 4 &&
           (same_word(stem.substr(0, 3), "COM") || same_word(stem.substr(0, 3), "LPT")) &&
           stem[3] >= '1' && stem[3] <= '9';
}

const char* name_fault(std::string_view name) {
    if (name.empty())
        return "is empty";
    if (name.size() > kMaxNameBytes)
        return "is longer than 255 bytes";
    if (name == "." || name == "..")
        return "is . or ..";
    for (const char c : name) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F)
            return "holds a control character";
        if (c == '/' || c == '\\')
            return "has a folder part";
        if (c == ':')
            return "has a drive or stream prefix (':')";
    }
    if (name.back() == '.' || name.back() == ' ')
        return "ends in a dot or a space";
    if (is_device_name(name))
        return "is a device name on Windows (CON, PRN, AUX, NUL, COM1 to COM9, LPT1 to LPT9)";
    return nullptr;
}

const char* prefix_fault(std::string_view prefix) {
    const auto plain = [](char c) {
        return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
               c == '-' || c == '.';
    };
    bool all_plain = !prefix.empty();
    for (const char c : prefix)
        all_plain = all_plain && plain(c);
    if (!all_plain)
        return "must be letters, digits, '-' and '.' only, at least one";
    if (prefix.size() > kMaxPrefixBytes)
        return "must be at most 203 characters, so that a capture name fits 255 bytes";
    if (is_device_name(prefix))
        return "must not begin with a device name of Windows (CON, PRN, AUX, NUL, COM1 to COM9, "
               "LPT1 to LPT9) before its first dot";
    return nullptr;
}

} // namespace companion
