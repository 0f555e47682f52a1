// The whole run: rebuild the image from the captures that file_info.txt lists, in the
// current working directory, and report the missing slots of every capture file.
#pragma once

#include <cstdio>

namespace imgrebuild {

// Runs once, logging to `out`; after a complete run waits for one character from `in`
// (the end of input counts as one). Returns 0 after a complete run, -1 after a failure.
// A log that cannot be written does not stop the run: the image is still written, then one
// line on `err` says so and the run returns -1.
int run(std::FILE* in, std::FILE* out, std::FILE* err);

} // namespace imgrebuild
