// Times whole runs of imgrebuild against the plain fgets/strtok/strtol build on framesim's
// largest run, checks that both print the same log and write the same output.bin, and prints
// the medians, the throughput in MB/s of capture text, the ratio and the peak memory.
//
// usage: wholerun_bench IMGREBUILD PLAIN FRAMESIM WORKDIR [RUNS] [IOFLOOR]
// The run is made in WORKDIR with `framesim --max` unless WORKDIR/file_info.txt exists. With
// IOFLOOR, the program that only does a run's input and output is timed too, and the best
// ratio any build could reach on this machine is printed.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

struct Timing {
    double seconds;
    long peak_kib;
};

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// Runs `exe` in `dir`, standard input from /dev/null, standard output to `log`.
Timing run(const std::string& exe, const fs::path& dir, const fs::path& log) {
    const auto start = std::chrono::steady_clock::now();
    const pid_t pid = ::fork();
    if (pid == 0) {
        const int in = ::open("/dev/null", O_RDONLY);
        const int out = ::open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(in, 0);
        ::dup2(out, 1);
        if (::chdir(dir.c_str()) == 0)
            ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    int status = 0;
    rusage usage{};
    ::wait4(pid, &status, 0, &usage);
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        std::fprintf(stderr, "%s failed in %s\n", exe.c_str(), dir.c_str());
        std::exit(1);
    }
    return {seconds, usage.ru_maxrss};
}

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 5) {
        std::fprintf(stderr, "usage: wholerun_bench IMGREBUILD PLAIN FRAMESIM WORKDIR [RUNS]\n");
        return 2;
    }
    const std::string tool = fs::absolute(argv[1]), plain = fs::absolute(argv[2]);
    const std::string framesim = fs::absolute(argv[3]);
    const fs::path dir = fs::absolute(argv[4]);
    const int runs = argc > 5 ? std::max(1, std::atoi(argv[5])) : 5;
    const std::string floor = argc > 6 ? fs::absolute(argv[6]).string() : std::string();
    if (!fs::exists(dir / "file_info.txt")) {
        std::printf("making the run: framesim --max --out %s\n", dir.c_str());
        const std::string cmd = "'" + framesim + "' --max --out '" + dir.string() + "'";
        if (std::system(cmd.c_str()) != 0)
            return 1;
    }
    double text_bytes = 0;
    for (const auto& e : fs::directory_iterator(dir)) {
        const std::string name = e.path().filename().string();
        if (name.rfind("pass", 0) == 0)
            text_bytes += static_cast<double>(e.file_size());
    }

    std::vector<double> ours, theirs, io;
    long ours_peak = 0, theirs_peak = 0;
    const fs::path ours_log = dir / "imgrebuild.log", plain_log = dir / "plain.log";
    for (int k = 0; k < runs; ++k) {
        const Timing a = run(tool, dir, ours_log);
        const std::string ours_output = k == 0 ? read_file(dir / "output.bin") : std::string();
        const Timing b = run(plain, dir, plain_log);
        if (k == 0 && (read_file(ours_log) != read_file(plain_log) ||
                       ours_output != read_file(dir / "output.bin"))) {
            std::fprintf(stderr, "the two builds disagree on the log or output.bin\n");
            return 1;
        }
        if (!floor.empty())
            io.push_back(run(floor, dir, dir / "floor.log").seconds);
        ours.push_back(a.seconds);
        theirs.push_back(b.seconds);
        ours_peak = std::max(ours_peak, a.peak_kib);
        theirs_peak = std::max(theirs_peak, b.peak_kib);
    }
    const double a = median(ours), b = median(theirs);
    const double mb = text_bytes / 1e6;
    std::printf("capture text: %.1f MB in %s; %d runs each, same log and output.bin\n", mb,
                dir.c_str(), runs);
    std::printf("imgrebuild : median %.3f s, %7.1f MB/s, peak %.1f MiB\n", a, mb / a,
                ours_peak / 1024.0);
    std::printf("plain build: median %.3f s, %7.1f MB/s, peak %.1f MiB\n", b, mb / b,
                theirs_peak / 1024.0);
    std::printf("ratio of medians: %.1f\n", b / a);
    if (!io.empty()) {
        const double f = median(io);
        std::printf("input and output alone: median %.3f s, so no build can beat a ratio of "
                    "%.1f here\n",
                    f, b / f);
    }
    return 0;
}
