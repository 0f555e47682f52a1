// Builders for frame lines, as a receiver would write them.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testframes {

// The 168 payload values of a frame: 24-bit counter, a spare byte, 163 data bytes, a spare.
inline std::vector<int> payload(int counter, const std::vector<uint8_t>& data) {
    std::vector<int> v = {(counter >> 16) & 0xFF, (counter >> 8) & 0xFF, counter & 0xFF, 0x00};
    v.insert(v.end(), data.begin(), data.end());
    v.push_back(0x00);
    return v;
}

// SLIP byte stuffing: C0 becomes DB DC and DB becomes DB DD.
inline std::vector<int> escape(const std::vector<int>& values) {
    std::vector<int> out;
    for (int v : values) {
        if (v == 0xC0) {
            out.push_back(0xDB);
            out.push_back(0xDC);
        } else if (v == 0xDB) {
            out.push_back(0xDB);
            out.push_back(0xDD);
        } else {
            out.push_back(v);
        }
    }
    return out;
}

// One line: identifier, 18 header tokens, the payload tokens, all as two-digit hex (a
// negative token is written with its sign).
inline std::string line(int id, const std::vector<int>& tokens, const char* eol = "\n") {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%02X", id);
    std::string s = buf;
    for (int k = 0; k < 18; ++k)
        s += " 00";
    for (int t : tokens) {
        std::snprintf(buf, sizeof buf, t < 0 ? " -%02X" : " %02X", t < 0 ? -t : t);
        s += buf;
    }
    return s + eol;
}

// 163 data bytes that differ from slot to slot: byte j of slot `seed` is (seed * 31 + j).
inline std::vector<uint8_t> pattern(int seed) {
    std::vector<uint8_t> d(163);
    for (int j = 0; j < 163; ++j)
        d[static_cast<size_t>(j)] = static_cast<uint8_t>(seed * 31 + j);
    return d;
}

// A whole sound frame line for `counter` carrying `data`.
inline std::string frame(int counter, const std::vector<uint8_t>& data, const char* eol = "\n") {
    return line(0xC0, escape(payload(counter, data)), eol);
}

} // namespace testframes
