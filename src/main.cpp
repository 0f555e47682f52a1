// imgrebuild: rebuilds an image from frame captures in the current directory.
#include <cstdio>

#include "run/driver.hpp"

int main() {
    return imgrebuild::run(stdin, stdout);
}
