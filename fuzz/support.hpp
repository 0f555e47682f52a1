// Shared pieces of the fuzz targets: reading bytes as a stream, and a hard stop on a broken
// invariant.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>

namespace fuzzsupport {

// Ends the process with a message, so that the fuzzer records the input.
#define FUZZ_CHECK(cond)                                                                           \
    do {                                                                                           \
        if (!(cond)) {                                                                             \
            std::fprintf(stderr, "invariant broken: %s (%s:%d)\n", #cond, __FILE__, __LINE__);     \
            std::abort();                                                                          \
        }                                                                                          \
    } while (0)

// A read-only stream over `bytes` (which must outlive it).
inline std::FILE* open_bytes(const std::string& bytes) {
    if (bytes.empty())
        return std::fopen("/dev/null", "rb");
    return fmemopen(const_cast<char*>(bytes.data()), bytes.size(), "rb");
}

// Everything written to a temporary stream, read back.
inline std::string read_back(std::FILE* f) {
    std::string s;
    std::fflush(f);
    std::rewind(f);
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        s.append(buf, n);
    return s;
}

} // namespace fuzzsupport
