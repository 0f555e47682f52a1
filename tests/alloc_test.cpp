// A whole run of the rebuild allocates nothing once it has started: every table is fixed in
// size, and no step builds a string, a path or a container on the heap. Counted by replacing
// the global operator new of this test program.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "run/driver.hpp"
#include "sim.hpp"
#include "workdir.hpp"

namespace {

std::atomic<long> allocations{0};

} // namespace

void* operator new(std::size_t size) {
    ++allocations;
    if (void* p = std::malloc(size == 0 ? 1 : size))
        return p;
    throw std::bad_alloc();
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void operator delete(void* p) noexcept {
    std::free(p);
}

void operator delete[](void* p) noexcept {
    std::free(p);
}

void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

namespace {

// A run with everything a run meets: several captures, second passes that merge, noise lines
// of every kind, duplicates, varied token forms, CR LF lines, an output file to replace.
TEST(Allocation, AWholeRunAllocatesNothing) {
    e2e::Workdir w;
    framesim::Options o;
    o.out = w.path();
    o.image_size = 200000;
    o.pages_per_file = 100;
    o.passes = 2;
    o.repeat = framesim::Repeat::all;
    o.loss = 0.05;
    o.duplicates = 0.05;
    o.noise = 0.05;
    o.varied = true;
    o.seed = 3;
    framesim::Run run;
    std::string error;
    const std::vector<uint8_t> image = framesim::generated_image(o.image_size, o.seed);
    ASSERT_TRUE(framesim::simulate(o, image, run, error)) << error;
    w.write("output.bin", "an earlier image");
    ASSERT_EQ(::chdir(w.path().c_str()), 0); // this test program runs this one test alone
    std::FILE* in = std::tmpfile();
    std::FILE* log = std::tmpfile();
    ASSERT_TRUE(in != nullptr && log != nullptr);

    const long before = allocations.load();
    const int status = imgrebuild::run(in, log, stderr);
    const long during = allocations.load() - before;

    EXPECT_EQ(status, 0);
    EXPECT_EQ(during, 0) << "operator new calls during the run";
    EXPECT_GT(std::ftell(log), 0);
    const std::string output = e2e::read_file(w.path() + "/output.bin");
    EXPECT_EQ(output.size(), image.size() + 1024);
    std::fclose(in);
    std::fclose(log);
    ASSERT_EQ(::chdir("/"), 0);
}

} // namespace
