#include "image/replace_file.hpp"

#include <cstdio>
#include <filesystem>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace imgrebuild {

namespace fs = std::filesystem;

namespace {

// Creates a new file for binary writing; fails when anything is there under the name already.
std::FILE* open_exclusive(const char* name) {
#ifdef _WIN32
    const int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    return fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
    return std::fopen(name, "wbx");
#endif
}

} // namespace

WriteStatus write_whole_file(const char* name, const void* bytes, size_t size, bool exclusive) {
    std::FILE* f = exclusive ? open_exclusive(name) : std::fopen(name, "wb");
    if (f == nullptr)
        return WriteStatus::open_failed;
    const bool wrote = size == 0 || std::fwrite(bytes, 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    return wrote && closed ? WriteStatus::ok : WriteStatus::write_failed;
}

ReplaceStatus replace_file(const char* target, const char* temp, const void* bytes, size_t size,
                           bool keep_permissions, std::error_code& error) {
    error.clear();
    std::remove(temp); // a file left by a run that was killed here
    const WriteStatus wrote = write_whole_file(temp, bytes, size, true);
    if (wrote == WriteStatus::open_failed)
        return ReplaceStatus::create_failed;
    if (wrote != WriteStatus::ok) {
        std::remove(temp);
        return ReplaceStatus::write_failed;
    }
    if (keep_permissions) {
        std::error_code ec;
        const fs::file_status st = fs::status(target, ec);
        if (fs::is_regular_file(st))
            fs::permissions(temp, st.permissions(), fs::perm_options::replace, error);
    }
    if (!error)
        fs::rename(temp, target, error);
    if (error) {
        std::remove(temp);
        return ReplaceStatus::rename_failed;
    }
    return ReplaceStatus::ok;
}

} // namespace imgrebuild
