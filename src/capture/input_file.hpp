// Opening a file for the line reader, and closing it when the step that opened it is left.
#pragma once

#include <cstdio>

namespace imgrebuild {

// Opens a file for reading; with no translation and no stream buffer, so the reader's line
// rules hold everywhere and its own buffer is the only one. nullptr when it cannot be opened.
inline std::FILE* open_input(const char* name) {
    std::FILE* f = std::fopen(name, "rb");
    if (f != nullptr)
        std::setvbuf(f, nullptr, _IONBF, 0);
    return f;
}

// Closes a file when it goes out of scope, on success or failure alike.
struct FileGuard {
    std::FILE* file;
    explicit FileGuard(std::FILE* f) : file(f) {}
    ~FileGuard() {
        if (file != nullptr)
            std::fclose(file);
    }
    FileGuard(const FileGuard&) = delete;
    FileGuard& operator=(const FileGuard&) = delete;
};

} // namespace imgrebuild
