// A fresh working directory for one run of the built tool, and what the run left behind.
#pragma once

#include <string>
#include <vector>

namespace e2e {

// True when the tests, and the programs they run, are built with AddressSanitizer: it reserves
// far more address space than a memory limit lets through, and holds freed memory back in
// quarantine, so neither a memory limit nor resident memory tells anything there.
#if defined(__SANITIZE_ADDRESS__)
inline constexpr bool kUnderSanitizer = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
inline constexpr bool kUnderSanitizer = true;
#else
inline constexpr bool kUnderSanitizer = false;
#endif
#else
inline constexpr bool kUnderSanitizer = false;
#endif

struct RunResult {
    int status;         // exit status as the shell sees it
    std::string out;    // standard output, byte for byte
    std::string err;    // standard error
    std::string output; // output.bin, or empty when `has_output` is false
    bool has_output;
};

class Workdir {
  public:
    Workdir();
    ~Workdir();
    Workdir(const Workdir&) = delete;
    Workdir& operator=(const Workdir&) = delete;

    const std::string& path() const { return path_; }
    // Writes `bytes` to the file `name` inside the directory.
    void write(const std::string& name, const std::string& bytes) const;
    // Copies every file of a fixture folder under tests/data into the directory.
    void copy_fixture(const std::string& fixture) const;
    // Runs the tool here with standard input from /dev/null.
    RunResult run() const;
    // Runs a bash script here with TOOL naming the built tool; the script itself sends the
    // tool's status to the file .status. Standard output and error are taken from .stdout and
    // .stderr, when the script writes them.
    RunResult run_script(const std::string& script) const;
    // Starts the tool here with the given standard input and output; returns its process id.
    int start(int in_fd, int out_fd) const;

  private:
    std::string path_;
};

// Writes a whole file.
void write_file(const std::string& path, const std::string& bytes);

// Reads a whole file; empty when it cannot be read.
std::string read_file(const std::string& path);

// What a program run left: its exit status as the shell sees it (128 + N when signal N ended
// it; kTimedOut when the deadline killed it), its standard output and error, and how long it
// took.
struct Ran {
    int status;
    std::string out, err;
    double seconds;
};
inline constexpr int kTimedOut = -2;

// Runs `command`, a shell command line, in `dir` with empty standard input; its output is kept
// outside `dir` unless the command sends it elsewhere. A run still going after `deadline`
// seconds is killed, and its status is kTimedOut, so that a hang fails the test, never stalls it.
Ran sh(const std::string& dir, const std::string& command, double deadline = 120);

// `text` quoted for the shell: 'text', with every ' inside spelled '\''.
std::string quoted(const std::string& text);

// The built programs, quoted for a shell command line.
inline const std::string kImgrebuild = quoted(IMGREBUILD_EXE);
inline const std::string kImgcover = quoted(IMGCOVER_EXE);
inline const std::string kFramesim = quoted(FRAMESIM_EXE);

// The lines of `text`, without their line feeds.
std::vector<std::string> lines_of(const std::string& text);

} // namespace e2e
