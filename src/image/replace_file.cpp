#include "image/replace_file.hpp"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <process.h>
#include <sys/stat.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace imgrebuild {

namespace {

// The reason of the last failed call of the C library, as an error code.
std::error_code last_error() {
    return {errno != 0 ? errno : EIO, std::generic_category()};
}

#ifdef _WIN32
int create_new(const char* name) {
    return _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
}
int write_some(int fd, const unsigned char* p, size_t n) {
    return _write(fd, p, static_cast<unsigned>(n < (1u << 30) ? n : (1u << 30)));
}
int close_file(int fd) {
    return _close(fd);
}
int process_id() {
    return _getpid();
}
#else
int create_new(const char* name) {
    // O_EXCL also refuses a symbolic link, even one that points nowhere.
    return ::open(name, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
}
ssize_t write_some(int fd, const unsigned char* p, size_t n) {
    return ::write(fd, p, n);
}
int close_file(int fd) {
    return ::close(fd);
}
int process_id() {
    return static_cast<int>(::getpid());
}
#endif

// Names made for one process's temporary files, so that two in one process differ too.
std::atomic<uint32_t> made{0};

// Creates a new file named TARGET.PID-N.tmp in `temp` (kTempNameCap characters). The file
// descriptor, or -1 with `error` set.
int create_temp(const char* target, char* temp, std::error_code& error) {
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const int n = std::snprintf(temp, kTempNameCap, "%s.%d-%u.tmp", target, process_id(),
                                    made.fetch_add(1));
        if (n < 0 || n >= kTempNameCap) {
            error = std::make_error_code(std::errc::filename_too_long);
            return -1;
        }
        errno = 0;
        const int fd = create_new(temp);
        if (fd >= 0)
            return fd;
        if (errno != EEXIST) {
            error = last_error();
            return -1;
        }
    }
    error = std::make_error_code(std::errc::file_exists);
    return -1;
}

// Writes all of [bytes, bytes + size) to `fd`.
bool write_all(int fd, const void* bytes, size_t size) {
    const auto* p = static_cast<const unsigned char*>(bytes);
    while (size > 0) {
        errno = 0;
        const auto n = write_some(fd, p, size);
        if (n <= 0) {
            if (n < 0 && errno == EINTR)
                continue;
            if (n == 0)
                errno = ENOSPC;
            return false;
        }
        p += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Gives `temp` the permission bits `target` has, when `target` is a file.
bool copy_permissions(const char* target, int fd, const char* temp) {
#ifdef _WIN32
    (void)fd;
    struct _stat st {};
    if (_stat(target, &st) != 0)
        return true;
    return _chmod(temp, st.st_mode & (_S_IREAD | _S_IWRITE)) == 0;
#else
    (void)temp;
    struct stat st {};
    if (::stat(target, &st) != 0 || !S_ISREG(st.st_mode))
        return true;
    return ::fchmod(fd, st.st_mode & 07777) == 0;
#endif
}

// Moves `temp` over `target` in one step.
bool rename_over(const char* temp, const char* target, std::error_code& error) {
#ifdef _WIN32
    if (MoveFileExA(temp, target, MOVEFILE_REPLACE_EXISTING) != 0)
        return true;
    error = std::error_code(static_cast<int>(GetLastError()), std::system_category());
    return false;
#else
    if (std::rename(temp, target) == 0)
        return true;
    error = last_error();
    return false;
#endif
}

// The reason no errno names: a target that is there but is no file to replace.
class NotAFile : public std::error_category {
  public:
    const char* name() const noexcept override { return "replace_file"; }
    std::string message(int) const override { return "not a regular file"; }
};

// Whether `target` may be replaced by a file: when nothing is there, or a regular file, or a
// link (which is replaced, never followed). A folder, a device, a pipe or a socket is refused,
// with `error` saying so: renaming over it would destroy a device node or fail only after the
// whole file was written.
bool replaceable(const char* target, std::error_code& error) {
#ifdef _WIN32
    struct _stat st {};
    if (_stat(target, &st) != 0 || (st.st_mode & _S_IFREG) != 0)
        return true;
    const bool folder = (st.st_mode & _S_IFDIR) != 0;
#else
    struct stat st {};
    if (::lstat(target, &st) != 0 || S_ISREG(st.st_mode) || S_ISLNK(st.st_mode))
        return true;
    const bool folder = S_ISDIR(st.st_mode);
#endif
    static const NotAFile not_a_file;
    error =
        folder ? std::make_error_code(std::errc::is_a_directory) : std::error_code(1, not_a_file);
    return false;
}

} // namespace

std::FILE* open_exclusive(const char* name) {
#ifdef _WIN32
    const int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    return fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
    return std::fopen(name, "wbx");
#endif
}

WriteStatus write_whole_file(const char* name, const void* bytes, size_t size, bool exclusive) {
    std::FILE* f = exclusive ? open_exclusive(name) : std::fopen(name, "wb");
    if (f == nullptr)
        return WriteStatus::open_failed;
    const bool wrote = size == 0 || std::fwrite(bytes, 1, size, f) == size;
    const bool closed = std::fclose(f) == 0;
    return wrote && closed ? WriteStatus::ok : WriteStatus::write_failed;
}

ReplaceStatus replace_file(const char* target, const void* bytes, size_t size,
                           bool keep_permissions, std::error_code& error) {
    error.clear();
    if (!replaceable(target, error))
        return ReplaceStatus::rename_failed;
    char temp[kTempNameCap];
    const int fd = create_temp(target, temp, error);
    if (fd < 0)
        return ReplaceStatus::create_failed;
    bool ok = write_all(fd, bytes, size);
    if (ok && keep_permissions && !copy_permissions(target, fd, temp)) {
        error = last_error();
        close_file(fd);
        std::remove(temp);
        return ReplaceStatus::rename_failed;
    }
    if (!ok)
        error = last_error();
    errno = 0;
    if (close_file(fd) != 0 && ok) {
        ok = false;
        error = last_error();
    }
    if (!ok) {
        std::remove(temp);
        return ReplaceStatus::write_failed;
    }
    if (!rename_over(temp, target, error)) {
        std::remove(temp);
        return ReplaceStatus::rename_failed;
    }
    return ReplaceStatus::ok;
}

} // namespace imgrebuild
