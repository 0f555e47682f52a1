// Writing a whole file: in place, or through a new file renamed over the old one so that no
// reader ever sees half of it. The one way every program of the project replaces a file.
#pragma once

#include <cstddef>
#include <cstdint>
#include <system_error>

namespace imgrebuild {

// Outcome of writing a file.
enum class WriteStatus : int32_t {
    ok,           // the file holds exactly the bytes asked for
    open_failed,  // the file could not be created
    write_failed, // a write or the close failed: the file may be short
};

// Creates `name` (exclusively: failing when anything is there under the name already, when
// asked), writes `size` bytes to it and closes it.
WriteStatus write_whole_file(const char* name, const void* bytes, size_t size, bool exclusive);

// Outcome of replacing a file, by the step that failed.
enum class ReplaceStatus : int32_t {
    ok,            // `target` holds the new bytes
    create_failed, // the new file could not be created
    write_failed,  // writing or closing the new file failed
    rename_failed, // the new file could not take the old one's place (or its permissions)
};

// Writes `size` bytes to a new file `temp` beside `target` and renames it over `target`, so
// that `target` is always the old content or the new, never a part. A file left under `temp`
// by a run that was stopped is removed first. With `keep_permissions`, the new file gets the
// permissions an existing `target` had. On failure `temp` is removed and `error` tells why a
// rename failed. Names short enough for a path's own small buffer allocate nothing.
ReplaceStatus replace_file(const char* target, const char* temp, const void* bytes, size_t size,
                           bool keep_permissions, std::error_code& error);

} // namespace imgrebuild
