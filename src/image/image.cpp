#include "image/image.hpp"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "limits.hpp"

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#endif

namespace imgrebuild {

namespace fs = std::filesystem;

namespace {

// The whole image lives here for the run; only its first outsize bytes reach the file.
unsigned char imagebuf[kImageBufSize];

} // namespace

namespace {

// Where the image is written before it replaces the output file. Short enough for a path's
// own small buffer, so naming it allocates nothing.
constexpr const char* kTempName = "output.bin.tmp";

// Creates a new file for binary writing; fails when anything is there under the name already.
std::FILE* open_exclusive(const char* name) {
#ifdef _WIN32
    const int fd = _open(name, _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY, _S_IREAD | _S_IWRITE);
    return fd < 0 ? nullptr : _fdopen(fd, "wb");
#else
    return std::fopen(name, "wbx");
#endif
}

// Creates `name` (exclusively when asked), writes the first `outsize` bytes of the image to it
// and closes it.
WriteStatus write_file(const char* name, int32_t outsize, bool exclusive) {
    std::FILE* f = exclusive ? open_exclusive(name) : std::fopen(name, "wb");
    if (f == nullptr)
        return WriteStatus::open_failed;
    const size_t want = static_cast<size_t>(outsize);
    const bool wrote = std::fwrite(imagebuf, 1, want, f) == want;
    const bool closed = std::fclose(f) == 0;
    return wrote && closed ? WriteStatus::ok : WriteStatus::write_failed;
}

// Writes the image to a new file beside the output file and renames it over the output file,
// so that the output file is always the old content or the new, never a part. The new file
// gets the permissions the output file had. On failure the new file is removed.
WriteStatus replace_output(int32_t outsize, bool existed, fs::perms perms) {
    std::error_code ec;
    std::remove(kTempName); // a file left by a run that was killed here
    const WriteStatus status = write_file(kTempName, outsize, true);
    if (status == WriteStatus::ok && existed)
        fs::permissions(kTempName, perms, fs::perm_options::replace, ec);
    if (status == WriteStatus::ok && !ec)
        fs::rename(kTempName, kOutputName, ec);
    if (status == WriteStatus::ok && !ec)
        return WriteStatus::ok;
    if (status != WriteStatus::open_failed)
        std::remove(kTempName);
    return status == WriteStatus::ok ? WriteStatus::write_failed : status;
}

} // namespace

WriteStatus write_output(int32_t outsize) {
    std::error_code ec;
    const fs::file_status st = fs::symlink_status(kOutputName, ec);
    if (st.type() == fs::file_type::not_found)
        return replace_output(outsize, false, fs::perms::none);
    if (st.type() == fs::file_type::regular)
        return replace_output(outsize, true, st.permissions());
    // A link, a device or a pipe: written through in place, as the operator set it up.
    return write_file(kOutputName, outsize, false);
}

WriteStatus write_blank_output(int32_t outsize) {
    std::memset(imagebuf, 0xFF, static_cast<size_t>(outsize));
    return write_file(kOutputName, outsize, false);
}

Span slot_span(int64_t start, int64_t limit) {
    return {std::max<int64_t>(start, 0),
            std::min({start + kSlotBytes - 1, limit, int64_t{kImageBufSize} - 1})};
}

void place_frame_in(unsigned char* buf, int64_t size, const int32_t* values, int64_t start,
                    int64_t limit) {
    const Span span = slot_span(start, std::min(limit, size - 1));
    for (int64_t o = span.first; o <= span.last; ++o)
        buf[o] = static_cast<unsigned char>(values[o - start]);
}

void place_frame(const int32_t* values, int64_t start, int64_t limit) {
    place_frame_in(imagebuf, kImageBufSize, values, start, limit);
}

const unsigned char* image_bytes() {
    return imagebuf;
}

} // namespace imgrebuild
