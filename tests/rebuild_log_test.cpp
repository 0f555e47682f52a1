// imgrebuild's log: a broken or full log never loses the image and is never reported as success,
// and the log is flushed before every wait, so an operator sees where a run waits.
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

#include <poll.h>
#include <signal.h>

#include <chrono>
#include <thread>

#include "expected.hpp"
#include "frames.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
namespace tf = testframes;
using e2e::RunResult;
using namespace expected;

namespace {

// A run whose log is far over the console's 64 KiB: an empty-but-one capture of a range of
// 12,734 pages, so 19,999 of its 20,000 slots are reported missing.
struct BigLogRun {
    static constexpr int kImagesize = 300000;
    const std::string na = "p_0_0_12_445.txt";
    std::string log;
    std::string image;

    explicit BigLogRun(const Workdir& w) {
        w.write("file_info.txt", run_info(kImagesize, 1, 0, {na}));
        w.write(na, tf::frame(0, tf::pattern(3)));
        std::vector<int> lacked;
        for (int pn = 1; pn < 20000; ++pn)
            lacked.push_back(pn);
        log = head_log(kImagesize, 1, 0) + pass_log(0, na, 0, 0, 12, 445, 20000) + report(lacked) +
              kFinished;
        Image im(kImagesize + 1024);
        im.place(0, 12734LL * 256, tf::pattern(3));
        image = im.bytes;
    }
};

// Standard output that fails: the run still writes its image, then says so and fails. A big
// log fails on a write; the bundled example's log fits the console buffer and fails only when
// it is flushed.
struct BrokenLogCase {
    const char* name;
    const char* script;
    const char* reason;
    bool bundled_example = false; // else the big-log run
};

void PrintTo(const BrokenLogCase& c, std::ostream* os) {
    *os << c.name;
}

class BrokenLog : public ::testing::TestWithParam<BrokenLogCase> {};

TEST_P(BrokenLog, TheImageIsWrittenAndTheRunFails) {
    Workdir w;
    std::string image;
    if (GetParam().bundled_example) {
        w.copy_fixture("../../examples/basic");
        image = e2e::read_file(IMGREBUILD_TEST_DATA "/basic.expected_output.bin");
    } else {
        image = BigLogRun(w).image;
    }
    const RunResult r = w.run_script(GetParam().script);
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.err,
              std::string("imgrebuild: the log could not be written: ") + GetParam().reason + "\n");
    ASSERT_TRUE(r.has_output);
    EXPECT_TRUE(r.output == image) << "output.bin is not the rebuilt image";
}

INSTANTIATE_TEST_SUITE_P(
    Logs, BrokenLog,
    ::testing::Values(
        // A pager quit early: the reader of the log is gone long before the log ends.
        BrokenLogCase{"pipe closed early",
                      "\"$TOOL\" </dev/null 2>.stderr | head -n 3 >/dev/null\n"
                      "echo ${PIPESTATUS[0]} >.status\n",
                      "Broken pipe"},
        BrokenLogCase{"full disk", "\"$TOOL\" </dev/null >/dev/full 2>.stderr; echo $? >.status\n",
                      "No space left on device"},
        BrokenLogCase{"full disk, small log",
                      "\"$TOOL\" </dev/null >/dev/full 2>.stderr; echo $? >.status\n",
                      "No space left on device", true}));

// Reads from `fd` into `got` until it holds `want` or the deadline passes.
bool read_until(int fd, std::string& got, const std::string& want, std::chrono::seconds deadline) {
    const auto end = std::chrono::steady_clock::now() + deadline;
    char buf[4096];
    while (got.find(want) == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            continue;
        const ssize_t n = ::read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        got.append(buf, static_cast<size_t>(n));
    }
    return true;
}

// A capture that is a pipe whose writer has not started: the operator already sees the file
// the tool is waiting on.
TEST(LogFlush, TheFileWaitedOnIsShownBeforeItsFramesCome) {
    Workdir w;
    const std::string na = "live_0_0_0_6.txt";
    w.write("file_info.txt", run_info(2000, 1, 0, {na}));
    const std::string fifo = w.path() + "/" + na;
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int in_fd = ::open("/dev/null", O_RDONLY);
    int from_child[2];
    ASSERT_EQ(::pipe(from_child), 0);
    const int pid = w.start(in_fd, from_child[1]);
    ::close(from_child[1]);
    ::close(in_fd);

    const std::string waiting = head_log(2000, 1, 0) + pass_log(0, na, 0, 0, 0, 6, 11);
    std::string got;
    EXPECT_TRUE(read_until(from_child[0], got, waiting, std::chrono::seconds(20)))
        << "seen so far: " << got;
    EXPECT_EQ(got, waiting);

    const int writer = ::open(fifo.c_str(), O_WRONLY);
    ASSERT_GE(writer, 0);
    const std::string frames = frames_except(11, {2});
    ASSERT_EQ(::write(writer, frames.data(), frames.size()), static_cast<ssize_t>(frames.size()));
    ::close(writer);
    const std::string all = waiting + report({2}) + kFinished;
    EXPECT_TRUE(read_until(from_child[0], got, all, std::chrono::seconds(20)));
    EXPECT_EQ(got, all);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(from_child[0]);
}

// output.bin a pipe whose reader has not started: the log's head is out before the open of
// output.bin blocks, and the blank and the image then go through the pipe.
TEST(LogFlush, TheHeadIsShownBeforeOutputBinIsOpened) {
    Workdir w;
    w.write("file_info.txt", run_info(0, 0, 0, {}));
    const std::string fifo = w.path() + "/output.bin";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    int in_fd = ::open("/dev/null", O_RDONLY);
    int from_child[2];
    ASSERT_EQ(::pipe(from_child), 0);
    const int pid = w.start(in_fd, from_child[1]);
    ::close(from_child[1]);
    ::close(in_fd);

    std::string got;
    EXPECT_TRUE(read_until(from_child[0], got, head_log(0, 0, 0), std::chrono::seconds(20)))
        << "seen so far: " << got;
    EXPECT_EQ(got, head_log(0, 0, 0));
    // The blank and the image, 1024 bytes of 0xFF each, through one or two opens of the pipe.
    std::string bytes;
    for (int open = 0; open < 2 && bytes.size() < 2048; ++open) {
        const int reader = ::open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(reader, 0);
        char buf[4096];
        for (ssize_t n; (n = ::read(reader, buf, sizeof buf)) > 0;)
            bytes.append(buf, static_cast<size_t>(n));
        ::close(reader);
    }
    EXPECT_TRUE(bytes == std::string(2048, '\xFF')) << bytes.size() << " bytes";
    EXPECT_TRUE(
        read_until(from_child[0], got, head_log(0, 0, 0) + kFinished, std::chrono::seconds(20)));
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ::close(from_child[0]);
}

// A message that ends exactly where the console's 64 KiB buffer ends, and the message after
// it, both arrive whole. The buffer starts empty when a capture is opened (the log is flushed
// then), so the lines after the open are chosen to fill it to the byte.
TEST(LogFlush, AMessageEndingAtTheBufferEndArrivesWhole) {
    constexpr size_t kBuffer = 65536;
    const auto invalid = [](int line) { return fmt("line %lld is not a valid frame.\r\n", line); };
    std::vector<int> lacked;
    for (int pn = 0; pn < 20000; ++pn)
        lacked.push_back(pn);
    const std::string full_report = report(lacked);
    // Find a count of refused lines after which a report line ends at the buffer's end.
    int refused = -1;
    for (int k = 0; k < 60 && refused < 0; ++k) {
        size_t len = 0;
        for (int line = 1; line <= k; ++line)
            len += invalid(line).size();
        for (size_t at = full_report.find('\n'); at != std::string::npos && len + at < kBuffer;
             at = full_report.find('\n', at + 1)) {
            if (len + at + 1 == kBuffer)
                refused = k;
        }
    }
    ASSERT_GE(refused, 0);

    Workdir w;
    const std::string na = "p_0_0_12_445.txt";
    w.write("file_info.txt", run_info(1000, 1, 0, {na}));
    std::string capture, log_lines;
    for (int line = 1; line <= refused; ++line) {
        capture += "x\n";
        log_lines += invalid(line);
    }
    w.write(na, capture);
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == head_log(1000, 1, 0) + pass_log(0, na, 0, 0, 12, 445, 20000) + log_lines +
                             full_report + kFinished)
        << "the log differs from the expected one (" << r.out.size() << " bytes)";
}

} // namespace
