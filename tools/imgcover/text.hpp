// imgcover's text helpers: the companions' own, by their short names.
#pragma once

#include "common/text.hpp"

namespace imgcover {

using companion::columns;
using companion::format;
using companion::grouped;
using companion::percent_text;
using companion::printable;
using companion::shortened;
using companion::utf8_clean;
using companion::word_wrapped;

} // namespace imgcover
