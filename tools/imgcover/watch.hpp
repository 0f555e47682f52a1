// Following a pass while it is received: the analysis brought up to date on every tick, shown
// as a full-screen view on a terminal or as one plain line per change elsewhere.
#pragma once

#include <functional>
#include <string>

#include "analysis.hpp"

namespace imgcover {

struct WatchOptions {
    double interval = 1.0;       // seconds between looks
    bool until_complete = false; // end once nothing is missing
    int32_t join = 0;            // the plan's --join
    std::string prefix;          // the plan's --prefix
};

// Follows a.dir until SIGINT or SIGTERM (or, with until_complete, until the image is complete),
// calling `changed` after every look that found something new. The terminal is restored before
// it returns. Returns true when an analysis was made; false, with the last error in `error`,
// when the run description could never be read.
bool watch(Analysis& a, const WatchOptions& o, const std::function<void(const Analysis&)>& changed,
           std::string& error);

} // namespace imgcover
