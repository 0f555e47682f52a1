// How imgcover reads a folder as it comes: a file listed hundreds of times, memory running out,
// captures that are no regular files, and files that change between two looks of a watch.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis.hpp"
#include "plan.hpp"
#include "report.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::Workdir;
using json = nlohmann::json;

namespace {

// A sanitizer reserves far more address space than a memory limit lets through.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

using e2e::lines_of;
using e2e::Ran;

// Rewrites file_info.txt to list `names`.
void list(const std::string& dir, const std::vector<std::string>& names) {
    const std::vector<std::string> l = lines_of(e2e::read_file(dir + "/file_info.txt"));
    std::string s =
        l[0] + "\n" + l[1] + "\nnumfile " + std::to_string(names.size()) + "\n" + l[3] + "\n";
    for (const std::string& n : names)
        s += n + "\n";
    e2e::write_file(dir + "/file_info.txt", s);
}

// One capture of the largest range, a third of its frames lost.
void largest_range(const std::string& dir) {
    ASSERT_EQ(e2e::sh(dir, e2e::kFramesim + " --out . --image-size 3259904 --pages-per-file 12734 "
                                            "--loss 0.3 --seed 3")
                  .status,
              0);
}

TEST(Listings, FiveHundredOfOneRangeStayWithinAGigabyte) {
    if (kSanitized)
        GTEST_SKIP() << "a memory limit does not apply under the sanitizers";
    Workdir w;
    const std::string dir = w.path();
    largest_range(dir);
    const std::string name = lines_of(e2e::read_file(dir + "/file_info.txt"))[4];
    list(dir, std::vector<std::string>(500, name));
    // Virtual memory, so a little more than what is used: the limit holds 1 GiB of use.
    const Ran r = e2e::sh(dir, "ulimit -v 1100000 && " + e2e::kImgcover + " --json cover.json");
    ASSERT_EQ(r.status, 1) << r.err;
    std::printf("500 listings: %.1f s\n", r.seconds);
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    ASSERT_EQ(j["captures"].size(), 500u);
    // The same file, read once, tells the same for every listing; later ones are repeats.
    for (size_t i = 1; i < 500; ++i) {
        json e = j["captures"][i], first = j["captures"][0];
        EXPECT_TRUE(e["repeat"].get<bool>());
        e.erase("repeat"), first.erase("repeat");
        e.erase("reported_by_rebuild"), first.erase("reported_by_rebuild");
        ASSERT_EQ(e, first) << "listing " << i;
    }
    EXPECT_EQ(j["contested_bytes"], 0);
}

TEST(Listings, RunningOutOfMemoryIsAMessageAndExit2) {
    if (kSanitized)
        GTEST_SKIP() << "a memory limit does not apply under the sanitizers";
    Workdir w;
    const std::string dir = w.path();
    largest_range(dir);
    const std::string name = lines_of(e2e::read_file(dir + "/file_info.txt"))[4];
    list(dir, std::vector<std::string>(500, name));
    const Ran r = e2e::sh(dir, "ulimit -v 120000 && " + e2e::kImgcover + " --json cover.json");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, "imgcover: out of memory\n");
}

TEST(Listings, TheJsonTextIsTheJsonObject) {
    Workdir w;
    const std::string dir = w.path();
    ASSERT_EQ(e2e::sh(dir, e2e::kFramesim +
                               " --out . --loss 0.1 --duplicates 0.1 --noise 0.1 --passes 2 "
                               "--corrupt 0.05 --image-size 30000 --pages-per-file 8")
                  .status,
              0);
    imgcover::Analysis a;
    a.dir = dir;
    std::string error;
    ASSERT_TRUE(imgcover::analyse(a, error)) << error;
    const std::vector<imgcover::Request> plan = imgcover::make_plan(a, 0, "retry");
    EXPECT_EQ(imgcover::json_text(a, plan), imgcover::to_json(a, plan).dump(2) + "\n");
    list(dir, {});
    ASSERT_TRUE(imgcover::analyse(a, error)) << error;
    EXPECT_EQ(imgcover::json_text(a, plan), imgcover::to_json(a, plan).dump(2) + "\n");
}

// --- Only regular files are read ---------------------------------------------------------------

TEST(NotRegular, APipeIsUnreadableAndNeverWaitedFor) {
    Workdir w;
    const std::string dir = w.path();
    ASSERT_EQ(
        e2e::sh(dir, e2e::kFramesim + " --out . --loss 0 --image-size 5000 --pages-per-file 8")
            .status,
        0);
    const std::vector<std::string> l = lines_of(e2e::read_file(dir + "/file_info.txt"));
    const std::string first = l[4], second = l[5];
    // The first capture becomes a pipe no one writes to; the second a link to a regular file.
    fs::rename(dir + "/" + first, dir + "/saved.txt");
    ASSERT_EQ(::mkfifo((dir + "/" + first).c_str(), 0600), 0);
    fs::rename(dir + "/" + second, dir + "/target.txt");
    fs::create_symlink("target.txt", dir + "/" + second);
    const Ran r = e2e::sh(dir, "timeout 60 " + e2e::kImgcover + " --json cover.json");
    ASSERT_EQ(r.status, 1) << r.err;
    EXPECT_NE(r.err.find("imgcover: warning: cannot read ./" + first +
                         ": not a regular file: counted as not received yet"),
              std::string::npos)
        << r.err;
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    EXPECT_EQ(j["captures"][0]["status"], "unreadable");
    EXPECT_EQ(j["captures"][0]["frames"], 0);
    EXPECT_EQ(j["captures"][1]["status"], "ok");
    EXPECT_GT(j["captures"][1]["frames"].get<int>(), 0);

    // A watch looks at the pipe again and again without blocking, and ends when asked. (In the
    // foreground, timeout signals the watch alone; otherwise it signals its whole group too, and
    // the watch may take the second signal as a second Ctrl-C.)
    const Ran watched = e2e::sh(dir, "timeout --foreground --preserve-status -s INT 3 " +
                                         e2e::kImgcover + " --watch --interval 0.2");
    EXPECT_EQ(watched.status, 1) << watched.err;

    // The run description as a pipe: a message, exit 2.
    fs::rename(dir + "/file_info.txt", dir + "/info.saved");
    ASSERT_EQ(::mkfifo((dir + "/file_info.txt").c_str(), 0600), 0);
    const Ran info = e2e::sh(dir, "timeout 60 " + e2e::kImgcover);
    EXPECT_EQ(info.status, 2);
    EXPECT_NE(info.err.find("not a regular file"), std::string::npos) << info.err;
}

// --- A watch's look equals a one-shot analysis --------------------------------------------------

// The figures of an analysis that a one-shot run and a watch must agree on.
std::string state_of(const imgcover::Analysis& a) {
    json j = imgcover::to_json(a, imgcover::make_plan(a, 0, "retry"));
    j["image"] = std::string(a.image.begin(), a.image.end()) == std::string() ? 0 : 1;
    std::string s = j.dump();
    s += std::string(a.image.begin(), a.image.end());
    s += std::string(a.coverage.begin(), a.coverage.end());
    return s;
}

std::string one_shot(const std::string& dir) {
    imgcover::Analysis a;
    a.dir = dir;
    std::string error;
    EXPECT_TRUE(imgcover::analyse(a, error)) << error;
    return state_of(a);
}

TEST(WatchLook, EqualsAOneShotAnalysisAfterRewritesAndRemovedNames) {
    Workdir w;
    const std::string dir = w.path();
    ASSERT_EQ(e2e::sh(dir, e2e::kFramesim +
                               " --out . --loss 0.2 --passes 2 --repeat all --image-size 40000 "
                               "--pages-per-file 16 --seed 4 --save-image a.img")
                  .status,
              0);
    ASSERT_EQ(e2e::sh(dir, e2e::kFramesim +
                               " --out b --loss 0 --image-size 40000 --pages-per-file 16 "
                               "--seed 9")
                  .status,
              0);
    imgcover::Analysis a;
    a.dir = dir;
    std::string error;
    ASSERT_TRUE(imgcover::analyse(a, error)) << error;
    const std::vector<std::string> names = lines_of(e2e::read_file(dir + "/file_info.txt"));
    const std::string victim = names[4];

    // Rewritten in place (same file) to a larger size, with other frames.
    const std::string other = e2e::read_file(dir + "/b/" + victim);
    {
        std::FILE* f = std::fopen((dir + "/" + victim).c_str(), "r+b");
        ASSERT_NE(f, nullptr);
        ASSERT_EQ(std::fwrite(other.data(), 1, other.size(), f), other.size());
        ASSERT_EQ(std::fclose(f), 0);
    }
    bool changed = false;
    ASSERT_TRUE(imgcover::refresh(a, changed, error)) << error;
    EXPECT_TRUE(changed);
    EXPECT_EQ(state_of(a), one_shot(dir)) << "after a rewrite in place";

    // A name line removed.
    std::vector<std::string> fewer(names.begin() + 4, names.end());
    fewer.erase(fewer.begin() + 1);
    list(dir, fewer);
    ASSERT_TRUE(imgcover::refresh(a, changed, error)) << error;
    EXPECT_TRUE(changed);
    EXPECT_EQ(state_of(a), one_shot(dir)) << "after a name line was removed";

    // An earlier capture gains frames after later ones were read.
    {
        std::FILE* f = std::fopen((dir + "/" + victim).c_str(), "ab");
        ASSERT_NE(f, nullptr);
        const std::string more = e2e::read_file(dir + "/" + fewer.back());
        ASSERT_EQ(std::fwrite(more.data(), 1, more.size(), f), more.size());
        ASSERT_EQ(std::fclose(f), 0);
    }
    ASSERT_TRUE(imgcover::refresh(a, changed, error)) << error;
    EXPECT_EQ(state_of(a), one_shot(dir)) << "after an earlier capture grew";

    // Nothing changed: nothing to do.
    ASSERT_TRUE(imgcover::refresh(a, changed, error)) << error;
    EXPECT_FALSE(changed);
}

} // namespace
