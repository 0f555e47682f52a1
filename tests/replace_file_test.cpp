// Replacing an output file, as every program does: a failure keeps the old file and says why,
// no temporary file stays, a link is never followed where none was set up, and a kill never
// leaves a torn image.
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

#include <chrono>
#include <signal.h>
#include <thread>

#include "expected.hpp"
#include "frames.hpp"
#include "small_run.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::kFramesim;
using e2e::kImgcover;
using e2e::Ran;
using e2e::read_file;
using e2e::sh;
using e2e::Workdir;
namespace tf = testframes;
using e2e::kLate;
using e2e::RunResult;
using e2e::SmallRun;
using e2e::snapshot;
using namespace expected;

namespace {

// An error names the file the user gave, with the reason.
TEST(Replace, AnErrorNamesTheFileGivenAndWhy) {
    Workdir w;
    const SmallRun small(w);
    const Ran r = sh(w.path(), kImgcover + " run --plan /nonexistent/plan.txt");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err,
              kLate + "imgcover: cannot create /nonexistent/plan.txt: No such file or directory\n");
}

// A link left where a temporary file could be is never written through: the output becomes a
// file of its own and the link's target stays as it was.
TEST(Replace, AStaleLinkIsNeverFollowed) {
    Workdir w, decoy;
    const SmallRun small(w);
    decoy.write("target", "decoy");
    for (const char* stale : {".plan2.txt.tmp", "plan2.txt.tmp"})
        fs::create_symlink(decoy.path() + "/target", w.path() + "/" + stale);
    const Ran r = sh(w.path(), kImgcover + " run --plan plan2.txt");
    EXPECT_EQ(r.status, 1) << r.err;
    EXPECT_EQ(read_file(decoy.path() + "/target"), "decoy");
    EXPECT_TRUE(fs::is_regular_file(fs::symlink_status(w.path() + "/plan2.txt")));
    EXPECT_NE(read_file(w.path() + "/plan2.txt"), "");
}

// Writers of one output at once all succeed; the output is then whole, and no temporary file
// stays.
TEST(Replace, ConcurrentWritersAllSucceed) {
    Workdir w;
    ASSERT_EQ(
        sh(w.path(), kFramesim + " --out run --image-size 2000000 --pages-per-file 2000").status,
        0);
    ASSERT_EQ(sh(w.path(), kImgcover + " run --rebuilt one.bin").status, 1);
    std::string script = "s=0; for k in 1 2 3 4 5 6 7 8; do " + kImgcover +
                         " run --rebuilt same.bin --json same.json & done; for k in 1 2 3 4 5 6 "
                         "7 8; do wait -n; [ $? = 1 ] || s=1; done; exit $s";
    const Ran r = sh(w.path(), "bash -c \"" + script + "\"");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(read_file(w.path() + "/same.bin") == read_file(w.path() + "/one.bin"));
    EXPECT_EQ(snapshot(w.path()).find(".tmp"), std::string::npos);
}

// A full disk: the output keeps its old content, the message names it with the reason, and no
// temporary file stays.
TEST(Replace, AFullDiskKeepsTheOldOutput) {
    Workdir w;
    const SmallRun small(w);
    const std::string disk = w.path() + "/disk";
    fs::create_directory(disk);
    if (::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount a small filesystem here (needs root)";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount(path.c_str()); }
    } unmount{disk};
    e2e::write_file(disk + "/out.bin", "old");
    sh(w.path(), "head -c 100000 /dev/zero >disk/filler"); // fails when the disk is full
    const Ran r = sh(w.path(), kImgcover + " run --rebuilt disk/out.bin");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.err, kLate + "imgcover: cannot write disk/out.bin: No space left on device\n");
    EXPECT_TRUE(read_file(disk + "/out.bin") == "old");
    EXPECT_EQ(snapshot(disk).find(".tmp"), std::string::npos) << snapshot(disk);
}

// An output whose replacement must fail, for every output of every program: a folder in the
// way, a device (/dev/full, where the program takes a path to it: as root a rename would
// replace it by a file), a full disk. The failure is the program's status with a message
// naming the file and why; the program says nothing of a success; the folder and the device
// stay as they were and no temporary file is left anywhere in the folders.
TEST(Replace, EveryOutputThatCannotBeReplacedFailsWithItsReason) {
    Workdir w;
    const SmallRun small(w);
    const bool full_device = fs::is_character_file("/dev/full");
    const std::string disk = w.path() + "/disk";
    fs::create_directory(disk);
    const bool mounted = ::mount("tmpfs", disk.c_str(), "tmpfs", 0, "size=64k") == 0;
    struct Unmount {
        std::string path;
        bool mounted;
        ~Unmount() {
            if (mounted)
                ::umount(path.c_str());
        }
    } unmount{disk, mounted};
    if (mounted)
        sh(w.path(), "head -c 100000 /dev/zero >disk/filler"); // fails when the disk is full
    fs::create_directory(w.path() + "/adir");
    e2e::write_file(w.path() + "/plan.txt", "5 0 5 3 re_5_0_5_3.txt\n");
    struct Case {
        std::string command{}; // run in the folder that holds run/, adir/, disk/ and plan.txt
        int status = 0;
        std::string err{};    // a line stderr holds
        std::string folder{}; // the folder in the output's place, which must stay empty
        bool needs_device = false, needs_disk = false;
        std::string out{};   // what stdout ends with
        bool silent = false; // stdout stays empty
    };
    std::vector<Case> cases;
    const std::string not_file = ": not a regular file\n";
    for (const char* option :
         {"--json", "--plan", "--next-info", "--map", "--width 64 --picture", "--rebuilt"}) {
        const std::string cover = kImgcover + " run " + option + " ";
        cases.push_back({.command = cover + "adir",
                         .status = 2,
                         .err = "imgcover: cannot replace adir: Is a directory\n",
                         .folder = "adir"});
        cases.push_back({.command = cover + "/dev/full",
                         .status = 2,
                         .err = "imgcover: cannot replace /dev/full" + not_file,
                         .needs_device = true});
        cases.push_back({.command = cover + "disk/out",
                         .status = 2,
                         .err = "imgcover: cannot write disk/out: No space left on device\n",
                         .needs_disk = true});
    }
    const std::string sim = kFramesim + " --image-size 3000 --pages-per-file 4 ";
    const std::string through = " is not a regular file; framesim writes no file through it\n";
    // framesim refuses a folder or a device as the image's file before it sends anything, and
    // a folder under a name of the run before it writes that file.
    cases.push_back({.command = sim + "--out new1 --save-image adir",
                     .status = 2,
                     .err = "framesim: adir" + through,
                     .folder = "adir",
                     .silent = true});
    cases.push_back({.command = sim + "--out new2 --save-image /dev/full",
                     .status = 2,
                     .err = "framesim: /dev/full" + through,
                     .needs_device = true,
                     .silent = true});
    cases.push_back({.command = sim + "--out new3 --save-image disk/saved.bin",
                     .status = 1,
                     .err = "framesim: cannot write disk/saved.bin: No space left on device\n",
                     .needs_disk = true,
                     .silent = true});
    cases.push_back({.command = "mkdir -p new4/pass1_5_0_5_3.txt && " + sim + "--out new4",
                     .status = 1,
                     .err = "framesim: cannot create new4/pass1_5_0_5_3.txt: File exists\n",
                     .folder = "new4/pass1_5_0_5_3.txt",
                     .silent = true});
    cases.push_back({.command = sim + "--out disk/run",
                     .status = 1,
                     .err = "framesim: cannot write disk/run/pass1_5_0_5_3.txt: No space left on "
                            "device\n",
                     .needs_disk = true,
                     .silent = true});
    cases.push_back({.command = "mkdir -p new5/file_info.txt && " + sim + "--out new5 --force",
                     .status = 2,
                     .err = "framesim: new5/file_info.txt" + through,
                     .folder = "new5/file_info.txt",
                     .silent = true});
    cases.push_back({.command = "cp -r run resend && rm resend/dropped.txt && mkdir "
                                "resend/dropped.txt && " +
                                kFramesim + " --out resend --ranges plan.txt",
                     .status = 2,
                     .err = "framesim: resend/dropped.txt" + through,
                     .folder = "resend/dropped.txt",
                     .silent = true});
    // imgrebuild says it in its log, and fails (-1).
    cases.push_back(
        {.command = "mkdir -p rb1/output.bin && cp run/* rb1/ && cd rb1 && " + e2e::kImgrebuild,
         .status = 255,
         .err = "",
         .folder = "rb1/output.bin",
         .out = "write file open error.\r\n"});
    cases.push_back({.command = "mkdir rb2 && cp run/* rb2/ && ln -s /dev/full rb2/output.bin && "
                                "cd rb2 && " +
                                e2e::kImgrebuild,
                     .status = 255,
                     .err = "",
                     .needs_device = true,
                     .out = "write file write error.\r\n"});
    // The names of temporary files anywhere under `dir`.
    const auto temporaries = [](const std::string& dir) {
        std::string found;
        std::error_code ec;
        for (const fs::directory_entry& e : fs::recursive_directory_iterator(dir, ec)) {
            if (e.path().filename().string().find(".tmp") != std::string::npos)
                found += e.path().string() + "\n";
        }
        return found;
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command);
        if ((c.needs_device && !full_device) || (c.needs_disk && !mounted))
            continue;
        const Ran r = sh(w.path(), c.command);
        EXPECT_EQ(r.status, c.status) << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.ends_with(c.out)) << r.out;
        EXPECT_TRUE(!c.silent || r.out.empty()) << r.out;
        if (!c.folder.empty()) {
            EXPECT_TRUE(fs::is_directory(fs::symlink_status(w.path() + "/" + c.folder)));
            EXPECT_TRUE(fs::is_empty(w.path() + "/" + c.folder));
        }
        EXPECT_TRUE(!full_device || fs::is_character_file("/dev/full"));
        EXPECT_EQ(temporaries(w.path()), "");
    }
}

// The names in a folder, sorted, one a line.
std::string names_in(const std::string& dir) {
    std::vector<std::string> names;
    for (const fs::directory_entry& e : fs::directory_iterator(dir))
        names.push_back(e.path().filename().string());
    std::sort(names.begin(), names.end());
    std::string s;
    for (const std::string& n : names)
        s += n + "\n";
    return s;
}

// The directory is a filesystem of 1 MiB: the blank output.bin of 587 KiB fits, a second copy
// beside it does not. The blank must stay, with no temporary file left.
TEST(FinalWrite, AFullDiskLeavesTheBlankOutput) {
    Workdir w;
    if (::mount("tmpfs", w.path().c_str(), "tmpfs", 0, "size=1m") != 0)
        GTEST_SKIP() << "cannot mount a small filesystem here (needs root)";
    struct Unmount {
        std::string path;
        ~Unmount() { ::umount(path.c_str()); }
    } unmount{w.path()};
    const std::string na = "a_0_0_0_6.txt";
    w.write("file_info.txt", run_info(600000, 1, 0, {na}));
    w.write(na, frames_except(11, {}));
    const RunResult r = w.run();
    EXPECT_EQ(r.status, kFailed);
    EXPECT_EQ(r.out, head_log(600000, 1, 0) + pass_log(0, na, 0, 0, 0, 6, 11) + report({}) +
                         "write file write error.\r\n");
    EXPECT_TRUE(r.output == std::string(601024, '\xFF')) << "output.bin is not the blank image";
    EXPECT_EQ(names_in(w.path()), ".stderr\n.stdout\na_0_0_0_6.txt\nfile_info.txt\noutput.bin\n");
}

// The run of the basic kind: 11 slots of one range, all received.
struct BasicRun {
    const std::string na = "a_0_0_0_6.txt";
    std::string image;
    explicit BasicRun(const Workdir& w) {
        w.write("file_info.txt", run_info(2000, 1, 0, {na}));
        w.write(na, frames_except(11, {}));
        Image im(3024);
        for (int pn = 0; pn < 11; ++pn)
            im.place(163LL * pn, 7 * 256, tf::pattern(pn));
        image = im.bytes;
    }
};

// The image goes to a temporary file of its own: a link planted under a name a temporary file
// might have is never written through, and no temporary file of the run stays.
TEST(FinalWrite, AReplacedOutputKeepsItsPermissionsAndNoTemporaryFileStays) {
    Workdir w, elsewhere;
    const BasicRun run(w);
    w.write("output.bin", "old");
    elsewhere.write("decoy", "decoy");
    fs::create_symlink(elsewhere.path() + "/decoy", w.path() + "/output.bin.tmp");
    ASSERT_EQ(::chmod((w.path() + "/output.bin").c_str(), 0604), 0);
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(r.output == run.image);
    struct stat st {};
    ASSERT_EQ(::lstat((w.path() + "/output.bin").c_str(), &st), 0);
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(st.st_mode & 07777, 0604u);
    EXPECT_EQ(names_in(w.path()),
              ".stderr\n.stdout\na_0_0_0_6.txt\nfile_info.txt\noutput.bin\noutput.bin.tmp\n");
    EXPECT_EQ(e2e::read_file(elsewhere.path() + "/decoy"), "decoy");
}

TEST(FinalWrite, ALinkedOutputIsWrittenThrough) {
    Workdir w, elsewhere;
    const BasicRun run(w);
    const std::string target = elsewhere.path() + "/image.bin";
    elsewhere.write("image.bin", "");
    fs::create_symlink(target, w.path() + "/output.bin");
    const RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(fs::is_symlink(w.path() + "/output.bin"));
    EXPECT_TRUE(e2e::read_file(target) == run.image);
}

// SIGKILL at moments spread over the largest run, half of them over its last fifth, where the
// image is written: output.bin is then the blank image (or the blank being written, all 0xFF),
// or the whole rebuilt image, never a part of it.
TEST(FinalWrite, AKillNeverLeavesATornImage) {
    Workdir w;
    const std::string sim =
        std::string("'" FRAMESIM_EXE "' --max --out '") + w.path() + "' >/dev/null";
    ASSERT_EQ(std::system(sim.c_str()), 0);
    const std::string out = w.path() + "/output.bin";
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(w.run().status, 0);
    const auto took = std::chrono::steady_clock::now() - started;
    const std::string whole = e2e::read_file(out);
    ASSERT_EQ(whole.size(), 23998976u + 1024u);

    int blank = 0, complete = 0;
    for (int k = 0; k < 20; ++k) {
        fs::remove(out);
        const int in_fd = ::open("/dev/null", O_RDONLY);
        const int out_fd = ::open("/dev/null", O_WRONLY);
        const double at = k < 10 ? (k + 0.5) / 10 : 0.8 + 0.2 * (k - 9.5) / 10;
        const auto moment = std::chrono::duration_cast<std::chrono::microseconds>(took * at);
        const int pid = w.start(in_fd, out_fd);
        ::close(in_fd);
        ::close(out_fd);
        std::this_thread::sleep_for(moment); // not a wait for a state: the kill's moment
        ::kill(pid, SIGKILL);
        int status = 0;
        ::waitpid(pid, &status, 0);
        const std::string got = e2e::read_file(out);
        if (got == whole) {
            ++complete;
            continue;
        }
        EXPECT_TRUE(got.size() <= whole.size() &&
                    got.find_first_not_of('\xFF') == std::string::npos)
            << "killed after " << std::chrono::duration<double>(moment).count()
            << " s: output.bin of " << got.size() << " bytes is neither blank nor whole";
        ++blank;
    }
    std::printf("20 kills: %d left the blank image, %d the whole one\n", blank, complete);
}

} // namespace
