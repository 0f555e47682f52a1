// Following a pass while it is received: the analysis brought up to date on every tick and
// shown through a view (view.hpp), until a stop signal, a quit key, or a complete image.
#pragma once

#include <functional>
#include <string>

#include "analysis.hpp"
#include "view.hpp"

namespace imgcover {

struct WatchOptions {
    double interval = 1.0;       // seconds between looks
    bool until_complete = false; // end once nothing is missing
    int32_t join = 0;            // the plan's --join
    std::string prefix;          // the plan's --prefix
};

// Makes SIGINT and SIGTERM ask the watch to end (stop_requested); a second one, while it
// ends, ends the process. Called once, before the view is made.
void catch_stop_signals();

// Follows a.dir until a stop is asked for (a signal, or the view's quit command) or, with
// until_complete, until the image is complete; shows every look through `view` and calls
// `changed` after every look that found something new. Returns true when an analysis was made;
// false, with the last error in `error`, when the run description could never be read.
bool watch(Analysis& a, const WatchOptions& o, View& view,
           const std::function<void(const Analysis&)>& changed, std::string& error);

} // namespace imgcover
