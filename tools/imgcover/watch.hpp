// Following a pass while it is received: the analysis brought up to date on every tick and
// shown through a view (view.hpp), until a stop signal, a quit key, or a complete image.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "analysis.hpp"
#include "view.hpp"

namespace imgcover {

struct WatchOptions {
    double interval = 1.0;       // seconds between looks
    bool until_complete = false; // end once nothing is missing
    int32_t join = 0;            // the plan's --join
    std::string prefix;          // the plan's --prefix
    bool analysed = false;       // the analysis handed in is already made: the first look
                                 // brings it up to date instead of making it again
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

// Writes a watch's outputs on a thread of their own, from a copy of the analysis, so that a slow
// picture never holds up the view: while one writing runs, only the latest state offered waits
// for the next.
class BackgroundOutputs {
  public:
    explicit BackgroundOutputs(std::function<void(const Analysis&)> write);
    ~BackgroundOutputs();
    BackgroundOutputs(const BackgroundOutputs&) = delete;
    BackgroundOutputs& operator=(const BackgroundOutputs&) = delete;

    // Hands over a copy of `a` to be written once the writing in progress ends.
    void offer(const Analysis& a);
    // Waits for the writing in progress to end; a state still waiting is dropped.
    void finish();

  private:
    std::function<void(const Analysis&)> write_;
    std::mutex m_;
    std::condition_variable cv_;
    std::optional<Analysis> pending_;
    bool done_ = false;
    std::thread thread_;
    void run();
};

} // namespace imgcover
