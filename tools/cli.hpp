// The command-line conventions the companions share, on top of CLI11: -h/--help, --version
// from the project's version, paths that may start with a slash on every platform, and a
// usage error as one line on stderr, prefixed with the program's name, with exit status 2.
#pragma once

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>
#include <string>
#include <type_traits>

#include <CLI/CLI.hpp>

namespace cli {

inline constexpr int kUsage = 2;

// Gives `app` the flags every program has, and the help's footer on the two versions.
inline void conventions(CLI::App& app, const char* program) {
    app.set_version_flag("--version", std::string(program) + " " IMGREBUILD_VERSION);
    app.allow_windows_style_options(false);
    app.footer("Version " IMGREBUILD_VERSION " of the imgrebuild suite. The \"ver.3\" of the "
               "rebuild's log\n(\"Program start ver.3\") is the log format's version, not "
               "the suite's.");
}

// Writes `text` to standard output and flushes it. False, with "PROGRAM: cannot write standard
// output: REASON" on stderr, when a write fails (a full disk, a closed pipe: a reader that left
// is a failed write like any other, never a signal that ends the program).
inline bool put_stdout(const char* program, const std::string& text) {
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
    errno = 0;
    const bool ok = std::fwrite(text.data(), 1, text.size(), stdout) == text.size() &&
                    std::fflush(stdout) == 0 && std::ferror(stdout) == 0;
    if (!ok)
        std::fprintf(stderr, "%s: cannot write standard output: %s\n", program,
                     std::strerror(errno != 0 ? errno : EIO));
    return ok;
}

// A number as a person writes it: 0.001, 1, 3600, 1e+09.
template <typename T> std::string number_text(T v) {
    if constexpr (std::is_floating_point_v<T>) {
        char buf[32];
        std::snprintf(buf, sizeof buf, "%g", static_cast<double>(v));
        return buf;
    } else {
        return std::to_string(v);
    }
}

// Checks that an option's value is a number from `lo` to `hi`, and says so as a sentence when
// it is not: "--loss must be between 0 and 1". The help shows "INT in [lo - hi]" as CLI11's
// own range check does.
template <typename T> CLI::Validator between(T lo, T hi) {
    const std::string range = number_text(lo) + " and " + number_text(hi);
    const std::string kind = std::is_floating_point_v<T> ? "FLOAT" : "INT";
    return CLI::Validator(
        [lo, hi, range](std::string& input) -> std::string {
            T value{};
            if (!CLI::detail::lexical_cast(input, value))
                return "must be a number between " + range + ", not " + input;
            if (!(value >= lo && value <= hi))
                return "must be between " + range;
            return {};
        },
        kind + " in [" + number_text(lo) + " - " + number_text(hi) + "]");
}

// What a step of a program's start-up says: nothing to go on, or the status to exit with now.
using ExitNow = std::optional<int>;

// Parses the command line into `app`: nothing to go on, else the status to exit with.
inline ExitNow parse(CLI::App& app, int argc, char** argv, const char* program) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        return put_stdout(program, app.help()) ? 0 : kUsage;
    } catch (const CLI::CallForVersion&) {
        return put_stdout(program, std::string(program) + " " IMGREBUILD_VERSION "\n") ? 0 : kUsage;
    } catch (const CLI::ParseError& e) {
        // A failed check reads "--loss: must be ...": said as one sentence.
        std::string message = e.what();
        const size_t colon = message.find(": must be ");
        if (message.rfind("--", 0) == 0 && colon != std::string::npos)
            message.erase(colon, 1);
        std::fprintf(stderr, "%s: %s\n(try %s --help)\n", program, message.c_str(), program);
        return kUsage;
    }
    return std::nullopt;
}

} // namespace cli
