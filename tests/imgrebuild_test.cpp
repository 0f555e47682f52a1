// imgrebuild end to end: the built tool, run in a fresh directory on small captures; the exact
// log, output.bin and exit status are checked.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "expected.hpp"
#include "frames.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
namespace tf = testframes;
using e2e::RunResult;
using e2e::Workdir;

namespace {

using namespace expected;

void expect_clean(const RunResult& r) {
    EXPECT_EQ(r.err, "");
}

// --- A whole run --------------------------------------------------------------------------

TEST(Run, RebuildsOneCaptureAndReportsItsMissingSlot) {
    // Pages (12, 1000) to (13, 23) with SC_S 12: 76 slots from offset 256,000, limit 268,288.
    Workdir w;
    const std::string na = "pass1_12_1000_13_23.txt";
    w.write("file_info.txt", run_info(300000, 1, 12, {na}));
    std::string capture = frames_except(76, {7});
    capture += tf::frame(81, tf::pattern(99)); // wraps to slot 5 and replaces its bytes
    w.write(na, capture);

    const RunResult r = w.run();
    expect_clean(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "Program start ver.3\r\n"
                     "imagesize=300000\r\n"
                     "numfile=1\r\n"
                     "SC_S=12\r\n"
                     "\r\n"
                     "i=0\r\n"
                     "na=pass1_12_1000_13_23.txt\r\n"
                     "SSC=12 SP=1000 ESC=13 EP=23\r\n"
                     "mcomsize=76\r\n"
                     "\r\n"
                     "PN=7 is lacked.\r\n"
                     "loss_num=1\r\n"
                     "Program is finished.\r\n");

    Image want(301024);
    for (int pn = 0; pn < 76; ++pn) {
        if (pn != 7)
            want.place(256000 + 163 * pn, 268288, tf::pattern(pn == 5 ? 99 : pn));
    }
    ASSERT_EQ(r.output.size(), 301024u);
    EXPECT_EQ(r.output, want.bytes);
    // Slot 5 lands at 256,815; the last slot, 75, writes 64 bytes, up to and including limit.
    EXPECT_EQ(static_cast<uint8_t>(r.output[256815]), tf::pattern(99)[0]);
    EXPECT_EQ(static_cast<uint8_t>(r.output[268288]), tf::pattern(75)[63]);
    EXPECT_EQ(static_cast<uint8_t>(r.output[268289]), 0xFF);
}

TEST(Run, BundledExampleMatchesItsExpectedLogAndImage) {
    Workdir w;
    w.copy_fixture("../../examples/basic");
    const RunResult r = w.run();
    expect_clean(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, e2e::read_file(IMGREBUILD_TEST_DATA "/basic.expected_stdout"));
    EXPECT_EQ(r.output, e2e::read_file(IMGREBUILD_TEST_DATA "/basic.expected_output.bin"));
}

TEST(Run, NoCaptureFilesLeavesABlankImage) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 0, 3, {"never_1_2_3_4.txt"}));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(0, 0, 3) + kFinished);
    EXPECT_EQ(r.output, std::string(1024, '\xFF'));
}

TEST(Run, HeadValuesComeFromTheSecondTokenOnly) {
    Workdir w;
    // Line 1 is never read; leading and repeated spaces change nothing; a third token is ignored;
    // the last name line has no line feed and CRLF line ends fold.
    w.write("file_info.txt", "imagesize 999\r\n  imagesize   16 x\r\nnumfile 1 more words\r\n"
                             "SC_S\xA0 -2 7\r\nc_-2_0_-2_0.txt");
    w.write("c_-2_0_-2_0.txt", tf::frame(1, tf::pattern(1)) + tf::frame(0, tf::pattern(0)));
    const RunResult r = w.run();
    expect_clean(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(16, 1, -2) + pass_log(0, "c_-2_0_-2_0.txt", -2, 0, -2, 0, 2) +
                         report({}) + kFinished);
    Image want(1040);
    want.place(0, 256, tf::pattern(0));
    want.place(163, 256, tf::pattern(1));
    EXPECT_EQ(r.output, want.bytes);
}

// A run description written with CR LF line ends names its captures without the CR.
TEST(Run, CrlfNameLinesOpenTheirCaptures) {
    Workdir w;
    w.write("file_info.txt", "run\r\nimagesize 0\r\nnumfile 2\r\nSC_S 0\r\n"
                             "a_0_0_0_0.txt\r\nb_0_1_0_1.txt\r\n");
    w.write("a_0_0_0_0.txt", tf::frame(0, tf::pattern(0), "\r\n"));
    w.write("b_0_1_0_1.txt", tf::frame(1, tf::pattern(1), "\r\n"));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(0, 2, 0) + pass_log(0, "a_0_0_0_0.txt", 0, 0, 0, 0, 2) + report({1}) +
                         pass_log(1, "b_0_1_0_1.txt", 0, 1, 0, 1, 2) + report({0}) + kFinished);
    Image want(1024);
    want.place(0, 256, tf::pattern(0));
    want.place(256 + 163, 512, tf::pattern(1));
    EXPECT_EQ(r.output, want.bytes);
}

// The tool waits for a character only after its whole log is out.
TEST(Run, FlushesTheLogThenWaitsForOneCharacter) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 0, 0, {}));
    int to_child[2], from_child[2];
    ASSERT_EQ(::pipe(to_child), 0);
    ASSERT_EQ(::pipe(from_child), 0);
    const pid_t pid = w.start(to_child[0], from_child[1]);
    ASSERT_GT(pid, 0);
    ::close(to_child[0]);
    ::close(from_child[1]);
    // A tool that never writes its log, or never ends, fails the test at a deadline instead
    // of holding it up.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    const auto left_ms = [&] {
        return static_cast<int>(
            std::max<int64_t>(0, std::chrono::duration_cast<std::chrono::milliseconds>(
                                     deadline - std::chrono::steady_clock::now())
                                     .count()));
    };
    const std::string want = head_log(0, 0, 0) + kFinished;
    std::string got;
    char buf[256];
    while (got.size() < want.size()) {
        pollfd p{from_child[0], POLLIN, 0};
        if (::poll(&p, 1, left_ms()) <= 0)
            break;
        const ssize_t n = ::read(from_child[0], buf, sizeof buf);
        if (n <= 0)
            break;
        got.append(buf, static_cast<size_t>(n));
    }
    EXPECT_EQ(got, want);
    // Still waiting for its character: no end of its output comes within a moment.
    pollfd p{from_child[0], POLLIN, 0};
    EXPECT_EQ(::poll(&p, 1, 100), 0) << "the tool ended without waiting";
    int status = 0;
    EXPECT_EQ(::waitpid(pid, &status, WNOHANG), 0) << "the tool ended without waiting";
    ASSERT_EQ(::write(to_child[1], "x", 1), 1);
    ::close(to_child[1]);
    pid_t ended = 0;
    while ((ended = ::waitpid(pid, &status, WNOHANG)) == 0 && left_ms() > 0)
        ::poll(nullptr, 0, 10);
    if (ended == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        FAIL() << "the tool did not end after its character";
    }
    EXPECT_EQ(ended, pid);
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    ::close(from_child[0]);
}

// --- Failures: each ends the run with its message and -1 ------------------------------------

struct FailureCase {
    const char* name;
    std::string file_info; // empty: none is written
    std::vector<std::pair<std::string, std::string>> files;
    std::string log;
    bool blank_output; // output.bin holds the blank image (else it is not written at all)
    int outsize;
};

void PrintTo(const FailureCase& c, std::ostream* os) {
    *os << c.name;
}

class Failure : public ::testing::TestWithParam<FailureCase> {};

TEST_P(Failure, EndsTheRunWithItsMessage) {
    const FailureCase& c = GetParam();
    Workdir w;
    if (!c.file_info.empty())
        w.write("file_info.txt", c.file_info);
    for (const auto& [name, bytes] : c.files)
        w.write(name, bytes);
    const RunResult r = w.run();
    expect_clean(r);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, c.log);
    EXPECT_EQ(r.has_output, c.blank_output);
    if (c.blank_output) {
        EXPECT_EQ(r.output, std::string(static_cast<size_t>(c.outsize), '\xFF'));
    }
}

const std::string kStart = "Program start ver.3\r\n";
const std::string kFormat = "read file format error.\r\n";

INSTANTIATE_TEST_SUITE_P(
    Runs, Failure,
    ::testing::Values(
        FailureCase{"no run description", "", {}, kStart + "read file open error.\r\n", false, 0},
        FailureCase{"head ends before line 4",
                    "a\nimagesize 10\nnumfile 1\n",
                    {},
                    kStart + "imagesize=10\r\nnumfile=1\r\n" + kFormat,
                    false,
                    0},
        FailureCase{"head line without a second token",
                    "a\nimagesize\t10\n",
                    {},
                    kStart + kFormat,
                    false,
                    0},
        FailureCase{"head value not a number",
                    "a\nimagesize 10\nnumfile two\nSC_S 0\n",
                    {},
                    kStart + "imagesize=10\r\n" + kFormat,
                    false,
                    0},
        FailureCase{"head value beyond 32 bits",
                    "a\nimagesize 4294967296\nnumfile 1\nSC_S 0\n",
                    {},
                    kStart + kFormat,
                    false,
                    0},
        FailureCase{"negative imagesize",
                    run_info(-1, 0, 0, {}),
                    {},
                    head_log(-1, 0, 0) + "imagesize error.\r\n",
                    false,
                    0},
        FailureCase{"imagesize over the buffer",
                    run_info(23998977, 0, 0, {}),
                    {},
                    head_log(23998977, 0, 0) + "imagesize error.\r\n",
                    false,
                    0},
        FailureCase{"fewer name lines than numfile",
                    run_info(0, 2, 0, {"a_0_0_0_0"}),
                    {{"a_0_0_0_0", ""}},
                    head_log(0, 2, 0) + pass_log(0, "a_0_0_0_0", 0, 0, 0, 0, 2) + report({0, 1}) +
                        "\r\ni=1\r\n" + kFormat,
                    true,
                    1024},
        FailureCase{"name line with three numbers",
                    run_info(0, 1, 0, {"cap_1_2_3.txt"}),
                    {},
                    head_log(0, 1, 0) + "\r\ni=0\r\n" + kFormat,
                    true,
                    1024},
        FailureCase{"range that ends before it starts",
                    run_info(0, 1, 0, {"cap_0_9_0_8.txt"}),
                    {},
                    head_log(0, 1, 0) + "\r\ni=0\r\nna=cap_0_9_0_8.txt\r\nSSC=0 SP=9 ESC=0 EP=8\r\n"
                                        "range error.\r\n",
                    true,
                    1024},
        FailureCase{"range over 12,734 pages",
                    run_info(0, 1, 0, {"cap_0_0_12_446.txt"}),
                    {},
                    head_log(0, 1, 0) + "\r\ni=0\r\nna=cap_0_0_12_446.txt\r\n"
                                        "SSC=0 SP=0 ESC=12 EP=446\r\nrange error.\r\n",
                    true,
                    1024},
        // The frames of the capture handled first never reach the file.
        FailureCase{"missing third capture",
                    run_info(100, 3, 0, {"a_0_0_0_0", "b_0_1_0_1", "c_0_2_0_2"}),
                    {{"a_0_0_0_0", tf::frame(0, tf::pattern(0))}, {"b_0_1_0_1", ""}},
                    head_log(100, 3, 0) + pass_log(0, "a_0_0_0_0", 0, 0, 0, 0, 2) + report({1}) +
                        pass_log(1, "b_0_1_0_1", 0, 1, 0, 1, 2) + report({0, 1}) +
                        pass_log(2, "c_0_2_0_2", 0, 2, 0, 2, 2) + "read file open error.\r\n",
                    true,
                    1124}));

// Failures that need a directory or a device where a file should be.
TEST(FailureOnTheFileSystem, RunDescriptionThatCannotBeRead) {
    Workdir w;
    std::filesystem::create_directory(w.path() + "/file_info.txt");
    const RunResult r = w.run();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, kStart + "read file read error.\r\n");
    EXPECT_FALSE(r.has_output);
}

TEST(FailureOnTheFileSystem, CaptureThatCannotBeRead) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 1, 0, {"d_0_0_0_0"}));
    std::filesystem::create_directory(w.path() + "/d_0_0_0_0");
    const RunResult r = w.run();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, head_log(0, 1, 0) + pass_log(0, "d_0_0_0_0", 0, 0, 0, 0, 2) +
                         "read file read error.\r\n");
    EXPECT_EQ(r.output, std::string(1024, '\xFF'));
}

TEST(FailureOnTheFileSystem, OutputThatCannotBeCreated) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 0, 0, {}));
    std::filesystem::create_directory(w.path() + "/output.bin");
    const RunResult r = w.run();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, head_log(0, 0, 0) + "write file open error.\r\n");
}

TEST(FailureOnTheFileSystem, OutputThatCannotBeWritten) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 0, 0, {}));
    std::filesystem::create_symlink("/dev/full", w.path() + "/output.bin");
    const RunResult r = w.run();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, head_log(0, 0, 0) + "write file write error.\r\n");
}

// The final write fails though the first succeeded: while the tool waits for its capture (a
// FIFO), output.bin is replaced by a directory.
TEST(FailureOnTheFileSystem, OutputThatCannotBeCreatedAtTheEnd) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 1, 0, {"f_0_0_0_0"}));
    ASSERT_EQ(::mkfifo((w.path() + "/f_0_0_0_0").c_str(), 0600), 0);
    const int in = ::open("/dev/null", O_RDONLY);
    const int out = ::open((w.path() + "/.stdout").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const pid_t pid = w.start(in, out);
    ASSERT_GT(pid, 0);
    ::close(in);
    ::close(out);
    // The tool opens the FIFO only after writing the blank output; opening the writing end
    // waits for that.
    const int fifo = ::open((w.path() + "/f_0_0_0_0").c_str(), O_WRONLY);
    ASSERT_GE(fifo, 0);
    EXPECT_EQ(e2e::read_file(w.path() + "/output.bin"), std::string(1024, '\xFF'));
    std::filesystem::remove(w.path() + "/output.bin");
    std::filesystem::create_directory(w.path() + "/output.bin");
    const std::string frame = tf::frame(0, tf::pattern(0));
    ASSERT_EQ(::write(fifo, frame.data(), frame.size()), static_cast<ssize_t>(frame.size()));
    ::close(fifo);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_EQ(WEXITSTATUS(status), kFailed);
    EXPECT_EQ(e2e::read_file(w.path() + "/.stdout"),
              head_log(0, 1, 0) + pass_log(0, "f_0_0_0_0", 0, 0, 0, 0, 2) + report({1}) +
                  "write file open error.\r\n");
}

// --- Frames: what is refused, and what is reported -------------------------------------------

TEST(Frames, RefusedLinesAreReportedAndMarkNothing) {
    Workdir w;
    const std::string na = "noise_0_0_0_0.txt"; // one page: slots 0 and 1
    w.write("file_info.txt", run_info(0, 1, 0, {na}));
    const std::string good = tf::frame(0, tf::pattern(0));
    const std::string slot1 = tf::frame(1, tf::pattern(1));
    std::string short_frame = slot1.substr(0, slot1.size() - 10) + "\n";
    std::string bad_token = slot1;
    bad_token.replace(bad_token.size() - 3, 2, "zz"); // the last payload token
    std::vector<int> negative = tf::escape(tf::payload(1, tf::pattern(1)));
    negative[2] = -1;                        // written "-1": the counter formed from it is negative
    std::string capture = good;              // line 1
    capture += "\r\n";                       // 2: blank, silent
    capture += " \t \v\f\n";                 // 3: white space only, silent
    capture += "zz" + slot1.substr(2);       // 4: identifier not a number
    capture += "7e" + slot1.substr(2);       // 5: not image data
    capture += "-1" + slot1.substr(2);       // 6: not image data, ID=ffffffff
    capture += short_frame;                  // 7
    capture += bad_token;                    // 8
    capture += tf::line(0xC0, negative);     // 9
    capture += std::string("\0", 1) + slot1; // 10: nul ends the text: blank
    w.write(na, capture);

    const RunResult r = w.run();
    expect_clean(r);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(0, 1, 0) + pass_log(0, na, 0, 0, 0, 0, 2) +
                         "line 4 is not a valid frame.\r\n"
                         "ID=7e\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n"
                         "ID=ffffffff\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n"
                         "line 7 is not a valid frame.\r\n"
                         "line 8 is not a valid frame.\r\n"
                         "line 9 is not a valid frame.\r\n" +
                         report({1}) + kFinished);
    Image want(1024);
    want.place(0, 256, tf::pattern(0));
    EXPECT_EQ(r.output, want.bytes);
}

TEST(Frames, LongLinesComeInPiecesAndTheLastLineNeedsALineFeed) {
    Workdir w;
    const std::string na = "long_0_0_0_0.txt";
    w.write("file_info.txt", run_info(0, 1, 0, {na}));
    // A frame padded with spaces to 19,999 characters, then "zz": the piece is a sound frame,
    // the rest a line of its own (line 2), refused. A CRLF frame follows as line 3. The last
    // line, slot 1's frame without a line feed, is never handled.
    std::string padded = tf::frame(0, tf::pattern(0), "");
    padded.resize(19999, ' ');
    std::string capture = padded + "zz\n" + tf::frame(0, tf::pattern(5), "\r\n");
    capture += tf::frame(1, tf::pattern(1), "");
    w.write(na, capture);

    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(0, 1, 0) + pass_log(0, na, 0, 0, 0, 0, 2) +
                         "line 2 is not a valid frame.\r\n" + report({1}) + kFinished);
    Image want(1024);
    want.place(0, 256, tf::pattern(5));
    EXPECT_EQ(r.output, want.bytes);
}

TEST(Frames, ALastPieceOfExactlyTheLimitIsAFrame) {
    Workdir w;
    const std::string na = "edge_0_0_0_0.txt";
    w.write("file_info.txt", run_info(0, 1, 0, {na}));
    std::string padded = tf::frame(1, tf::pattern(1), "");
    padded.resize(19999, ' ');
    w.write(na, tf::frame(0, tf::pattern(0)) + padded);
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(0, 1, 0) + pass_log(0, na, 0, 0, 0, 0, 2) + report({}) + kFinished);
}

// --- Placement at the edges of the image buffer -----------------------------------------------

TEST(Placement, BytesBeforeTheImageAreDroppedTheRestLand) {
    // With SC_S 1, the range (0, 1023) to (1, 0) starts 256 bytes before the image: slot 1
    // covers offsets -93 to 69, so its data bytes 93 to 162 land at offsets 0 to 69.
    Workdir w;
    const std::string na = "before_0_1023_1_0.txt";
    w.write("file_info.txt", run_info(0, 1, 1, {na}));
    w.write(na, tf::frame(1, tf::pattern(1)) + tf::frame(3, tf::pattern(3)));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              head_log(0, 1, 1) + pass_log(0, na, 0, 1023, 1, 0, 4) + report({0, 2}) + kFinished);
    Image want(1024);
    want.place(-256 + 163, 256, tf::pattern(1));
    want.place(-256 + 3 * 163, 256, tf::pattern(3));
    EXPECT_EQ(r.output, want.bytes);
}

TEST(Placement, BytesPastTheBufferAreDroppedTheRestLand) {
    // The largest image: output.bin is the whole 24,000,000-byte buffer. The range starts at
    // offset 23,999,744; slot 1 covers 23,999,907 to 24,000,069, of which 93 bytes fit.
    Workdir w;
    const std::string na = "end_91_565_91_566.txt";
    w.write("file_info.txt", run_info(23998976, 1, 0, {na}));
    w.write(na, tf::frame(1, tf::pattern(1)) + tf::frame(3, tf::pattern(3)));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(23998976, 1, 0) + pass_log(0, na, 91, 565, 91, 566, 4) +
                         report({0, 2}) + kFinished);
    ASSERT_EQ(r.output.size(), 24000000u);
    const std::vector<uint8_t> p1 = tf::pattern(1);
    EXPECT_EQ(0, std::memcmp(r.output.data() + 23999907, p1.data(), 93));
    EXPECT_EQ(r.output.find_first_not_of('\xFF'), 23999907u);
}

// --- Merging two passes over one range ----------------------------------------------------------

// One capture file of a merge case, and the slots its report must list.
struct MergeFile {
    std::string name;
    long long SSC, SP, ESC, EP;
    int mcomsize;
    std::string frames;
    std::vector<int> report;
};

struct MergeCase {
    const char* name; // the test's name
    int32_t imagesize;
    int32_t SC_S;
    std::vector<MergeFile> files;
};

void PrintTo(const MergeCase& c, std::ostream* os) {
    *os << c.name;
}

class Merge : public ::testing::TestWithParam<MergeCase> {};

TEST_P(Merge, ReportsListWhatTheMergedPassesLack) {
    const MergeCase& c = GetParam();
    Workdir w;
    std::vector<std::string> names;
    for (const MergeFile& f : c.files) {
        names.push_back(f.name);
        w.write(f.name, f.frames);
    }
    w.write("file_info.txt", run_info(c.imagesize, static_cast<int>(names.size()), c.SC_S, names));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    std::string want = head_log(c.imagesize, static_cast<int>(names.size()), c.SC_S);
    for (size_t i = 0; i < c.files.size(); ++i) {
        const MergeFile& f = c.files[i];
        want += pass_log(static_cast<int>(i), f.name, f.SSC, f.SP, f.ESC, f.EP, f.mcomsize) +
                report(f.report);
    }
    EXPECT_EQ(r.out, want + kFinished);
}

// Range (0, 0) to (0, 6) is 1792 bytes, 11 slots.
INSTANTIATE_TEST_SUITE_P(
    Passes, Merge,
    ::testing::Values(
        // Pass one lacks 3 and 4, pass two 4 and 5; a third pass lacking 4 and 9 merges with
        // the union of the first two.
        MergeCase{"SecondPassReportsOnlyWhatNeitherPassReceived",
                  2000,
                  0,
                  {{"a_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {3, 4}), {3, 4}},
                   {"b_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {4, 5}), {4}},
                   {"c_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {4, 9}), {4}}}},
        // Three passes lacking {4, 9}, {4, 5, 10} and {4, 5, 9}: the third merges with what
        // both earlier passes received together, so it lacks only 4; with the pass just before
        // alone it would lack 4 and 5.
        MergeCase{"AThirdPassMergesWithBothEarlierPasses",
                  2000,
                  0,
                  {{"a_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {4, 9}), {4, 9}},
                   {"b_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {4, 5, 10}), {4}},
                   {"c_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {4, 5, 9}), {4}}}},
        MergeCase{"OnlyTheFileJustBeforeCounts",
                  2000,
                  0,
                  {{"a_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {3, 4}), {3, 4}},
                   {"x_0_7_0_7.txt", 0, 7, 0, 7, 2, "", {0, 1}},
                   {"b_0_0_0_6.txt", 0, 0, 0, 6, 11, frames_except(11, {4, 5}), {4, 5}}}},
        // (1, 0)-(1, 9) and (1, 3)-(1, 6) both have key 11. A first file whose numbers are all
        // 0 has key 0, the starting key, and merges with the empty table, changing nothing.
        MergeCase{
            "EqualSumsMergeEvenForDifferentRanges",
            5000,
            1,
            {{"z_0_0_0_0.txt", 0, 0, 0, 0, 2, tf::frame(1, tf::pattern(1)), {0}},
             {"a_1_0_1_9.txt", 1, 0, 1, 9, 16, frames_except(16, {0, 1, 2, 15}), {0, 1, 2, 15}},
             {"b_1_3_1_6.txt", 1, 3, 1, 6, 7, frames_except(7, {1, 2, 5}), {1, 2}}}}),
    [](const ::testing::TestParamInfo<MergeCase>& info) { return std::string(info.param.name); });

// --- Names with folders ----------------------------------------------------------------------

struct FolderCase {
    const char* name_line; // as listed in file_info.txt
    const char* folder;    // made first, when not empty
};

void PrintTo(const FolderCase& c, std::ostream* os) {
    *os << c.name_line;
}

class FolderName : public ::testing::TestWithParam<FolderCase> {};

// Pages (5, 128) to (5, 255) with SC_S 5: 202 slots from offset 32,768, whatever the folders
// before the name say.
TEST_P(FolderName, TheRangeComesFromTheFileName) {
    const FolderCase& c = GetParam();
    Workdir w;
    if (*c.folder != '\0')
        fs::create_directory(w.path() + "/" + c.folder);
    w.write("file_info.txt", run_info(65536, 1, 5, {c.name_line}));
    w.write(c.name_line, frames_except(202, {7}));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, head_log(65536, 1, 5) + pass_log(0, c.name_line, 5, 128, 5, 255, 202) +
                         report({7}) + kFinished);
    Image im(65536 + 1024);
    for (int pn = 0; pn < 202; ++pn) {
        if (pn != 7)
            im.place(32768 + 163LL * pn, 32768 + 128 * 256, tf::pattern(pn));
    }
    EXPECT_TRUE(r.output == im.bytes);
}

INSTANTIATE_TEST_SUITE_P(Names, FolderName,
                         ::testing::Values(FolderCase{"st_5_0/pass1_5_128_5_255.txt", "st_5_0"},
                                           // On this platform a backslash is part of the name.
                                           FolderCase{"st_5_0\\pass1_5_128_5_255.txt", ""}));

TEST(FolderName, ANameEndingInASeparatorHasNoRange) {
    Workdir w;
    w.write("file_info.txt", run_info(100, 1, 0, {"pass_1_2_3_4/"}));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, head_log(100, 1, 0) + "\r\ni=0\r\nread file format error.\r\n");
}

} // namespace
