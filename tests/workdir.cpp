#include "workdir.hpp"

#include <sys/wait.h>
#include <unistd.h>

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
