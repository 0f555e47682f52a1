// Writing a whole file: in place, or through a new file renamed over the old one so that no
// reader ever sees half of it; or a new file, created only where nothing is. The rebuild writes
// output.bin through it, imgcover replaces its outputs and framesim its dropped list and saved
// image through it, and framesim creates every other file it writes as a new file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <system_error>

namespace imgrebuild {

// Outcome of writing a file.
enum class WriteStatus : int32_t {
    ok,           // the file holds exactly the bytes asked for
    open_failed,  // the file could not be created
    write_failed, // a write or the close failed: the file may be short
};

// Creates `name` for binary writing, failing when anything is there under the name already (a
// link too, even one that points nowhere). nullptr on failure, with errno telling why.
std::FILE* open_exclusive(const char* name);

// Creates `name` (exclusively: failing when anything is there under the name already, when
// asked), writes `size` bytes to it and closes it.
WriteStatus write_whole_file(const char* name, const void* bytes, size_t size, bool exclusive);

// Characters, NUL included, of the name of a temporary file: the target's name and a suffix.
inline constexpr int32_t kTempNameCap = 4200;

// Outcome of replacing a file, by the step that failed.
enum class ReplaceStatus : int32_t {
    ok,            // `target` holds the new bytes
    create_failed, // the new file could not be created
    write_failed,  // writing or closing the new file failed
    rename_failed, // the new file could not take the old one's place (or its permissions)
};

// Writes `size` bytes to a new file beside `target` and renames it over `target`, so that
// `target` is always the old content or the new, never a part. The new file is named
// TARGET.PID-N.tmp, a name no file has yet: it is created exclusively, so never through a link
// left under that name, and two writers of one target, in one process or two, each write
// their own; the last rename wins. A `target` that is a link is replaced, never followed; one
// that is a folder, a device, a pipe or a socket is refused before anything is written
// (rename_failed: "Is a directory", "not a regular file"). With `keep_permissions`, the new
// file gets the permissions an existing `target` had. On failure the new file is removed and
// `error` tells why. Nothing is allocated.
ReplaceStatus replace_file(const char* target, const void* bytes, size_t size,
                           bool keep_permissions, std::error_code& error);

} // namespace imgrebuild
