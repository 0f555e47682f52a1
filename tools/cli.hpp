// The command-line conventions the companions share, on top of CLI11: -h/--help, --version
// from the project's version, paths that may start with a slash on every platform, and a
// usage error as one line on stderr, prefixed with the program's name, with exit status 2.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

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

// What a step of a program's start-up says: nothing to go on, or the status to exit with now.
using ExitNow = std::optional<int>;

// Parses the command line into `app`: nothing to go on, else the status to exit with.
inline ExitNow parse(CLI::App& app, int argc, char** argv, const char* program) {
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(app.help().c_str(), stdout);
        return 0;
    } catch (const CLI::CallForVersion&) {
        std::printf("%s %s\n", program, IMGREBUILD_VERSION);
        return 0;
    } catch (const CLI::ParseError& e) {
        std::fprintf(stderr, "%s: %s\n(try %s --help)\n", program, e.what(), program);
        return kUsage;
    }
    return std::nullopt;
}

} // namespace cli
