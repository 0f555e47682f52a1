// imgrebuild: rebuilds an image from frame captures in the current directory.
#include <csignal>
#include <cstdio>

#include "platform.hpp"
#include "run/driver.hpp"

int main() {
    // A closed log pipe or a file-size limit must fail a write, not kill the run and its image.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif
#ifdef SIGXFSZ
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    imgrebuild::binary_stdout();
    return imgrebuild::run(stdin, stdout, stderr);
}
