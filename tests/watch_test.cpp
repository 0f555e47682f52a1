// imgcover --watch: a run that grows while it is watched ends in the same state as a one-shot
// analysis of the finished directory; and on a real terminal (tmux) the view draws, rises,
// and gives the terminal back. Everything timed polls for the state it expects, with a
// deadline.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "analysis.hpp"
#include "expected.hpp"
#include "png_check.hpp"
#include "sim.hpp"
#include "view.hpp"
#include "watch.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::Workdir;
using Clock = std::chrono::steady_clock;

namespace {

// Polls `ready` every 20 ms until it holds or `seconds` pass.
bool eventually(const std::function<bool()>& ready, double seconds = 30) {
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(seconds));
    while (!ready()) {
        if (Clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

std::string shell_output(const std::string& cmd) {
    std::string out;
    std::FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr)
        return out;
    char buf[4096];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;)
        out.append(buf, n);
    ::pclose(p);
    return out;
}

// imgcover's one-shot JSON of `dir`.
std::string one_shot_json(const std::string& dir) {
    return shell_output("cd '" + dir + "' && '" IMGCOVER_EXE "' --json - 2>/dev/null");
}

// A watch running as a child process, its output in files.
class Watcher {
  public:
    Watcher(const std::string& dir, const std::string& args, const std::string& interval = "0.1")
        : dir_(dir) {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string cmd = "exec '" IMGCOVER_EXE "' --watch --interval " + interval + " " +
                                    args + " '" + dir + "' </dev/null >'" + dir +
                                    "/../watch.out' 2>'" + dir + "/../watch.err'";
            ::execl("/bin/sh", "sh", "-c", cmd.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
    }
    ~Watcher() {
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    // Sends `sig` and waits for the watch to end; its exit status, or -1.
    int stop(int sig) {
        ::kill(pid_, sig);
        return wait();
    }
    int wait() {
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    bool ended() {
        int status = 0;
        if (::waitpid(pid_, &status, WNOHANG) != pid_)
            return false;
        pid_ = -1;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        return true;
    }
    int code() const { return code_; }
    pid_t pid() const { return pid_; }
    std::string out() const { return e2e::read_file(dir_ + "/../watch.out"); }

  private:
    std::string dir_;
    pid_t pid_ = -1;
    int code_ = -1;
};

// Lines of a file, each with its line end.
std::vector<std::string> lines_with_ends(const std::string& text) {
    std::vector<std::string> lines;
    for (size_t from = 0; from < text.size();) {
        const size_t lf = text.find('\n', from);
        const size_t to = lf == std::string::npos ? text.size() : lf + 1;
        lines.push_back(text.substr(from, to - from));
        from = to;
    }
    return lines;
}

// Appends `bytes` to a file, creating it.
void append(const std::string& path, const std::string& bytes) {
    std::FILE* f = std::fopen(path.c_str(), "ab");
    ASSERT_NE(f, nullptr);
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

// A whole run of 5,000 bytes with no loss, written to BASE/staged, whose pieces a test
// copies into the watched folder when it wants them to arrive.
struct Staged {
    framesim::Options o;
    framesim::Run run;

    explicit Staged(const std::string& base) {
        o.out = base + "/staged";
        o.image_size = 5000;
        o.loss = 0;
        std::string error;
        EXPECT_TRUE(framesim::simulate(o, framesim::generated_image(o.image_size, 1), run, error))
            << error;
    }
    // Copies the staged file `name` into `dir`.
    void deliver(const std::string& dir, const std::string& name) const {
        e2e::write_file(dir + "/" + name, e2e::read_file(o.out + "/" + name));
    }
    void deliver_captures(const std::string& dir) const {
        for (const framesim::Capture& c : run.captures)
            deliver(dir, c.name);
    }
};

class Growing : public ::testing::TestWithParam<uint64_t> {};

// The writer: file_info.txt without its last name line; every capture but the last written in
// bursts that cut lines in two, with pauses longer than a tick between; one capture first
// written with frames it must not keep, then replaced by its true, shorter self; then the last
// name line, and only then the last capture.
TEST_P(Growing, TheWatchEndsAsAOneShotAnalysis) {
    const uint64_t seed = GetParam();
    Workdir base;
    const std::string staged = base.path() + "/staged", dir = base.path() + "/run";
    fs::create_directories(dir);
    framesim::Options o;
    framesim::Random rng(seed);
    o.out = staged;
    o.seed = seed;
    o.image_size = 20000 + static_cast<int32_t>(rng.below(40000));
    o.pages_per_file = 10 + static_cast<int32_t>(rng.below(40));
    o.loss = 0.05;
    o.passes = 2;
    o.noise = rng.chance(0.5) ? 0.05 : 0;
    o.crlf = rng.chance(0.3);
    o.varied = rng.chance(0.3);
    framesim::Run run;
    std::string error;
    ASSERT_TRUE(framesim::simulate(o, framesim::generated_image(o.image_size, seed), run, error));
    ASSERT_GE(run.captures.size(), 3u);

    const std::vector<std::string> info =
        lines_with_ends(e2e::read_file(staged + "/file_info.txt"));
    std::string partial;
    for (size_t k = 0; k + 1 < info.size(); ++k)
        partial += info[k];
    e2e::write_file(dir + "/file_info.txt", partial);

    Watcher watch(dir, "--json '" + base.path() + "/watch.json' --picture '" + base.path() +
                           "/watch.png' --width 64");
    const size_t replaced = 1 + rng.below(static_cast<uint32_t>(run.captures.size() - 2));
    for (size_t i = 0; i + 1 < run.captures.size(); ++i) {
        const std::string name = run.captures[i].name;
        const std::string text = e2e::read_file(staged + "/" + name);
        if (i == replaced) {
            // A wrong, longer version: every slot received, from a capture of another seed.
            framesim::Options wrong = o;
            wrong.out = base.path() + "/wrong";
            wrong.loss = 0;
            wrong.seed = seed + 1000;
            framesim::Run other;
            ASSERT_TRUE(framesim::simulate(
                wrong, framesim::generated_image(o.image_size, seed + 1000), other, error));
            const std::string junk = e2e::read_file(wrong.out + "/" + name) + text;
            e2e::write_file(dir + "/" + name + ".new", junk);
            fs::rename(dir + "/" + name + ".new", dir + "/" + name);
            std::this_thread::sleep_for(std::chrono::milliseconds(250)); // ticks see it
            e2e::write_file(dir + "/" + name + ".new", text);
            fs::rename(dir + "/" + name + ".new", dir + "/" + name);
            continue;
        }
        for (size_t from = 0; from < text.size();) {
            const size_t n = std::min(text.size() - from, size_t{500} + rng.below(3000));
            append(dir + "/" + name, text.substr(from, n));
            from += n;
            if (rng.chance(0.2)) // a pause between two writes, sometimes within a line
                std::this_thread::sleep_for(std::chrono::milliseconds(150));
        }
    }
    e2e::write_file(dir + "/file_info.txt", partial + info.back());
    std::this_thread::sleep_for(std::chrono::milliseconds(250)); // listed, not there yet
    const std::string last = run.captures.back().name;
    e2e::write_file(dir + "/" + last, e2e::read_file(staged + "/" + last));

    const std::string want = one_shot_json(dir);
    ASSERT_FALSE(want.empty());
    const std::string json_path = base.path() + "/watch.json";
    EXPECT_TRUE(eventually([&] { return e2e::read_file(json_path) == want; }))
        << "the watch's JSON did not come to the one-shot analysis";
    // The picture, written on the outputs' own thread, comes to the one-shot picture too.
    shell_output("cd '" + dir + "' && '" IMGCOVER_EXE "' --picture '" + base.path() +
                 "/one.png' --width 64 >/dev/null 2>&1");
    const std::string picture = e2e::read_file(base.path() + "/one.png");
    ASSERT_EQ(png_check::read(picture).error, "");
    EXPECT_TRUE(eventually([&] { return e2e::read_file(base.path() + "/watch.png") == picture; }))
        << "the watch's picture did not come to the one-shot picture";
    const bool complete = want.find("\"complete\": true") != std::string::npos;
    EXPECT_EQ(watch.stop(SIGINT), complete ? 0 : 1);
    // The final report is the one-shot report of the same state.
    const std::string report =
        shell_output("cd '" + dir + "' && '" IMGCOVER_EXE "' '" + dir + "' 2>/dev/null");
    const std::string out = watch.out();
    ASSERT_GE(out.size(), report.size());
    EXPECT_EQ(out.substr(out.size() - report.size()), report);
}

INSTANTIATE_TEST_SUITE_P(Seeds, Growing, ::testing::Range<uint64_t>(1, 7));

// Not a terminal: a plain line per look that changed something, none while nothing changes;
// --until-complete ends the watch by itself once the image is whole.
TEST(PlainWatch, LinesOnChangeAndAnEndWhenComplete) {
    Workdir base;
    const std::string dir = base.path() + "/run";
    fs::create_directories(dir);
    Watcher watch(dir, "--until-complete");
    // Until file_info.txt exists the watch waits and says why.
    EXPECT_TRUE(
        eventually([&] { return watch.out().find("waiting: cannot open") != std::string::npos; }));
    const Staged staged(base.path());
    staged.deliver(dir, "file_info.txt");
    EXPECT_TRUE(eventually([&] { return watch.out().find("covered 0.00%") != std::string::npos; }));
    const size_t quiet_lines = lines_with_ends(watch.out()).size();
    // Five looks with nothing new print nothing.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    EXPECT_EQ(lines_with_ends(watch.out()).size(), quiet_lines);
    staged.deliver_captures(dir);
    EXPECT_TRUE(eventually([&] { return watch.ended(); })) << "--until-complete did not end it";
    EXPECT_EQ(watch.code(), 0);
    EXPECT_NE(watch.out().find("covered 100.00%"), std::string::npos);
    EXPECT_NE(watch.out().find("complete: every byte was received"), std::string::npos);
}

// --- The loop with a view of the test's own ----------------------------------------------

// A view that records what the loop shows and answers its waits from a script.
class FakeView : public imgcover::View {
  public:
    struct Shown {
        bool news;
        bool complete;
        std::string frames;
    };
    std::vector<Shown> shown;
    std::function<imgcover::Command(int)> answer; // what the n-th wait returns
    int waits = 0;

    void show(const imgcover::Analysis& a, const imgcover::Header& h, bool news) override {
        shown.push_back({news, a.complete(), h.frames});
    }
    imgcover::Command wait(double) override { return answer(waits++); }
};

// Captures arrive during the first wait; a resize redraws the same state as no news; a look
// that finds nothing new is shown as no news; the view's quit ends the loop. With
// --until-complete a complete run ends after its first look, without a wait.
TEST(WatchLoop, ShowsEveryLookAndEndsOnTheViewsCommands) {
    Workdir base;
    const std::string dir = base.path() + "/run";
    fs::create_directories(dir);
    const Staged staged(base.path());
    staged.deliver(dir, "file_info.txt");

    FakeView view;
    view.answer = [&](int n) {
        if (n == 0) {
            staged.deliver_captures(dir);
            return imgcover::Command::none;
        }
        return n == 1   ? imgcover::Command::redraw
               : n == 2 ? imgcover::Command::none
                        : imgcover::Command::quit;
    };
    imgcover::Analysis a;
    a.dir = dir;
    std::string error;
    int changed = 0;
    const imgcover::WatchOptions options{0.01, false, 0, "retry"};
    ASSERT_TRUE(imgcover::watch(
        a, options, view, [&](const imgcover::Analysis&) { ++changed; }, error));
    ASSERT_EQ(view.shown.size(), 4u);
    EXPECT_EQ(view.waits, 4);
    EXPECT_TRUE(view.shown[0].news);
    EXPECT_FALSE(view.shown[0].complete);
    EXPECT_EQ(view.shown[0].frames.rfind("frames 0 (", 0), 0u) << view.shown[0].frames;
    EXPECT_TRUE(view.shown[1].news);
    EXPECT_TRUE(view.shown[1].complete);
    EXPECT_EQ(
        view.shown[1].frames.rfind("frames " + std::to_string(imgcover::total_frames(a)) + " (", 0),
        0u)
        << view.shown[1].frames;
    EXPECT_FALSE(view.shown[2].news); // the redraw
    EXPECT_FALSE(view.shown[3].news); // a look that found nothing new
    EXPECT_EQ(changed, 2);

    FakeView until;
    until.answer = [](int) { return imgcover::Command::quit; };
    imgcover::Analysis b;
    b.dir = dir;
    ASSERT_TRUE(imgcover::watch(
        b, {0.01, true, 0, "retry"}, until, [](const imgcover::Analysis&) {}, error));
    ASSERT_EQ(until.shown.size(), 1u);
    EXPECT_TRUE(until.shown[0].complete);
    EXPECT_EQ(until.waits, 0);
}

// A capture rewritten in place, not appended to: the watch reads it again and ends where a
// one-shot analysis of the new file ends. The file keeps its inode; the same-size rewrite
// differs only in its content and its time.
struct RewriteCase {
    const char* name;
    std::string (*rewrite)(const std::string& old); // the new content
    bool truncate;                                  // written through a truncation
};

void PrintTo(const RewriteCase& c, std::ostream* os) {
    *os << c.name;
}

class Rewritten : public ::testing::TestWithParam<RewriteCase> {};

TEST_P(Rewritten, IsReadAgain) {
    const RewriteCase& rc = GetParam();
    Workdir base;
    const std::string dir = base.path() + "/run", json = base.path() + "/watch.json";
    fs::create_directories(dir);
    const std::string na = "a_0_0_0_6.txt", path = dir + "/" + na;
    const std::string old = expected::frames_except(11, {5});
    e2e::write_file(dir + "/file_info.txt", expected::run_info(1792, 1, 0, {na}));
    e2e::write_file(path, old);
    Watcher watch(dir, "--json '" + json + "'");
    const std::string before = one_shot_json(dir);
    ASSERT_TRUE(eventually([&] { return e2e::read_file(json) == before; }));

    const std::string now = rc.rewrite(old);
    const auto time = fs::last_write_time(path);
    std::FILE* f = std::fopen(path.c_str(), rc.truncate ? "wb" : "r+b");
    ASSERT_NE(f, nullptr);
    ASSERT_EQ(std::fwrite(now.data(), 1, now.size(), f), now.size());
    ASSERT_EQ(std::fclose(f), 0);
    fs::last_write_time(path, time + std::chrono::seconds(1));
    const std::string after = one_shot_json(dir);
    ASSERT_NE(after, before);
    EXPECT_TRUE(eventually([&] { return e2e::read_file(json) == after; }))
        << "the watch kept what the file held before";
    EXPECT_EQ(watch.stop(SIGINT), after.find("\"complete\": true") != std::string::npos ? 0 : 1);
}

INSTANTIATE_TEST_SUITE_P(Rewrites, Rewritten,
                         ::testing::Values(RewriteCase{"shorter",
                                                       [](const std::string& old) {
                                                           size_t end = 0;
                                                           for (int k = 0; k < 4; ++k)
                                                               end = old.find('\n', end) + 1;
                                                           return old.substr(0, end);
                                                       },
                                                       true},
                                           RewriteCase{"same size",
                                                       [](const std::string& old) {
                                                           // The fourth line (slot 3) becomes a
                                                           // line of the same length that is no
                                                           // frame.
                                                           size_t from = 0;
                                                           for (int k = 0; k < 3; ++k)
                                                               from = old.find('\n', from) + 1;
                                                           const size_t to = old.find('\n', from);
                                                           return old.substr(0, from) +
                                                                  std::string(to - from, 'Z') +
                                                                  old.substr(to);
                                                       },
                                                       false},
                                           RewriteCase{"longer",
                                                       [](const std::string& old) {
                                                           return old +
                                                                  testframes::frame(
                                                                      5, testframes::pattern(5));
                                                       },
                                                       false}));

// A run that does not change while it is watched: its outputs are written on the first look,
// not only when the watch ends.
TEST(PlainWatch, AFinishedRunIsWrittenAtOnce) {
    Workdir base;
    const std::string dir = base.path() + "/run";
    fs::copy(IMGREBUILD_TEST_DATA "/../../examples/basic", dir);
    const std::string json = base.path() + "/w.json", plan = base.path() + "/w.plan";
    Watcher watch(dir, "--json '" + json + "' --plan '" + plan + "'");
    const std::string want = one_shot_json(dir);
    EXPECT_TRUE(eventually([&] {
        return e2e::read_file(json) == want &&
               e2e::read_file(plan) ==
                   "5 11 5 12 retry_5_11_5_12.txt\n5 129 5 130 retry_5_129_5_130.txt\n";
    })) << "the watch wrote no outputs while it ran";
    EXPECT_EQ(watch.stop(SIGINT), 1);
}

// Ctrl-C ends a watch between two looks far apart at once, with the final report.
TEST(PlainWatch, SigintEndsALongWaitWithTheReport) {
    Workdir base;
    const std::string dir = base.path() + "/run";
    fs::copy(IMGREBUILD_TEST_DATA "/../../examples/basic", dir);
    Watcher watch(dir, "", "30");
    ASSERT_TRUE(eventually([&] { return watch.out().find("covered") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(100)); // into the wait
    ::kill(watch.pid(), SIGINT);
    EXPECT_TRUE(eventually([&] { return watch.ended(); }, 2)) << "still waiting after 2 s";
    EXPECT_EQ(watch.code(), 1);
    const std::string report =
        shell_output("cd '" + dir + "' && '" IMGCOVER_EXE "' '" + dir + "' 2>/dev/null");
    const std::string out = watch.out();
    ASSERT_GE(out.size(), report.size());
    EXPECT_EQ(out.substr(out.size() - report.size()), report);
}

// --- Outputs on their own thread --------------------------------------------------------------

// A writing that takes long never holds up the loop: offer returns while it runs; of the states
// offered meanwhile only the latest is written next; finish waits for the writing in progress.
TEST(BackgroundOutputs, ASlowWritingHoldsNothingUpAndTheLatestStateWins) {
    std::mutex m;
    std::condition_variable cv;
    bool release = false;
    std::vector<int> written; // covered_bytes of each state written
    std::atomic<int> started{0};
    imgcover::BackgroundOutputs outputs([&](const imgcover::Analysis& a) {
        ++started;
        std::unique_lock<std::mutex> lock(m);
        cv.wait(lock, [&] { return release; });
        written.push_back(static_cast<int>(a.covered_bytes));
    });
    imgcover::Analysis a;
    a.covered_bytes = 1;
    outputs.offer(a);
    ASSERT_TRUE(eventually([&] { return started == 1; }));
    for (int k = 2; k <= 4; ++k) { // offered while the first writing waits: none blocks
        a.covered_bytes = k;
        outputs.offer(a);
    }
    {
        const std::lock_guard<std::mutex> lock(m);
        release = true;
    }
    cv.notify_all();
    ASSERT_TRUE(eventually([&] { return started == 2; }));
    EXPECT_TRUE(eventually([&] {
        const std::lock_guard<std::mutex> lock(m);
        return written.size() == 2;
    }));
    outputs.finish();
    EXPECT_EQ(written, (std::vector<int>{1, 4}));
}

// --- A real terminal -----------------------------------------------------------------------

class Tmux {
  public:
    Tmux(int width, int height) {
        // A server of its own (-L): tests side by side, or anyone's tmux, cannot meet it.
        static int made = 0;
        name_ = "imgcover-test-" + std::to_string(::getpid()) + "-" + std::to_string(width) + "-" +
                std::to_string(++made);
        run("new-session -d -s " + name_ + " -x " + std::to_string(width) + " -y " +
            std::to_string(height) + " 'env PS1=READY$ TERM=xterm-256color bash --norc -i'");
    }
    ~Tmux() { kill(); }
    // Ends the server, and with it every pane: their terminals hang up.
    void kill() { run("kill-server"); }
    void keys(const std::string& k) { run("send-keys -t " + name_ + " " + k); }
    std::string screen() { return shell_output(tmux() + "capture-pane -p -t " + name_); }
    std::string show(const std::string& format) {
        return shell_output(tmux() + "display -p -t " + name_ + " '" + format + "'");
    }
    static bool available() { return std::system("tmux -V >/dev/null 2>&1") == 0; }

  private:
    std::string name_;
    // tmux on a server of this test's own, so that tests running at once never meet.
    std::string tmux() const { return "tmux -L " + name_ + " "; }
    void run(const std::string& args) {
        const std::string cmd = tmux() + args + " >/dev/null 2>&1";
        (void)std::system(cmd.c_str());
    }
};

// The covered percentage on the header line, or -1.
double percent_shown(const std::string& screen) {
    const size_t at = screen.find("\ncovered ");
    return at == std::string::npos ? -1 : std::atof(screen.c_str() + at + 9);
}

// The row of the capture marked as being received, or "".
std::string marked_row(const std::vector<std::string>& rows) {
    for (const std::string& r : rows) {
        if (r.rfind(">", 0) == 0)
            return r;
    }
    return "";
}

struct PaneSize {
    int width, height;
};

void PrintTo(const PaneSize& p, std::ostream* os) {
    *os << p.width << "x" << p.height;
}

class Terminal : public ::testing::TestWithParam<PaneSize> {};

// A live pass of 147 captures: the capture being received stays on screen, marked, as the pass
// goes on; Home shows the first captures and End the last, and f follows again; the header keeps
// its percentage and the footer names the keys at every width; Ctrl-C gives the terminal back.
TEST_P(Terminal, FollowsTheCaptureBeingReceivedScrollsAndGivesTheTerminalBack) {
    if (!Tmux::available())
        GTEST_SKIP() << "tmux is not installed";
    const PaneSize size = GetParam();
    Workdir base;
    Tmux t(size.width, size.height);
    t.keys("'cd " + base.path() +
           " && (\"" FRAMESIM_EXE "\" --out live --live 150 "
           "--image-size 300000 --pages-per-file 8 --loss 0.05 >/dev/null &); until [ -e "
           "live/file_info.txt ]; do sleep 0.05; done; "
           "\"" IMGCOVER_EXE "\" --watch --interval 0.2 live' Enter");
    std::string first;
    ASSERT_TRUE(eventually([&] {
        first = t.screen();
        return first.find("imgcover --watch") != std::string::npos && percent_shown(first) > 0 &&
               !marked_row(lines_with_ends(first)).empty();
    })) << t.screen();
    EXPECT_EQ(t.show("#{alternate_on}"), "1\n");
    // Nothing wrapped or garbled: the header on top, every row within the width, each capture
    // row one bar, the footer naming the keys.
    const auto check_layout = [&](const std::string& screen) {
        const std::vector<std::string> rows = lines_with_ends(screen);
        ASSERT_EQ(rows.size(), static_cast<size_t>(size.height)) << screen;
        EXPECT_EQ(rows[0].rfind("imgcover --watch", 0), 0u) << screen;
        EXPECT_EQ(rows[1].rfind("covered ", 0), 0u) << screen;
        EXPECT_NE(rows[1].find('%'), std::string::npos) << screen;
        EXPECT_EQ(rows.back().rfind("q quit  arrows PgUp PgDn Home End", 0), 0u) << screen;
        for (const std::string& r : rows) {
            EXPECT_LE(r.size(), static_cast<size_t>(size.width) + 1) << r;
            if (r.find("pass1_") == 1 && r.find("(not received yet)") == std::string::npos) {
                EXPECT_EQ(std::count(r.begin(), r.end(), '['), 1) << r;
                EXPECT_EQ(std::count(r.begin(), r.end(), ']'), 1) << r;
            }
        }
    };
    check_layout(first);
    // As the pass goes on, the marked capture moves on and stays on screen, past the captures
    // the first screen held (pages 400 on are the 51st capture on). A name too long for the
    // column gives way in its middle: its last page, "_ESC_EP.txt", stays in sight.
    const std::string first_marked = marked_row(lines_with_ends(first));
    std::string later;
    ASSERT_TRUE(eventually([&] {
        later = t.screen();
        const std::string m = marked_row(lines_with_ends(later));
        const size_t txt = m.find(".txt");
        const size_t ep = txt == std::string::npos ? txt : m.rfind('_', txt);
        const size_t esc = ep == std::string::npos || ep == 0 ? ep : m.rfind('_', ep - 1);
        return esc != std::string::npos &&
               (std::atoi(m.c_str() + esc + 1) == 6 || std::atoi(m.c_str() + ep + 1) >= 400);
    })) << "the receiving capture did not stay on screen: "
        << t.screen();
    check_layout(later);
    // Home: the first capture; End: the last, not received yet; f: following again.
    t.keys("Home");
    EXPECT_TRUE(eventually([&] {
        const std::vector<std::string> rows = lines_with_ends(t.screen());
        return rows.size() > 3 && rows[3].find("pass1_5_0_5_7") != std::string::npos;
    })) << t.screen();
    t.keys("End");
    EXPECT_TRUE(eventually([&] {
        const std::string s = t.screen();
        return s.find("6_147.txt ") != std::string::npos && s.find("147/147") != std::string::npos;
    })) << t.screen();
    t.keys("f");
    EXPECT_TRUE(eventually([&] { return !marked_row(lines_with_ends(t.screen())).empty(); }))
        << t.screen();
    // Ctrl-C: the shell is back in the normal screen, with the end of the final report (its
    // plan) above its prompt.
    t.keys("C-c");
    std::string after;
    EXPECT_TRUE(eventually([&] {
        after = t.screen();
        const size_t plan = after.find("  pages (");
        return plan != std::string::npos && after.rfind("READY$") != std::string::npos &&
               after.rfind("READY$") > plan;
    })) << after;
    EXPECT_EQ(t.show("#{alternate_on}"), "0\n");
}

// An unknown or missing TERM on a terminal: plain lines with a warning, not curses' exit.
TEST(Terminal, AnUnknownTermFallsBackToPlainLines) {
    if (!Tmux::available())
        GTEST_SKIP() << "tmux is not installed";
    Workdir base;
    const Staged staged(base.path());
    const std::string dir = base.path() + "/run";
    fs::create_directories(dir);
    staged.deliver(dir, "file_info.txt");
    staged.deliver_captures(dir);
    for (const char* env : {"TERM=bogus", "-u TERM"}) {
        SCOPED_TRACE(env);
        Tmux t(200, 50);
        t.keys(std::string("'env ") + env + " \"" IMGCOVER_EXE "\" --watch --until-complete " +
               dir + "; echo EX\"\"IT=$?' Enter");
        std::string screen;
        EXPECT_TRUE(eventually([&] {
            screen = t.screen();
            return screen.find("EXIT=") != std::string::npos;
        })) << screen;
        EXPECT_NE(screen.find("warning: "), std::string::npos) << screen;
        EXPECT_NE(screen.find("plain lines instead of the full screen"), std::string::npos)
            << screen;
        EXPECT_NE(screen.find("covered 100.00%"), std::string::npos) << screen;
        EXPECT_NE(screen.find("EXIT=0"), std::string::npos) << screen;
        EXPECT_EQ(screen.find("Error opening terminal"), std::string::npos) << screen;
    }
}

// --- What the views show, by value ----------------------------------------------------------

// Four ranges of 11 slots (pages 0-6, 7-13, 14-20, 21-27) and one of 2 slots (page 28), in an
// image of 7,424 bytes; each capture holds its first `slots` slots.
struct FiveCaptures {
    std::string dir;
    static std::string name(int k) {
        return k < 4 ? "c" + std::to_string(k) + "_0_" + std::to_string(7 * k) + "_0_" +
                           std::to_string(7 * k + 6) + ".txt"
                     : "short_0_28_0_28.txt";
    }
    static int first_page(int k) { return 7 * k; }
    explicit FiveCaptures(const std::string& d, int slots) : dir(d) {
        std::vector<std::string> names;
        for (int k = 0; k < 5; ++k)
            names.push_back(name(k));
        e2e::write_file(dir + "/file_info.txt", expected::run_info(7424, 5, 0, names));
        for (int k = 0; k < 5; ++k) {
            std::string frames;
            for (int pn = 0; pn < std::min(slots, k < 4 ? 11 : 2); ++pn)
                frames += expected::image_frame(first_page(k), pn);
            e2e::write_file(dir + "/" + name(k), frames);
        }
    }
    // Appends slot `pn` of capture `k`.
    void grow(int k, int pn) const {
        append(dir + "/" + name(k), expected::image_frame(first_page(k), pn));
    }
    // Covered and missing bytes, as a one-shot analysis counts them, grouped as the views show.
    std::pair<std::string, std::string> covered_missing() const {
        const std::string j = shell_output("\"" IMGCOVER_EXE "\" --json - " + dir);
        const auto number = [&](const std::string& key) {
            const size_t at = j.find("\"" + key + "\": ");
            return at == std::string::npos ? -1 : std::atoll(j.c_str() + at + key.size() + 4);
        };
        const auto grouped = [](long long n) {
            std::string d = std::to_string(n), out;
            for (size_t k = 0; k < d.size(); ++k) {
                if (k > 0 && (d.size() - k) % 3 == 0)
                    out += ',';
                out += d[k];
            }
            return out;
        };
        return {grouped(number("covered_bytes")), grouped(number("missing_bytes"))};
    }
};

// The plain lines say the bytes still missing, not the covered ones; q and Enter on standard
// input end the watch with the report.
TEST(PlainWatch, SaysTheMissingBytesAndEndsOnQ) {
    Workdir base;
    const FiveCaptures run(base.path(), 3);
    const auto figures = run.covered_missing();
    const std::string covered = figures.first, missing = figures.second;
    ASSERT_NE(covered, missing);
    const e2e::Ran quick =
        e2e::sh(base.path(), "printf 'q\\n' | " + e2e::kImgcover + " --watch .", 20);
    EXPECT_EQ(quick.status, 1) << quick.err;
    EXPECT_NE(quick.out.find("% (" + covered + " of 7,424 bytes)  missing " + missing + " bytes"),
              std::string::npos)
        << quick.out;
    EXPECT_NE(quick.out.find("\nrun in .: "), std::string::npos) << quick.out;
}

// On a terminal (80x24 and 60x20): the header's missing bytes are the missing ones; the view
// follows the capture being received, wherever it is listed, not the last one that has frames;
// every bar starts and ends in the same columns, whatever its counts.
TEST_P(Terminal, FollowsTheCaptureThatGrowsAndLinesUpItsBars) {
    if (!Tmux::available())
        GTEST_SKIP() << "tmux is not installed";
    const PaneSize size = GetParam();
    Workdir base;
    const FiveCaptures run(base.path(), 3);
    Tmux t(size.width, size.height);
    t.keys("'\"" IMGCOVER_EXE "\" --watch --interval 0.2 " + base.path() + "' Enter");
    const auto marked_name = [&] {
        const std::string row = marked_row(e2e::lines_of(t.screen()));
        return row.size() > 1 ? row.substr(1, row.find(' ') - 1) : std::string();
    };
    // The first look marks the last capture listed, as every capture was new to it.
    ASSERT_TRUE(eventually([&] { return marked_name() == FiveCaptures::name(4); })) << t.screen();
    // Captures 1, then 0, then 2 grow: each in turn is the one marked, though capture 4 is the
    // last listed with frames.
    for (const int k : {1, 0, 2}) {
        run.grow(k, 3);
        std::string screen;
        EXPECT_TRUE(eventually([&] {
            screen = t.screen();
            return marked_name() == FiveCaptures::name(k);
        })) << "capture "
            << k << " grew: " << screen;
    }
    const auto figures = run.covered_missing();
    const std::string covered = figures.first, missing = figures.second;
    ASSERT_NE(covered, missing);
    std::string screen;
    EXPECT_TRUE(eventually([&] {
        screen = t.screen();
        return screen.find("missing " + missing + "  ") != std::string::npos ||
               screen.find("missing " + missing + "\n") != std::string::npos;
    })) << "missing "
        << missing << ", covered " << covered << ":\n"
        << screen;
    EXPECT_EQ(screen.find("missing " + covered), std::string::npos) << screen;
    // The bars: five rows, '[' and ']' in the same columns on each, the 2-slot capture's too.
    size_t open = std::string::npos, close = std::string::npos, rows = 0;
    for (const std::string& r : e2e::lines_of(screen)) {
        const size_t o = r.find('['), c = r.find(']');
        if (o == std::string::npos || c == std::string::npos)
            continue;
        ++rows;
        if (open == std::string::npos)
            open = o, close = c;
        EXPECT_EQ(o, open) << screen;
        EXPECT_EQ(c, close) << screen;
    }
    EXPECT_EQ(rows, 5u) << screen;
    t.keys("q");
    EXPECT_TRUE(eventually([&] { return t.show("#{alternate_on}") == "0\n"; })) << t.screen();
}

// With an unknown TERM the plain lines say how they end, and q and Enter end them.
TEST(Terminal, PlainLinesEndOnQAndEnter) {
    if (!Tmux::available())
        GTEST_SKIP() << "tmux is not installed";
    Workdir base;
    const FiveCaptures run(base.path(), 3);
    const std::string covered = run.covered_missing().first;
    Tmux t(80, 24);
    t.keys("'env TERM=bogus \"" IMGCOVER_EXE "\" --watch --interval 0.2 " + base.path() +
           "; echo EX\"\"IT=$?' Enter");
    std::string screen;
    ASSERT_TRUE(eventually([&] {
        screen = t.screen();
        return screen.find("% (" + covered + " of 7,424 bytes)") != std::string::npos;
    })) << screen;
    EXPECT_NE(screen.find("q and Enter, or Ctrl-C, end the watch"), std::string::npos) << screen;
    EXPECT_EQ(screen.find("EXIT="), std::string::npos) << screen;
    t.keys("q Enter");
    EXPECT_TRUE(eventually([&] {
        screen = t.screen();
        return screen.find("EXIT=1") != std::string::npos;
    })) << screen;
    EXPECT_NE(screen.find("plan: "), std::string::npos) << screen;
}

// The state of process `pid` as /proc shows it ('R', 'S', 'Z', ...), and the CPU time it has
// used in clock ticks; state 0 when there is no such process.
std::pair<char, long> process_state(int pid) {
    const std::string stat = e2e::read_file("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return {0, 0};
    std::istringstream rest(stat.substr(close + 2));
    char state = 0;
    std::string field;
    rest >> state;
    for (int k = 4; k <= 13; ++k)
        rest >> field;
    long user = 0, system = 0;
    rest >> user >> system;
    return {state, user + system};
}

// The terminal hangs up under a watch that ignores SIGHUP: reading it fails at once from then
// on, and the watch ends (its final report cannot reach the terminal: said on stderr) instead
// of taking every failed read for a key's timeout and spinning.
TEST(Terminal, AHangUpEndsTheWatchEvenWithSighupIgnored) {
    if (!Tmux::available())
        GTEST_SKIP() << "tmux is not installed";
    Workdir base;
    const Staged staged(base.path());
    const std::string dir = base.path() + "/run";
    fs::create_directories(dir);
    staged.deliver(dir, "file_info.txt");
    Tmux t(80, 24);
    // The shell becomes the watch, SIGHUP ignored: $$ is the watch's process id.
    t.keys("'trap \"\" HUP; echo $$ >" + base.path() +
           "/pid; exec \"" IMGCOVER_EXE "\" --watch --interval 0.2 " + dir + " 2>" + base.path() +
           "/err' Enter");
    ASSERT_TRUE(eventually([&] {
        return t.screen().find("imgcover --watch") != std::string::npos;
    })) << t.screen();
    const int pid = std::atoi(e2e::read_file(base.path() + "/pid").c_str());
    ASSERT_GT(pid, 1);
    t.kill();
    const bool ended = eventually(
        [&] {
            const char state = process_state(pid).first;
            return state == 0 || state == 'Z';
        },
        20);
    const auto [state, ticks] = process_state(pid);
    if (!ended)
        ::kill(pid, SIGKILL);
    EXPECT_TRUE(ended) << "still running (state " << state << ") after " << ticks
                       << " ticks of CPU time";
    EXPECT_NE(e2e::read_file(base.path() + "/err").find("imgcover: cannot write standard output"),
              std::string::npos)
        << e2e::read_file(base.path() + "/err");
}

INSTANTIATE_TEST_SUITE_P(Panes, Terminal,
                         ::testing::Values(PaneSize{80, 24}, PaneSize{60, 20}, PaneSize{200, 50}));

} // namespace
