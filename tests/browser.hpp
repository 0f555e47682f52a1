// A real browser for the tests: headless Chromium driven over its DevTools protocol, spoken on
// two named pipes (--remote-debugging-pipe), so that nothing but the browser is needed. Every
// call has a deadline; a browser that does not answer fails the call, never stalls the test.
#pragma once

#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "workdir.hpp"

namespace browser {

// The browser program, or an empty string when none is installed.
std::string chromium_path();

class Browser {
  public:
    // Starts headless Chromium with a fresh profile in `scratch`, a folder of its own, and a
    // window of `width` x `height` pixels. ok() tells whether it answered.
    Browser(const std::string& scratch, int width = 1200, int height = 1000);
    ~Browser();
    Browser(const Browser&) = delete;
    Browser& operator=(const Browser&) = delete;

    bool ok() const { return error.empty(); }
    std::string error; // why the last call failed

    // Opens `url` in a new page, which later calls act on. False, with `error`, on failure.
    bool open(const std::string& url);
    // The value of a JavaScript expression in the page (null when it failed, with `error`);
    // with `await`, the value its promise settles to.
    nlohmann::json eval(const std::string& expression, bool await = false);
    // The page as a PNG screenshot of its whole length; empty on failure.
    std::string screenshot();
    // One protocol call and its result (null on failure or after `deadline` seconds).
    nlohmann::json call(const std::string& method, const nlohmann::json& params,
                        double deadline = 30);

  private:
    std::string scratch_;
    int to_ = -1, from_ = -1;
    int next_id_ = 0;
    std::string buffer_;
    std::string session_;
    std::thread runner_;
    e2e::Ran ran_{};
};

} // namespace browser
