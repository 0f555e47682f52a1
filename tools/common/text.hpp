// Small text helpers of the companions' outputs: printf into a string, counts with their
// thousands grouped, and text made safe to show to a person or to put in a UTF-8 output.
#pragma once

#include <cstdint>
#include <string>

#include "platform.hpp"

namespace companion {

// printf-style formatting into a string, as long as the text needs.
std::string format(const char* f, ...) IMGREBUILD_PRINTF(1, 2);

// A count with its thousands grouped: 12,345,678.
std::string grouped(int64_t n);

// `part` of `whole` as a percentage with two decimals, rounded down, and never shown as 100%
// unless `full`: "99.99%" while a byte is still owed. 100% of nothing.
std::string percent_text(int64_t part, int64_t whole, bool full);

// Text as a person may see it on a terminal or in a message, the one escaping of the companions:
// control characters (C0, DEL, C1) and bytes that are not valid UTF-8 shown as \xNN, the rest
// as it is.
std::string printable(const std::string& text);

// Columns that printable text takes on a terminal: one per code point.
size_t columns(const std::string& shown);

// `text` as printable() shows it, within `width` columns (at least 5): when it is wider, its
// middle gives way to "..." so that both ends show; an escape \xNN is never cut.
std::string shortened(const std::string& text, size_t width);

// Printable `text` cut at spaces into lines of at most `width` columns, each ending with a line
// feed: the first after `indent`, the others two columns further in; a word longer than a line
// stays whole.
std::string word_wrapped(const std::string& text, const std::string& indent, size_t width);

// Text with every byte that is not part of valid UTF-8 replaced by U+FFFD.
std::string utf8_clean(const std::string& text);

} // namespace companion
