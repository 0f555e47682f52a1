// Whole runs on framesim's largest input, written tidily and the untidy way: imgrebuild, the
// plain fgets/strtok/strtol build, the input/output floor that every build must do, and
// imgcover on the same directory, alternated run by run. Checks that both rebuilds print the
// same log and write the same output.bin, then prints the medians, the ratios the speed
// targets are stated in, the peak memory, and whether each target holds. Last, imgcover on a
// run whose description lists one absent capture 200,000 times beside a plan of thousands of
// requests.
//
// usage: wholerun_bench IMGREBUILD PLAIN IOFLOOR IMGCOVER FRAMESIM WORKDIR [RUNS]
// Each input is made in WORKDIR/tidy, WORKDIR/varied and WORKDIR/listings unless its
// file_info.txt exists.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "capture/frame_lanes.hpp"

namespace fs = std::filesystem;

namespace {

struct Timing {
    double seconds;
    long peak_kib;
};

// Runs `exe` (with `arg` when not empty) in `dir`, standard input from /dev/null, standard
// output to `log`. Exit statuses above `worst` end the benchmark.
Timing run(const std::string& exe, const std::vector<std::string>& args, const fs::path& dir,
           const fs::path& log, int worst = 0) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        std::vector<char*> argv{const_cast<char*>(exe.c_str())};
        for (const std::string& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        if (::chdir(dir.c_str()) == 0)
            ::execv(exe.c_str(), argv.data());
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) > worst) {
        std::fprintf(stderr, "%s failed in %s\n", exe.c_str(), dir.c_str());
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

// True when the two files hold the same bytes. Read in pieces: the benchmark itself stays
// small, since a child's peak memory counts what its parent held when it was started.
bool same_files(const fs::path& a, const fs::path& b) {
    std::ifstream x(a, std::ios::binary), y(b, std::ios::binary);
    static char p[1 << 16], q[1 << 16];
    while (x && y) {
        x.read(p, sizeof p);
        y.read(q, sizeof q);
        if (x.gcount() != y.gcount() || std::memcmp(p, q, static_cast<size_t>(x.gcount())) != 0)
            return false;
    }
    return x.eof() && y.eof();
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

struct Programs {
    std::string tool, plain, floor, cover, framesim;
};

const char* verdict(bool holds) {
    return holds ? "holds" : "MISSED";
}

// Times one input; returns false when a target is missed.
bool measure(const Programs& p, const fs::path& dir, const char* style, int runs) {
    if (!fs::exists(dir / "file_info.txt")) {
        std::printf("making the run: framesim --max --style %s --out %s\n", style, dir.c_str());
        const std::string cmd = "'" + p.framesim + "' --max --style " + style + " --out '" +
                                dir.string() + "' >/dev/null";
        if (std::system(cmd.c_str()) != 0)
            std::exit(1);
    }
    double text_bytes = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        if (e.path().filename().string().rfind("pass", 0) == 0)
            text_bytes += static_cast<double>(e.file_size());
    }
    std::vector<double> ours, theirs, io, cover, picture, map;
    long ours_peak = 0, theirs_peak = 0, cover_peak = 0;
    const fs::path ours_log = dir / "imgrebuild.log", plain_log = dir / "plain.log";
    for (int k = 0; k < runs; ++k) {
        const Timing a = run(p.tool, {}, dir, ours_log);
        if (k == 0)
            fs::copy_file(dir / "output.bin", dir / "output.tool",
                          fs::copy_options::overwrite_existing);
        const Timing b = run(p.plain, {}, dir, plain_log);
        if (k == 0 && (!same_files(ours_log, plain_log) ||
                       !same_files(dir / "output.tool", dir / "output.bin"))) {
            std::fprintf(stderr, "the two builds disagree on the log or output.bin\n");
            std::exit(1);
        }
        io.push_back(run(p.floor, {}, dir, dir / "floor.log").seconds);
        const Timing c = run(p.cover, {"."}, dir, dir / "imgcover.txt", 1);
        // The picture of the whole image, 4096 pixels a row, against the plain analysis.
        picture.push_back(run(p.cover, {".", "--picture", "picture.png", "--width", "4096"}, dir,
                              dir / "picture.txt", 1)
                              .seconds);
        // The coverage map at the default cell, deflated.
        map.push_back(run(p.cover, {".", "--map", "map.png"}, dir, dir / "map.txt", 1).seconds);
        ours.push_back(a.seconds);
        theirs.push_back(b.seconds);
        cover.push_back(c.seconds);
        ours_peak = std::max(ours_peak, a.peak_kib);
        theirs_peak = std::max(theirs_peak, b.peak_kib);
        cover_peak = std::max(cover_peak, c.peak_kib);
    }
    const double a = median(ours), b = median(theirs), f = median(io), c = median(cover),
                 pic = median(picture), mp = median(map);
    const double mb = text_bytes / 1e6;
    std::printf("\n== %s: %.1f MB of capture text; %d runs each, same log and output.bin\n", style,
                mb, runs);
    std::printf("imgrebuild : median %.3f s, %7.1f MB/s, peak %.1f MiB\n", a, mb / a,
                ours_peak / 1024.0);
    std::printf("plain build: median %.3f s, %7.1f MB/s, peak %.1f MiB\n", b, mb / b,
                theirs_peak / 1024.0);
    std::printf("io_floor   : median %.3f s\n", f);
    std::printf("imgcover   : median %.3f s, peak %.1f MiB\n", c, cover_peak / 1024.0);
    const double over_floor = a / f;
    const double above = a > f ? (b - f) / (a - f) : 1e9;
    const double cover_ratio = c / a;
    std::printf("imgrebuild / io_floor: %.2f (target <= 1.3: %s)\n", over_floor,
                verdict(over_floor <= 1.3));
    std::printf("work above the floor, plain / imgrebuild: %.1f (target >= 40: %s)\n", above,
                verdict(above >= 40));
    std::printf("imgrebuild peak memory: %.1f MiB (target < 32: %s)\n", ours_peak / 1024.0,
                verdict(ours_peak < 32 * 1024));
    std::printf("imgcover / imgrebuild: %.2f (target <= 2: %s); peak %.1f MiB (target <= 128: "
                "%s)\n",
                cover_ratio, verdict(cover_ratio <= 2.0), cover_peak / 1024.0,
                verdict(cover_peak <= 128 * 1024));
    const double picture_ratio = pic / c;
    std::printf("imgcover --picture --width 4096: median %.3f s; / imgcover: %.2f (target <= 3: "
                "%s)\n",
                pic, picture_ratio, verdict(picture_ratio <= 3));
    const double map_ratio = mp / c;
    std::printf("imgcover --map: median %.3f s, %s bytes; / imgcover: %.2f (target <= 3: %s)\n", mp,
                std::to_string(fs::file_size(dir / "map.png")).c_str(), map_ratio,
                verdict(map_ratio <= 3));
    return over_floor <= 1.3 && above >= 40 && ours_peak < 32 * 1024 && cover_ratio <= 2.0 &&
           cover_peak <= 128 * 1024 && picture_ratio <= 3 && map_ratio <= 3;
}

// A plan of many requests beside many listings of an absent capture: the run of a 16 MB image
// with heavy losses in captures of 12,734 pages, its run description then listing one more
// name 200,000 times. Returns false when imgcover misses its target of 2 s.
bool measure_listings(const Programs& p, const fs::path& dir, int runs) {
    constexpr int kListings = 200'000;
    if (!fs::exists(dir / "file_info.txt")) {
        std::printf("making the run: framesim --image-size 16000000 --loss 0.3 --pages-per-file "
                    "12734 --out %s, then %d listings more\n",
                    dir.c_str(), kListings);
        const std::string cmd =
            "'" + p.framesim + "' --image-size 16000000 --loss 0.3 --pages-per-file 12734 --out '" +
            dir.string() + "' >/dev/null";
        if (std::system(cmd.c_str()) != 0)
            std::exit(1);
        std::ifstream in(dir / "file_info.txt");
        std::string info, line;
        for (int k = 0; std::getline(in, line); ++k) {
            if (k == 2)
                line = "numfile " + std::to_string(std::stoi(line.substr(8)) + kListings);
            info += line + "\n";
        }
        for (int k = 0; k < kListings; ++k)
            info += "absent_5_0_5_63.txt\n";
        std::ofstream(dir / "file_info.txt", std::ios::binary) << info;
    }
    std::vector<double> times;
    for (int k = 0; k < runs; ++k)
        times.push_back(
            run(p.cover, {".", "--plan", "plan.txt"}, dir, dir / "imgcover.txt", 1).seconds);
    std::ifstream plan(dir / "plan.txt");
    long requests = 0;
    for (std::string line; std::getline(plan, line);)
        ++requests;
    const double t = median(times);
    std::printf("\n== %ld requests planned beside %d listings of an absent capture\n"
                "imgcover --plan: median %.3f s (target <= 2: %s)\n",
                requests, kListings, t, verdict(t <= 2));
    return t <= 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 7) {
        std::fprintf(stderr, "usage: wholerun_bench IMGREBUILD PLAIN IOFLOOR IMGCOVER FRAMESIM "
                             "WORKDIR [RUNS]\n");
        return 2;
    }
    Programs p;
    p.tool = fs::absolute(argv[1]);
    p.plain = fs::absolute(argv[2]);
    p.floor = fs::absolute(argv[3]);
    p.cover = fs::absolute(argv[4]);
    p.framesim = fs::absolute(argv[5]);
    const fs::path dir = fs::absolute(argv[6]);
    const int runs = argc > 7 ? std::max(1, std::atoi(argv[7])) : 7;
    fs::create_directories(dir);
    // The programs inherit IMGREBUILD_LANE and choose as this process does.
    std::printf("decoding lane: %s\n", imgrebuild::lane_name(imgrebuild::lane_in_use()));
    const bool tidy = measure(p, dir / "tidy", "tidy", runs);
    const bool varied = measure(p, dir / "varied", "varied", runs);
    const bool listings = measure_listings(p, dir / "listings", std::min(runs, 3));
    std::printf("\nevery target: %s\n",
                tidy && varied && listings ? "holds" : "MISSED on some input");
    return 0;
}
