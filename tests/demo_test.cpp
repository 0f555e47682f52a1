// The demo's claims hold.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "png_check.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;

namespace {

// The demo's claims hold: the merged picture is the test card, and the first pass's picture
// differs from it only where the first pass's log reports a missing slot, which is white there.
TEST(Demo, MergedPictureIsTheSourceAndTheFirstShowsItsLosses) {
    e2e::Workdir w;
    const std::string cmd = "'" IMGDEMO_EXE "' '" IMGREBUILD_EXE "' '" IMGCOVER_EXE "' '" +
                            w.path() + "/demo' >'" + w.path() + "/demo.out'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string dir = w.path() + "/demo";
    const std::string out = e2e::read_file(w.path() + "/demo.out");
    const std::string card = e2e::read_file(dir + "/testcard.ppm");
    const std::string first = e2e::read_file(dir + "/first-pass.ppm");
    const std::string merged = e2e::read_file(dir + "/merged.ppm");
    ASSERT_GT(card.size(), 200000u);
    EXPECT_EQ(merged, card);
    EXPECT_NE(out.find("merged image equals the source byte for byte: yes"), std::string::npos);
    ASSERT_EQ(first.size(), card.size());
    size_t differing = 0;
    for (size_t k = 0; k < card.size(); ++k) {
        if (first[k] != card[k]) {
            ++differing;
            ASSERT_EQ(first[k], '\xFF') << "byte " << k;
        }
    }
    EXPECT_GT(differing, 0u);
    // Every missing slot of the first pass is listed with the row it hides.
    const std::string log = e2e::read_file(dir + "/first-pass/imgrebuild.log");
    size_t lacked = 0;
    for (size_t p = log.find("is lacked."); p != std::string::npos;
         p = log.find("is lacked.", p + 1))
        ++lacked;
    const std::string first_section = out.substr(0, out.find("== second pass"));
    size_t rows = 0;
    for (size_t p = first_section.find(" slot "); p != std::string::npos;
         p = first_section.find(" slot ", p + 1))
        ++rows;
    EXPECT_EQ(rows, lacked);
    // The loop after the first pass ends with the whole picture, and draws its maps.
    EXPECT_EQ(e2e::read_file(dir + "/resent.ppm"), card);
    // A corrupted reception: contested bytes at first, settled by the loop to the source.
    EXPECT_EQ(e2e::read_file(dir + "/corrupted.ppm"), card);
    const std::string corrupted = out.substr(out.find("== a corrupted reception"));
    EXPECT_EQ(corrupted.find("as received: 0 bytes contested"), std::string::npos) << corrupted;
    EXPECT_NE(corrupted.find(": complete\n"), std::string::npos) << corrupted;
    EXPECT_NE(out.find("resend round"), std::string::npos);
    EXPECT_NE(out.find("equals the source byte for byte: yes", out.find("resend round")),
              std::string::npos);
    for (const char* png :
         {"map-pass1.png", "map-final.png", "picture-pass1.png", "picture-final.png"})
        EXPECT_EQ(png_check::read_file(dir + "/" + png).error, "") << png;
}

} // namespace
