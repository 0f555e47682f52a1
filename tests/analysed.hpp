// imgcover's analysis of a folder, made in the test's own process.
#pragma once

#include <string>

#include <gtest/gtest.h>

#include "analysis.hpp"

namespace e2e {

// The analysis imgcover makes of `dir`.
inline imgcover::Analysis analysed(const std::string& dir) {
    imgcover::Analysis a;
    a.dir = dir;
    std::string error;
    EXPECT_TRUE(imgcover::analyse(a, error)) << error;
    return a;
}

} // namespace e2e
