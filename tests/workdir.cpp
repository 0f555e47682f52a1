#include "workdir.hpp"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace e2e {

namespace fs = std::filesystem;

std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
}

std::string quoted(const std::string& text) {
    std::string q = "'";
    for (const char c : text) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

std::vector<std::string> lines_of(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        lines.push_back(l);
    return lines;
}

Ran sh(const std::string& dir, const std::string& command, double deadline) {
    static const Workdir outputs;
    static std::atomic<int> calls{0};
    const std::string base =
        outputs.path() + "/" + std::to_string(::getpid()) + "-" + std::to_string(++calls);
    // timeout(1) ends the command's whole process group at the deadline, and says 124.
    const std::string script = "cd " + quoted(dir) + " && { " + command + "\n}";
    const std::string cmd = "timeout -k 5 " + std::to_string(deadline) + " bash -c " +
                            quoted(script) + " </dev/null >" + quoted(base + ".out") + " 2>" +
                            quoted(base + ".err");
    const auto start = std::chrono::steady_clock::now();
    const int raw = std::system(cmd.c_str());
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    int status = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
    if ((status == 124 || status == 137) && seconds >= deadline)
        status = kTimedOut;
    Ran r{status, read_file(base + ".out"), read_file(base + ".err"), seconds};
    std::error_code ec;
    fs::remove(base + ".out", ec);
    fs::remove(base + ".err", ec);
    return r;
}

Workdir::Workdir() {
    std::string tmpl = (fs::temp_directory_path() / "imgrebuild-e2e-XXXXXX").string();
    if (::mkdtemp(tmpl.data()) == nullptr)
        std::abort();
    path_ = tmpl;
}

Workdir::~Workdir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
}

void Workdir::write(const std::string& name, const std::string& bytes) const {
    std::ofstream out(fs::path(path_) / name, std::ios::binary);
    out << bytes;
}

void Workdir::copy_fixture(const std::string& fixture) const {
    fs::copy(fs::path(IMGREBUILD_TEST_DATA) / fixture, path_, fs::copy_options::recursive);
}

RunResult Workdir::run() const {
    const std::string cmd =
        "cd '" + path_ + "' && '" IMGREBUILD_EXE "' </dev/null >.stdout 2>.stderr";
    const int raw = std::system(cmd.c_str());
    RunResult r;
    r.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1000;
    r.out = read_file(path_ + "/.stdout");
    r.err = read_file(path_ + "/.stderr");
    r.has_output = fs::is_regular_file(fs::path(path_) / "output.bin");
    r.output = r.has_output ? read_file(path_ + "/output.bin") : std::string();
    return r;
}

RunResult Workdir::run_script(const std::string& script) const {
    write(".script", script);
    const std::string cmd = "cd '" + path_ + "' && TOOL='" IMGREBUILD_EXE "' bash .script";
    const int raw = std::system(cmd.c_str());
    RunResult r;
    const std::string status = read_file(path_ + "/.status");
    r.status = WIFEXITED(raw) && !status.empty() ? std::atoi(status.c_str()) : -1000;
    r.out = read_file(path_ + "/.stdout");
    r.err = read_file(path_ + "/.stderr");
    r.has_output = fs::is_regular_file(fs::path(path_) / "output.bin");
    r.output = r.has_output ? read_file(path_ + "/output.bin") : std::string();
    return r;
}

int Workdir::start(int in_fd, int out_fd) const {
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(in_fd, 0);
        ::dup2(out_fd, 1);
        if (::chdir(path_.c_str()) == 0)
            ::execl(IMGREBUILD_EXE, IMGREBUILD_EXE, "ignored-argument",
                    static_cast<char*>(nullptr));
        ::_exit(99);
    }
    return pid;
}

} // namespace e2e
