// The plain way to decode a frame line: strtok for tokens, strtol for numbers. Shared by the
// plain build of the tool and the decoder benchmark.
#pragma once

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace plain {

inline bool number(const char* token, int base, int32_t& value) {
    errno = 0;
    char* stop = nullptr;
    const long v = std::strtol(token, &stop, base);
    if (stop == token || errno == ERANGE || v < INT32_MIN || v > INT32_MAX)
        return false;
    value = static_cast<int32_t>(v);
    return true;
}

// Decodes `line` (changed by strtok) into rda[0..167]: 0 for a sound frame, 1 for a blank
// line, 2 for an identifier that is no image data (left in id), 3 for a line that is not a
// valid frame.
inline int decode_frame(char* line, int32_t* rda, int32_t& id) {
    static int32_t da[20000];
    if (line[std::strspn(line, " \t\n\v\f\r")] == '\0')
        return 1;
    const char* t = std::strtok(line, " ");
    if (!number(t, 16, id))
        return 3;
    if (id != 0xC0 && id != 0xC1)
        return 2;
    int ntok = 1;
    while ((t = std::strtok(nullptr, " ")) != nullptr && ntok < 20000) {
        if (!number(t, 16, da[ntok]))
            da[ntok] = INT32_MIN; // not a number: refused if the walk reaches it
        ++ntok;
    }
    int nesc = 0, p = 0;
    for (int k = 19; k <= 19 + 167 + nesc; ++k) {
        if (k >= ntok || da[k] == INT32_MIN)
            return 3;
        rda[p] = da[k];
        if (k > 19 && da[k - 1] == 0xDB && da[k] == 0xDC) {
            rda[p - 1] = 0xC0;
            ++nesc;
        } else if (k > 19 && da[k - 1] == 0xDB && da[k] == 0xDD) {
            rda[p - 1] = 0xDB;
            ++nesc;
        } else {
            ++p;
        }
    }
    const uint32_t c = (static_cast<uint32_t>(rda[0]) << 16) |
                       (static_cast<uint32_t>(rda[1]) << 8) | static_cast<uint32_t>(rda[2]);
    return static_cast<int32_t>(c) < 0 ? 3 : 0;
}

} // namespace plain
