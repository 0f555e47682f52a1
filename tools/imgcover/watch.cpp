#include "watch.hpp"

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <deque>
#include <utility>

#include "plan.hpp"

namespace imgcover {

namespace {

using Clock = std::chrono::steady_clock;

volatile std::sig_atomic_t stop_flag = 0;

// The first signal asks the watch to end; a second one, while it ends, ends the process.
extern "C" void on_stop_signal(int) {
    if (stop_flag != 0)
        std::_Exit(130);
    stop_flag = 1;
}

// Sound frames a second over the last ten seconds.
class Rate {
  public:
    void add(Clock::time_point t, int64_t frames) {
        samples_.emplace_back(t, frames);
        while (samples_.size() > 2 && t - samples_[1].first >= std::chrono::seconds(10))
            samples_.pop_front();
    }
    double per_second() const {
        if (samples_.size() < 2)
            return 0;
        const double dt =
            std::chrono::duration<double>(samples_.back().first - samples_.front().first).count();
        return dt > 0 ? static_cast<double>(samples_.back().second - samples_.front().second) / dt
                      : 0;
    }

  private:
    std::deque<std::pair<Clock::time_point, int64_t>> samples_;
};

} // namespace

bool stop_requested() {
    return stop_flag != 0;
}

void catch_stop_signals() {
#ifdef _WIN32
    std::signal(SIGINT, on_stop_signal);
    std::signal(SIGTERM, on_stop_signal);
#else
    // No SA_RESTART: a wait in progress returns at once.
    struct sigaction sa {};
    sa.sa_handler = on_stop_signal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
#endif
}

bool watch(Analysis& a, const WatchOptions& o, View& view,
           const std::function<void(const Analysis&)>& changed, std::string& error) {
    stop_flag = 0;
    const auto start = Clock::now();
    bool analysed = o.analysed;
    Rate rate;
    Figures f;
    bool quit = false;
    for (bool first = true; !quit && !stop_requested(); first = false) {
        bool fresh = false;
        std::string problem;
        if (!analysed) {
            analysed = analyse(a, problem);
            fresh = analysed;
        } else if (!look(a, fresh, problem)) {
            fresh = false; // keep the last state; say why the look failed
        }
        fresh = fresh || (first && analysed); // the first look is news, however it was made
        const auto now = Clock::now();
        f.watched = std::chrono::duration<double>(now - start).count();
        f.frames = analysed ? total_frames(a) : 0;
        rate.add(now, f.frames);
        f.rate = rate.per_second();
        const bool problem_changed = problem != f.problem;
        f.problem = problem;
        if (fresh) {
            f.requests = make_plan(a, o.join, o.prefix).size();
            changed(a);
        }
        if (!problem.empty())
            error = problem;
        const Header header = make_header(a, f);
        view.show(a, header, fresh || problem_changed);
        if (analysed && o.until_complete && a.complete())
            break;
        for (Command c = view.wait(o.interval); !stop_requested(); c = view.wait(o.interval)) {
            quit = c == Command::quit;
            if (c != Command::redraw)
                break;
            view.show(a, header, false);
        }
    }
    return analysed;
}

BackgroundOutputs::BackgroundOutputs(std::function<void(const Analysis&)> write)
    : write_(std::move(write)), thread_([this] { run(); }) {}

BackgroundOutputs::~BackgroundOutputs() {
    finish();
}

void BackgroundOutputs::offer(const Analysis& a) {
    std::optional<Analysis> copy;
    try {
        copy.emplace(a);
    } catch (...) {
        return; // no memory for a copy: the outputs wait for the next look
    }
    const std::lock_guard<std::mutex> lock(m_);
    pending_ = std::move(copy);
    cv_.notify_one();
}

void BackgroundOutputs::finish() {
    {
        const std::lock_guard<std::mutex> lock(m_);
        done_ = true;
        pending_.reset();
    }
    cv_.notify_one();
    if (thread_.joinable())
        thread_.join();
}

void BackgroundOutputs::run() {
    for (;;) {
        std::optional<Analysis> next;
        {
            std::unique_lock<std::mutex> lock(m_);
            cv_.wait(lock, [this] { return done_ || pending_.has_value(); });
            if (done_)
                return;
            next = std::move(pending_);
            pending_.reset();
        }
        try {
            write_(*next);
        } catch (...) {
            // A failed writing leaves the files as they were; the next state tries again.
        }
    }
}

} // namespace imgcover
