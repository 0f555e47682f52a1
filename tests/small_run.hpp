// Fixtures of the attacks on the programs: a small run made by framesim, and a folder's state to
// compare before and after a command that must change nothing.
#pragma once

#include <filesystem>
#include <set>
#include <string>

#include <gtest/gtest.h>

#include "workdir.hpp"

namespace e2e {

namespace fs = std::filesystem;

// The names in a folder and the bytes of each regular file: what a failed command must leave.
inline std::string snapshot(const std::string& dir) {
    std::set<std::string> lines;
    std::error_code ec;
    for (const fs::directory_entry& e : fs::directory_iterator(dir, ec)) {
        const std::string name = e.path().filename().string();
        lines.insert(name + (e.is_symlink()        ? " -> link"
                             : e.is_regular_file() ? " = " + read_file(e.path().string())
                                                   : " (folder)"));
    }
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    return s;
}
// What imgcover says of the capture SmallRun lists but does not have.
inline const std::string kLate =
    "imgcover: warning: cannot open run/late_5_0_5_3.txt: counted as not received yet\n";

// A run of three captures in DIR/run, whose file_info.txt also lists one not received yet.
struct SmallRun {
    std::string run;
    explicit SmallRun(const Workdir& w) : run(w.path() + "/run") {
        const Ran r = sh(w.path(), kFramesim + " --out run --image-size 3000 --pages-per-file 4 "
                                               "--loss 0.1 --seed 2");
        EXPECT_EQ(r.status, 0) << r.err;
        std::string info = read_file(run + "/file_info.txt");
        info.replace(info.find("numfile 3"), 9, "numfile 4");
        e2e::write_file(run + "/file_info.txt", info + "late_5_0_5_3.txt\n");
    }
};

} // namespace e2e
