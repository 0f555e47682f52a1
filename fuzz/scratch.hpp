// A scratch directory for fuzz targets that run whole programs, and the laying out of one
// input as a working directory there.
//
// The input is split at "@@@\n" into file_info.txt and up to two capture files, written under
// the names that lines 5 and 6 of file_info.txt give.
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "plain_model.hpp"
#include "support.hpp"

namespace fuzzscratch {

namespace fs = std::filesystem;

inline const char kSeparator[] = "@@@\n";

inline std::FILE* no_input = nullptr; // the final wait reads the end of input at once
inline std::string scratch;           // where the runs happen
inline std::string home;              // the fuzzer's own directory, for its relative paths

inline void remove_scratch_directory() {
    std::error_code ec;
    fs::remove_all(scratch, ec);
}

// Moves into the scratch directory, making it on the first call.
inline void enter_scratch_directory() {
    if (no_input == nullptr) {
        home = fs::current_path().string();
        scratch = (fs::temp_directory_path() / "imgrebuild-fuzz-XXXXXX").string();
        FUZZ_CHECK(::mkdtemp(scratch.data()) != nullptr);
        std::atexit(remove_scratch_directory);
        no_input = std::fopen("/dev/null", "rb");
    }
    FUZZ_CHECK(::chdir(scratch.c_str()) == 0);
}

// Back to where the fuzzer started, so its corpus and artifact paths still hold.
inline void leave_scratch_directory() {
    FUZZ_CHECK(::chdir(home.c_str()) == 0);
}

inline void clear_directory() {
    for (const auto& entry : fs::directory_iterator("."))
        fs::remove_all(entry.path());
}

inline std::vector<std::string> split_input(const std::string& input) {
    std::vector<std::string> parts;
    size_t from = 0;
    while (parts.size() < 2) {
        const size_t at = input.find(kSeparator, from);
        if (at == std::string::npos)
            break;
        parts.push_back(input.substr(from, at - from));
        from = at + sizeof kSeparator - 1;
    }
    parts.push_back(input.substr(from));
    return parts;
}

inline bool safe_name(const std::string& name) {
    return !name.empty() && name.size() <= 200 && name.find('/') == std::string::npos &&
           name != "." && name != ".." && name != "file_info.txt" && name != "output.bin";
}

inline void write_file(const std::string& name, const std::string& bytes) {
    std::FILE* f = std::fopen(name.c_str(), "wb");
    FUZZ_CHECK(f != nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

inline std::string read_file(const char* name, bool& exists) {
    std::FILE* f = std::fopen(name, "rb");
    exists = f != nullptr;
    if (f == nullptr)
        return {};
    std::string s = fuzzsupport::read_back(f);
    std::fclose(f);
    return s;
}

// Empties the scratch directory and writes the input's files there. Returns the bytes of every
// file written, file_info.txt first.
inline std::vector<std::string> lay_out_run(const uint8_t* bytes, size_t size) {
    clear_directory();
    const std::vector<std::string> parts =
        split_input(std::string(reinterpret_cast<const char*>(bytes), size));
    write_file("file_info.txt", parts[0]);
    std::vector<std::string> written{parts[0]};
    const std::vector<model::Line> info = model::read_lines(parts[0]);
    for (size_t k = 1; k < parts.size(); ++k) {
        const size_t line = 3 + k; // name lines start at line 5
        if (line >= info.size() || info[line].status == model::Read::no_line)
            continue;
        const std::string text = info[line].text();
        const std::string name = text.substr(0, text.find('\n'));
        if (!safe_name(name))
            continue;
        write_file(name, parts[k]);
        written.push_back(parts[k]);
    }
    return written;
}

} // namespace fuzzscratch
