// The options a program's --help lists, read back from the help CLI11 writes: the one reader of
// a help, for the tests that hold the help against the manual and against the program.
#pragma once

#include <regex>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "workdir.hpp"

namespace e2e {

struct HelpOption {
    std::string name;        // --json, or DIR for a positional
    std::string value;       // what it takes, as the help writes it ("N:INT in [1 - 9]"); empty
                             // for a flag
    std::string description; // the help's text for it
};

// The options `program --help` lists (the positionals by their names), each with what it takes
// and its text.
inline std::vector<HelpOption> help_options(const std::string& program) {
    const Ran r = sh(".", program + " --help", 30);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<HelpOption> options;
    bool listing = false;
    for (const std::string& line : lines_of(r.out)) {
        if (line == "Options:" || line == "Positionals:") {
            listing = true;
            continue;
        }
        if (!listing || line.empty()) {
            listing = listing && !line.empty();
            continue;
        }
        std::smatch m;
        if (std::regex_match(line, m, std::regex(R"(  (\S+)((?: \S+)*)(?: {2,}(.*))?)"))) {
            // "-h,--help", "--json FILE", "DIR TEXT": the long name, or the positional's.
            std::string name = m.str(1);
            if (const size_t comma = name.rfind(','); comma != std::string::npos)
                name = name.substr(comma + 1);
            const std::string value = m.str(2);
            options.push_back({name, value.empty() ? value : value.substr(1), m.str(3)});
        } else if (!options.empty() && line.rfind("      ", 0) == 0) {
            std::string& text = options.back().description;
            text += (text.empty() ? "" : " ") + line.substr(line.find_first_not_of(' '));
        }
    }
    return options;
}

} // namespace e2e
