// imgcover against the rebuild: the same captures read by both programs must tell the same
// story, slot for slot and byte for byte, and the loop of plan, resend and rebuild must end
// with the whole image.
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

#include <nlohmann/json.hpp>

#include "expected.hpp"
#include "sim.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
using json = nlohmann::json;
using namespace expected;

namespace {

// imgcover run in `dir` with `args`.
Ran cover(const std::string& dir, const std::string& args) {
    return sh(dir, kImgcover + " " + args);
}

// The slots that each file's report of the rebuild's log lists, in file order.
std::vector<std::vector<int>> reported_slots(const std::string& log) {
    std::vector<std::vector<int>> files;
    std::istringstream in(log);
    std::string line;
    while (std::getline(in, line)) {
        int pn = 0;
        if (line.rfind("i=", 0) == 0)
            files.emplace_back();
        else if (std::sscanf(line.c_str(), "PN=%d is lacked.", &pn) == 1)
            files.back().push_back(pn);
    }
    return files;
}

std::vector<int> ints(const json& a) {
    return a.get<std::vector<int>>();
}

struct Drawn {
    framesim::Options o;
    bool shuffle; // list the captures in another order, so that passes are not adjacent
};

Drawn draw(uint64_t seed) {
    framesim::Random rng(seed * 7919 + 3);
    Drawn d;
    framesim::Options& o = d.o;
    o.seed = seed;
    o.image_size = 1000 + static_cast<int32_t>(rng.below(90000));
    o.SC_S = static_cast<int32_t>(rng.below(8));
    o.pages_per_file = 1 + static_cast<int32_t>(rng.below(80));
    o.passes = 1 + static_cast<int32_t>(rng.below(3));
    o.repeat = static_cast<framesim::Repeat>(rng.below(3));
    o.loss = rng.below(4) * 0.05;
    o.duplicates = rng.chance(0.3) ? 0.05 : 0.0;
    o.reorder = rng.chance(0.3) ? 0.1 : 0.0;
    o.noise = rng.chance(0.3) ? 0.05 : 0.0;
    o.crlf = rng.chance(0.3);
    o.wrap = rng.chance(0.3);
    d.shuffle = rng.chance(0.4);
    return d;
}

// Reorders the name lines of file_info.txt (a fixed permutation from the seed).
void shuffle_names(const std::string& dir, uint64_t seed) {
    std::istringstream in(e2e::read_file(dir + "/file_info.txt"));
    std::vector<std::string> lines;
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    framesim::Random rng(seed);
    for (size_t k = lines.size() - 1; k > 4; --k)
        std::swap(lines[k], lines[4 + rng.below(static_cast<uint32_t>(k - 3))]);
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    e2e::write_file(dir + "/file_info.txt", s);
}

class AgainstRebuild : public ::testing::TestWithParam<uint64_t> {};

TEST_P(AgainstRebuild, SlotsAndBytesAgree) {
    const uint64_t seed = GetParam();
    const Drawn d = draw(seed);
    Workdir w;
    framesim::Options o = d.o;
    o.out = w.path();
    framesim::Run sent;
    std::string error;
    ASSERT_TRUE(framesim::simulate(o, framesim::generated_image(o.image_size, seed), sent, error))
        << error;
    if (d.shuffle)
        shuffle_names(w.path(), seed);

    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0) << rebuilt.out;
    const Ran r = cover(w.path(), "--json cover.json --rebuilt rebuilt.bin");
    ASSERT_LE(r.status, 1) << r.err;
    const json j = json::parse(e2e::read_file(w.path() + "/cover.json"));
    EXPECT_EQ(r.status, j["complete"].get<bool>() ? 0 : 1);

    // Per capture: its own missing slots are what the rebuild lists when it did not merge, and
    // the count the rebuild lists is what imgcover says the rebuild lists.
    const std::vector<std::vector<int>> reported = reported_slots(rebuilt.out);
    const json& caps = j["captures"];
    ASSERT_EQ(caps.size(), reported.size());
    int64_t previous_key = 0;
    for (size_t i = 0; i < caps.size(); ++i) {
        const json& c = caps[i];
        ASSERT_EQ(c["status"], "ok");
        const int64_t key = c["SSC"].get<int64_t>() + c["SP"].get<int64_t>() +
                            c["ESC"].get<int64_t>() + c["EP"].get<int64_t>();
        if (key != previous_key) {
            EXPECT_EQ(ints(c["missing_slots"]), reported[i]) << c["name"];
        }
        EXPECT_EQ(c["reported_by_rebuild"].get<size_t>(), reported[i].size()) << c["name"];
        previous_key = key;
    }

    // Covered bytes are the same in both images; uncovered ones are 0xFF in output.bin.
    const std::string mine = e2e::read_file(w.path() + "/rebuilt.bin");
    ASSERT_EQ(mine.size(), rebuilt.output.size());
    std::vector<bool> covered(static_cast<size_t>(o.image_size), true);
    for (const json& span : j["missing_spans"]) {
        for (int64_t b = span[0]; b <= span[1].get<int64_t>(); ++b)
            covered[static_cast<size_t>(b)] = false;
    }
    int64_t count = 0, wrong = 0;
    for (size_t b = 0; b < covered.size(); ++b) {
        count += covered[b];
        const char want = covered[b] ? mine[b] : '\xFF';
        wrong += rebuilt.output[b] != want;
    }
    EXPECT_EQ(wrong, 0);
    EXPECT_EQ(count, j["covered_bytes"].get<int64_t>());
}

INSTANTIATE_TEST_SUITE_P(Seeds, AgainstRebuild, ::testing::Range<uint64_t>(1, 41));

// Two different ranges whose numbers have one sum: the rebuild merges them and takes slots of
// the other range as received; imgcover tells the truth and says the rebuild lists fewer.
TEST(AgainstRebuild, RangesSharingAKeyAreNotMerged) {
    Workdir w;
    // (1, 0)-(1, 9) and (1, 3)-(1, 6) both have key 11.
    const std::string a = "a_1_0_1_9.txt", b = "b_1_3_1_6.txt";
    w.write("file_info.txt", run_info(5000, 2, 1, {a, b}));
    w.write(a, frames_except(16, {0, 1, 2, 15}));
    w.write(b, frames_except(7, {1, 2, 5}));
    const Ran r = cover(w.path(), "--json -");
    EXPECT_EQ(r.status, 1);
    const json j = json::parse(r.out);
    EXPECT_EQ(ints(j["captures"][1]["missing_after_all_passes"]), (std::vector<int>{1, 2, 5}));
    EXPECT_EQ(j["captures"][1]["reported_by_rebuild"], 2);
    const Ran human = cover(w.path(), "");
    EXPECT_NE(human.out.find("! rebuild lists only 2"), std::string::npos) << human.out;
}

// A range received twice with another range between: the rebuild's report after the second
// pass overstates the loss; missing after all passes is the truth.
TEST(AgainstRebuild, RepeatsThatAreNotAdjacentStillCount) {
    Workdir w;
    const std::string a = "a_0_0_0_6.txt", x = "x_0_7_0_7.txt", b = "b_0_0_0_6.txt";
    w.write("file_info.txt", run_info(2000, 3, 0, {a, x, b}));
    w.write(a, frames_except(11, {3, 4}));
    w.write(x, frames_except(2, {}));
    w.write(b, frames_except(11, {4, 5}));
    const Ran r = cover(w.path(), "--json -");
    const json j = json::parse(r.out);
    EXPECT_EQ(ints(j["captures"][0]["missing_after_all_passes"]), (std::vector<int>{4}));
    EXPECT_EQ(ints(j["captures"][2]["missing_slots"]), (std::vector<int>{4, 5}));
    EXPECT_EQ(ints(j["captures"][2]["missing_after_all_passes"]), (std::vector<int>{4}));
    EXPECT_EQ(j["captures"][2]["reported_by_rebuild"], 2);
    EXPECT_NE(cover(w.path(), "").out.find("* rebuild lists 2"), std::string::npos);
}

// --- The loop: plan, resend, rebuild -------------------------------------------------------------

class ClosedLoop : public ::testing::TestWithParam<uint64_t> {};

TEST_P(ClosedLoop, EndsWithTheWholeImage) {
    const uint64_t seed = GetParam();
    Workdir w;
    const std::string dir = w.path();
    framesim::Random rng(seed);
    const int size = 2000 + static_cast<int>(rng.below(60000));
    const std::string common = " --loss 0.1 --sc-s " + std::to_string(rng.below(4)) +
                               (rng.chance(0.3) ? " --crlf" : "") +
                               (rng.chance(0.3) ? " --noise 0.05" : "");
    ASSERT_EQ(sh(dir, kFramesim + " " + "--out ." + common + " --image-size " +
                          std::to_string(size) + " --pages-per-file " +
                          std::to_string(1 + rng.below(40)) + " --seed " + std::to_string(seed) +
                          " --save-image sent.img")
                  .status,
              0);
    int64_t covered = -1;
    int rounds = 0;
    for (;; ++rounds) {
        ASSERT_LE(rounds, 8) << "the plan did not empty in 8 rounds";
        const std::string prefix = "r" + std::to_string(rounds);
        const Ran r = cover(dir, "--json cover.json --plan plan.txt --next-info next.txt "
                                 "--prefix " +
                                     prefix);
        ASSERT_LE(r.status, 1) << r.err;
        const json j = json::parse(e2e::read_file(dir + "/cover.json"));
        EXPECT_GE(j["covered_bytes"].get<int64_t>(), covered) << "coverage shrank";
        covered = j["covered_bytes"];
        if (r.status == 0) {
            EXPECT_TRUE(j["plan"].empty());
            break;
        }
        EXPECT_FALSE(j["plan"].empty());
        ASSERT_EQ(sh(dir, kFramesim + " " + "--out . --ranges plan.txt --image sent.img" + common +
                              " --seed " +
                              std::to_string(seed * 100 + static_cast<uint64_t>(rounds)))
                      .status,
                  0);
        fs::rename(dir + "/next.txt", dir + "/file_info.txt");
    }
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    const std::string sent = e2e::read_file(dir + "/sent.img");
    ASSERT_EQ(sent.size(), static_cast<size_t>(size));
    EXPECT_TRUE(rebuilt.output.compare(0, sent.size(), sent) == 0)
        << "the rebuilt image differs from the one sent after " << rounds << " rounds";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ClosedLoop, ::testing::Range<uint64_t>(1, 51));

} // namespace
