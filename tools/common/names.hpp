// The rule for every name the companions write, plan or remove in a working folder: a plain
// file name, inside the folder, that means a file on every platform a run travels to.
#pragma once

#include <cstddef>
#include <string_view>

namespace companion {

// Bytes a file name may hold on the file systems a run is kept on.
inline constexpr size_t kMaxNameBytes = 255;

// Bytes a capture name adds to its prefix at most: four "_N" with N of 32 bits, and ".txt".
inline constexpr size_t kCaptureSuffixBytes = 4 * (1 + 11) + 4;

// The longest prefix whose capture names all fit kMaxNameBytes.
inline constexpr size_t kMaxPrefixBytes = kMaxNameBytes - kCaptureSuffixBytes;
static_assert(kMaxPrefixBytes == 203, "the messages state the longest prefix");

// True when `name` is a name Windows keeps for a device: its part before the first dot (trailing
// spaces dropped), in any case, is CON, PRN, AUX, NUL, COM1 to COM9 or LPT1 to LPT9. A file
// written under such a name there goes to the device and is lost.
bool is_device_name(std::string_view name);

// Why `name` is no plain file name inside the output folder (empty, longer than kMaxNameBytes,
// "." or "..", a folder part, a drive or stream prefix, a control character, a trailing dot or
// space that Windows drops, a device name), or nullptr when it is one.
const char* name_fault(std::string_view name);

// Why `prefix` cannot begin capture names (not letters, digits, '-' and '.' only, at least one;
// longer than kMaxPrefixBytes; a device name), or nullptr when it can.
const char* prefix_fault(std::string_view prefix);

} // namespace companion
