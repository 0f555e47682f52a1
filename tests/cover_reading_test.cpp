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
#include <random>
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
    if (e2e::kUnderSanitizer)
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
    // The same file, read once: every later listing is a repeat that refers to the first for
    // what the file holds, and has its own report from the rebuild, which merges each listing
    // with the one before.
    const json& first = j["captures"][0];
    EXPECT_FALSE(first.contains("same_file_as"));
    EXPECT_GT(first["missing_slots"].size(), 0u);
    for (size_t i = 1; i < 500; ++i) {
        const json& e = j["captures"][i];
        EXPECT_EQ(e["same_file_as"], 0) << "listing " << i;
        EXPECT_TRUE(e["repeat"].get<bool>());
        for (const char* same : {"name", "status", "frames", "SSC", "SP", "ESC", "EP", "mcomsize"})
            EXPECT_EQ(e[same], first[same]) << "listing " << i << " " << same;
        EXPECT_EQ(e["reported_by_rebuild"], first["missing_after_all_passes"].size());
        EXPECT_FALSE(e.contains("missing_slots")) << "listing " << i;
    }
    EXPECT_EQ(j["frames"], 500 * first["frames"].get<int64_t>());
    EXPECT_EQ(j["contested_bytes"], 0);
}

// 2,000 listings of one absent capture of the largest range, within 256 MiB of address space:
// the file is looked at once, and its listings cost no more than their lines.
TEST(Listings, TwoThousandOfOneAbsentCaptureWithinAQuarterGigabyte) {
    if (e2e::kUnderSanitizer)
        GTEST_SKIP() << "a memory limit does not apply under the sanitizers";
    Workdir w;
    const std::string dir = w.path();
    largest_range(dir);
    const std::string name = "absent_5_0_17_445.txt"; // 12,734 pages
    list(dir, std::vector<std::string>(2000, name));
    const Ran r = e2e::sh(dir, "ulimit -v 262144 && " + e2e::kImgcover + " --json cover.json");
    ASSERT_EQ(r.status, 1) << r.err;
    // One warning for the file, however often it is listed.
    EXPECT_EQ(r.err,
              "imgcover: warning: cannot open ./" + name + ": counted as not received yet\n");
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    ASSERT_EQ(j["captures"].size(), 2000u);
    EXPECT_EQ(j["captures"][0]["status"], "unreadable");
    EXPECT_EQ(j["captures"][0]["missing_slots"].size(), 20000u);
    EXPECT_EQ(j["captures"][1999]["same_file_as"], 0);
    EXPECT_EQ(j["captures"][1999]["status"], "unreadable");
}

TEST(Listings, RunningOutOfMemoryIsAMessageAndExit2) {
    if (e2e::kUnderSanitizer)
        GTEST_SKIP() << "a memory limit does not apply under the sanitizers";
    Workdir w;
    const std::string dir = w.path();
    largest_range(dir);
    const std::string name = lines_of(e2e::read_file(dir + "/file_info.txt"))[4];
    // The largest image the run description can state, under a limit that cannot hold it.
    std::vector<std::string> l = lines_of(e2e::read_file(dir + "/file_info.txt"));
    e2e::write_file(dir + "/file_info.txt",
                    l[0] + "\nimagesize 23998976\nnumfile 1\n" + l[3] + "\n" + name + "\n");
    const Ran r = e2e::sh(dir, "ulimit -v 80000 && " + e2e::kImgcover + " --json cover.json");
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
    ASSERT_TRUE(imgcover::look(a, changed, error)) << error;
    EXPECT_TRUE(changed);
    EXPECT_EQ(state_of(a), one_shot(dir)) << "after a rewrite in place";

    // A name line removed.
    std::vector<std::string> fewer(names.begin() + 4, names.end());
    fewer.erase(fewer.begin() + 1);
    list(dir, fewer);
    ASSERT_TRUE(imgcover::look(a, changed, error)) << error;
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
    ASSERT_TRUE(imgcover::look(a, changed, error)) << error;
    EXPECT_EQ(state_of(a), one_shot(dir)) << "after an earlier capture grew";

    // Nothing changed: nothing to do.
    ASSERT_TRUE(imgcover::look(a, changed, error)) << error;
    EXPECT_FALSE(changed);
}

// --- A look after captures grew reads only what was appended ------------------------------------

void append(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr) << path;
    ASSERT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    ASSERT_EQ(std::fclose(f), 0);
}

// Makes a run in `dir` with framesim's `options`; returns its capture names as listed.
std::vector<std::string> make_run(const std::string& dir, const std::string& options) {
    const e2e::Ran r = e2e::sh(dir, e2e::kFramesim + " --out . " + options);
    EXPECT_EQ(r.status, 0) << r.err;
    const std::vector<std::string> lines = e2e::lines_of(e2e::read_file(dir + "/file_info.txt"));
    return std::vector<std::string>(lines.begin() + 4, lines.end());
}

// Expects the watched analysis `w` to equal a fresh one-shot analysis of the same directory,
// field by field: the JSON (its text, then key by key and capture by capture, to tell where),
// the image, the coverage, the ledger and the rebuild's reports.
void expect_one_shot(const imgcover::Analysis& w, const std::string& when) {
    imgcover::Analysis a;
    a.dir = w.dir;
    std::string error;
    ASSERT_TRUE(imgcover::analyse(a, error)) << error;
    const std::string fresh = imgcover::json_text(a, imgcover::make_plan(a, 0, "retry"));
    const std::string watched = imgcover::json_text(w, imgcover::make_plan(w, 0, "retry"));
    if (fresh != watched) {
        const json f = json::parse(fresh), g = json::parse(watched);
        for (const auto& [key, value] : f.items()) {
            if (key != "captures") {
                EXPECT_EQ(g[key], value) << when << ": " << key;
                continue;
            }
            ASSERT_EQ(g[key].size(), value.size()) << when;
            for (size_t i = 0; i < value.size(); ++i) {
                for (const auto& [field, v] : value[i].items())
                    EXPECT_EQ(g[key][i][field], v) << when << ": capture " << i << " " << field;
            }
        }
        ADD_FAILURE() << when << ": the JSON texts differ";
    }
    EXPECT_TRUE(w.image == a.image) << when << ": image";
    EXPECT_TRUE(w.coverage == a.coverage) << when << ": coverage";
    ASSERT_EQ(w.ledger.size(), a.ledger.size()) << when;
    for (int64_t o = 0; o < a.ledger.size(); ++o) {
        ASSERT_EQ(w.ledger.placed(o), a.ledger.placed(o)) << when << ": byte " << o;
        ASSERT_EQ(w.ledger.contested(o), a.ledger.contested(o)) << when << ": byte " << o;
        ASSERT_EQ(w.ledger.multi(o), a.ledger.multi(o)) << when << ": byte " << o;
    }
    ASSERT_EQ(w.captures.size(), a.captures.size()) << when;
    for (size_t i = 0; i < a.captures.size(); ++i) {
        EXPECT_EQ(w.captures[i].reported, a.captures[i].reported) << when << ": capture " << i;
        EXPECT_EQ(w.captures[i].report_final, a.captures[i].report_final)
            << when << ": capture " << i;
    }
}

// Adds to the run in `dir` a resend of pages `first` to `last` of block 5 (framesim's default
// SC_S), listed last; returns the names as listed.
std::vector<std::string> resend(const std::string& dir, int first, int last,
                                const std::string& options) {
    const std::string name =
        "resend_5_" + std::to_string(first) + "_5_" + std::to_string(last) + ".txt";
    e2e::write_file(dir + "/plan.txt", "5 " + std::to_string(first) + " 5 " + std::to_string(last) +
                                           " " + name + "\n");
    const e2e::Ran r = e2e::sh(dir, e2e::kFramesim + " --out . --ranges plan.txt " + options);
    EXPECT_EQ(r.status, 0) << r.err;
    std::vector<std::string> lines = e2e::lines_of(e2e::read_file(dir + "/file_info.txt"));
    std::vector<std::string> names(lines.begin() + 4, lines.end());
    names.push_back(name);
    std::string info = lines[0] + "\n" + lines[1] + "\nnumfile " + std::to_string(names.size()) +
                       "\n" + lines[3] + "\n";
    for (const std::string& n : names)
        info += n + "\n";
    e2e::write_file(dir + "/file_info.txt", info);
    return names;
}

// A pass written in pieces, capture after capture as a station receives it, pieces cut
// anywhere (inside a line too): after every piece a look equals a one-shot analysis. The runs
// have lost, duplicated, reordered and corrupted frames, noise lines, and a second pass over
// every range, a resend whose frames straddle the first pass's (its range starts a page later)
// and disagree with some of them, so that the looks extend bytes placed before and contested
// ones, and a resend from a memory that changed.
TEST(WatchLook, EveryLookOfAGrowingPassEqualsAOneShotAnalysis) {
    struct Run {
        std::string options;
        std::string resend; // framesim options of a resend of pages 1 to 60, or none
        bool twice = false; // and of pages 61 to 100 after it
    };
    const std::vector<Run> runs = {
        {"--loss 0.1 --corrupt 0.05 --image-size 30000 --pages-per-file 40 --seed 9",
         "--loss 0.1 --corrupt 0.05 --seed 10"},
        {"--loss 0.1 --duplicates 0.05 --reorder 0.05 --noise 0.05 --image-size 60000 "
         "--pages-per-file 40 --seed 3",
         ""},
        {"--loss 0.2 --passes 2 --repeat all --corrupt 0.02 --image-size 50000 "
         "--pages-per-file 32 --seed 5 --style varied",
         ""},
        {"--loss 0.05 --wrap --image-size 30000 --pages-per-file 64 --seed 8 --crlf", ""},
        // A resend from a memory that changed: a new era, values forgotten, stale bytes; and a
        // second resend after it, which takes the new era when it is first read.
        {"--loss 0.1 --corrupt 0.02 --image-size 30000 --pages-per-file 40 --seed 4",
         "--loss 0.1 --image other.img --seed 12", true},
    };
    for (const auto& [options, again, twice] : runs) {
        Workdir source, grow;
        std::vector<std::string> names = make_run(source.path(), options);
        ASSERT_EQ(e2e::sh(source.path(), e2e::kFramesim + " --out other --image-size 30000 "
                                                          "--seed 77 --save-image other.img")
                      .status,
                  0);
        if (!again.empty())
            names = resend(source.path(), 1, 60, again);
        if (twice)
            names = resend(source.path(), 61, 100, again);
        std::string info = e2e::read_file(source.path() + "/file_info.txt");
        e2e::write_file(grow.path() + "/file_info.txt", info);
        imgcover::Analysis w;
        w.dir = grow.path();
        std::string error;
        ASSERT_TRUE(imgcover::analyse(w, error)) << error;
        std::mt19937 rng(11);
        int64_t total = 0, pieces = 0;
        for (const std::string& name : names) {
            const std::string bytes = e2e::read_file(source.path() + "/" + name);
            total += static_cast<int64_t>(bytes.size());
            for (size_t at = 0; at < bytes.size();) {
                const size_t n = std::min(bytes.size() - at, size_t{1} + rng() % 6000);
                append(grow.path() + "/" + name, bytes.substr(at, n));
                at += n;
                ++pieces;
                bool changed = false;
                ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
                EXPECT_TRUE(changed);
                expect_one_shot(w, options + ": " + name + " at byte " + std::to_string(at));
                if (HasFailure())
                    return;
            }
        }
        bool changed = true;
        ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
        EXPECT_FALSE(changed);
        // Read once, not again at every look: a line cut by a piece is read again, no more.
        EXPECT_LE(w.reader.bytes_fetched(), total + pieces * imgrebuild::kLineCap) << options;
    }
}

// Two names of a run, neither there when the watch starts; a capture comes under the first,
// then the second appears as a link to it: the look reads them as one file, which confirms
// nothing of its own, as a one-shot analysis does.
TEST(WatchLook, ANameThatAppearsAsALinkToAListedFileIsThatFile) {
    Workdir source, grow;
    const std::vector<std::string> names =
        make_run(source.path(), "--loss 0 --corrupt 0.05 --image-size 30000 --pages-per-file 118 "
                                "--seed 1");
    ASSERT_EQ(names.size(), 1u);
    e2e::write_file(grow.path() + "/file_info.txt",
                    "x\nimagesize 30000\nnumfile 2\nSC_S 5\na_5_0_5_117.txt\nb_5_0_5_117.txt\n");
    imgcover::Analysis w;
    w.dir = grow.path();
    std::string error;
    ASSERT_TRUE(imgcover::analyse(w, error)) << error;
    fs::copy_file(source.path() + "/" + names[0], grow.path() + "/a_5_0_5_117.txt");
    bool changed = false;
    ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
    expect_one_shot(w, "the first name there");
    for (const bool hard : {true, false}) {
        if (fs::remove(grow.path() + "/b_5_0_5_117.txt")) {
            ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
            EXPECT_TRUE(changed);
            expect_one_shot(w, "the link removed");
        }
        if (hard)
            fs::create_hard_link(grow.path() + "/a_5_0_5_117.txt",
                                 grow.path() + "/b_5_0_5_117.txt");
        else
            fs::create_symlink("a_5_0_5_117.txt", grow.path() + "/b_5_0_5_117.txt");
        ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
        EXPECT_TRUE(changed);
        expect_one_shot(w, hard ? "a hard link" : "a symbolic link");
        EXPECT_EQ(w.files.size(), 1u);
    }
}

// After an append of whole lines, a look reads exactly the bytes appended.
TEST(WatchLook, ALookAfterAnAppendReadsOnlyTheAppendedBytes) {
    Workdir source, grow;
    const std::vector<std::string> names =
        make_run(source.path(), "--loss 0.1 --image-size 40000 --pages-per-file 64 --seed 2");
    e2e::write_file(grow.path() + "/file_info.txt",
                    e2e::read_file(source.path() + "/file_info.txt"));
    const std::string first = e2e::read_file(source.path() + "/" + names[0]);
    const std::string second = e2e::read_file(source.path() + "/" + names[1]);
    e2e::write_file(grow.path() + "/" + names[0], first);
    const size_t half = second.find('\n', second.size() / 2) + 1;
    e2e::write_file(grow.path() + "/" + names[1], second.substr(0, half));
    imgcover::Analysis w;
    w.dir = grow.path();
    std::string error;
    ASSERT_TRUE(imgcover::analyse(w, error)) << error;
    const int64_t before = w.reader.bytes_fetched();
    EXPECT_EQ(before, static_cast<int64_t>(first.size() + half));

    append(grow.path() + "/" + names[1], second.substr(half));
    bool changed = false;
    ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
    EXPECT_TRUE(changed);
    EXPECT_EQ(w.reader.bytes_fetched() - before, static_cast<int64_t>(second.size() - half));
    expect_one_shot(w, "after the append");

    // The next capture appears: it is read from its start, and nothing else is.
    const std::string third = e2e::read_file(source.path() + "/" + names[2]);
    e2e::write_file(grow.path() + "/" + names[2], third);
    const int64_t had = w.reader.bytes_fetched();
    ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
    EXPECT_EQ(w.reader.bytes_fetched() - had, static_cast<int64_t>(third.size()));
    expect_one_shot(w, "after a capture appeared");
}

// Every change that is not an append to the last capture with data, each from a run with
// every capture there: the look reads everything again, and equals a one-shot analysis.
TEST(WatchLook, AnyOtherChangeIsAFreshAnalysis) {
    struct Change {
        const char* what;
        void (*apply)(const std::string& dir, const std::vector<std::string>& names);
    };
    const std::vector<Change> changes = {
        {"an earlier capture grows",
         [](const std::string& dir, const std::vector<std::string>& names) {
             append(dir + "/" + names[0], e2e::read_file(dir + "/" + names[1]));
         }},
        {"a capture shortened",
         [](const std::string& dir, const std::vector<std::string>& names) {
             const std::string bytes = e2e::read_file(dir + "/" + names.back());
             e2e::write_file(dir + "/" + names.back(), bytes.substr(0, bytes.size() / 3));
         }},
        {"a capture replaced by another file",
         [](const std::string& dir, const std::vector<std::string>& names) {
             const std::string other = e2e::read_file(dir + "/" + names[0]);
             e2e::write_file(dir + "/new.tmp", other + other);
             fs::rename(dir + "/new.tmp", dir + "/" + names.back());
         }},
        {"a capture rewritten in place, same size",
         [](const std::string& dir, const std::vector<std::string>& names) {
             std::string bytes = e2e::read_file(dir + "/" + names.back());
             std::string other = e2e::read_file(dir + "/" + names[1]);
             other.resize(bytes.size(), '\n');
             std::FILE* f = std::fopen((dir + "/" + names.back()).c_str(), "r+b");
             ASSERT_NE(f, nullptr);
             ASSERT_EQ(std::fwrite(other.data(), 1, other.size(), f), other.size());
             ASSERT_EQ(std::fclose(f), 0);
             // A clock that ticks coarsely may leave the time as it was: move it on.
             const fs::path p = dir + "/" + names.back();
             fs::last_write_time(p, fs::last_write_time(p) + std::chrono::seconds(1));
         }},
        {"a capture removed",
         [](const std::string& dir, const std::vector<std::string>& names) {
             fs::remove(dir + "/" + names[1]);
         }},
        {"file_info.txt lists the last capture twice",
         [](const std::string& dir, const std::vector<std::string>& names) {
             append(dir + "/file_info.txt", names.back() + "\n");
             std::string info = e2e::read_file(dir + "/file_info.txt");
             const size_t at = info.find("numfile");
             const size_t end = info.find('\n', at);
             info.replace(at, end - at, "numfile " + std::to_string(names.size() + 1));
             e2e::write_file(dir + "/file_info.txt", info);
         }},
    };
    for (const Change& c : changes) {
        Workdir w;
        const std::vector<std::string> names =
            make_run(w.path(), "--loss 0.1 --passes 2 --image-size 30000 --pages-per-file 24 "
                               "--seed 4");
        imgcover::Analysis a;
        a.dir = w.path();
        std::string error;
        ASSERT_TRUE(imgcover::analyse(a, error)) << error;
        c.apply(w.path(), names);
        const int64_t before = a.reader.bytes_fetched();
        bool changed = false;
        ASSERT_TRUE(imgcover::look(a, changed, error)) << c.what << ": " << error;
        EXPECT_TRUE(changed) << c.what;
        expect_one_shot(a, c.what);
        // Read from the start: at least every byte of the first capture again.
        EXPECT_GE(a.reader.bytes_fetched() - before,
                  static_cast<int64_t>(e2e::read_file(w.path() + "/" + names[0]).size()))
            << c.what;
    }
}

// A file listed twice appears, then grows: it is placed at both listings, so the look reads it
// from its start.
TEST(WatchLook, AFileListedTwiceIsReadFromItsStart) {
    Workdir source, grow;
    const std::vector<std::string> names =
        make_run(source.path(), "--loss 0.1 --image-size 20000 --pages-per-file 32 --seed 6");
    std::string info = e2e::read_file(source.path() + "/file_info.txt");
    const std::vector<std::string> lines = e2e::lines_of(info);
    std::string twice = lines[0] + "\n" + lines[1] + "\nnumfile " +
                        std::to_string(names.size() + 1) + "\n" + lines[3] + "\n";
    for (const std::string& n : names)
        twice += n + "\n";
    twice += names.back() + "\n";
    e2e::write_file(grow.path() + "/file_info.txt", twice);
    for (size_t k = 0; k + 1 < names.size(); ++k)
        e2e::write_file(grow.path() + "/" + names[k],
                        e2e::read_file(source.path() + "/" + names[k]));
    imgcover::Analysis w;
    w.dir = grow.path();
    std::string error;
    ASSERT_TRUE(imgcover::analyse(w, error)) << error;
    const std::string last = e2e::read_file(source.path() + "/" + names.back());
    const size_t half = last.find('\n', last.size() / 2) + 1;
    for (const std::string& piece : {last.substr(0, half), last.substr(half)}) {
        append(grow.path() + "/" + names.back(), piece);
        bool changed = false;
        ASSERT_TRUE(imgcover::look(w, changed, error)) << error;
        EXPECT_TRUE(changed);
        expect_one_shot(w, "after the file listed twice grew to " + std::to_string(piece.size()));
    }
}

} // namespace
