// Round trip: framesim sends an image with losses, noise, duplicates and reordering; the built
// tool rebuilds it. Its log must report exactly what was dropped (less what a merge with the
// file just before supplies) and every noise line's message, and output.bin must hold the
// image wherever a frame arrived and 0xFF elsewhere.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "limits.hpp"
#include "sim.hpp"
#include "workdir.hpp"

using framesim::Capture;
using framesim::NoiseLine;

namespace {

std::string fmt(const char* format, long long a = 0, long long b = 0, long long c = 0,
                long long d = 0) {
    char buf[256];
    std::snprintf(buf, sizeof buf, format, a, b, c, d);
    return buf;
}

// Options drawn from the seed, over every feature of the sender.
framesim::Options options_for(uint64_t seed, const std::string& out) {
    framesim::Random r(seed * 7919);
    framesim::Options o;
    o.out = out;
    o.seed = seed;
    o.image_size = static_cast<int32_t>(r.below(40000));
    o.SC_S = static_cast<int32_t>(r.below(24)) - 3;
    o.pages_per_file = 1 + static_cast<int32_t>(r.below(60));
    o.passes = 1 + static_cast<int32_t>(r.below(3));
    o.repeat = static_cast<framesim::Repeat>(r.below(3));
    o.loss = r.below(100) * 0.003;
    o.duplicates = r.below(100) * 0.002;
    o.reorder = r.below(100) * 0.003;
    o.noise = r.below(100) * 0.001;
    o.crlf = r.chance(0.5);
    o.wrap = r.chance(0.5);
    o.varied = r.chance(0.3);
    return o;
}

struct Expected {
    std::string log;
    std::string output;
};

// What the tool must make of the run framesim recorded.
Expected expect(const framesim::Run& run, const std::vector<uint8_t>& image) {
    Expected e;
    e.log = "Program start ver.3\r\n" + fmt("imagesize=%lld\r\n", run.imagesize) +
            fmt("numfile=%lld\r\n", static_cast<long long>(run.captures.size())) +
            fmt("SC_S=%lld\r\n", run.SC_S);
    const size_t outsize = static_cast<size_t>(run.imagesize) + 1024;
    std::vector<bool> covered(outsize, false);
    std::vector<int> previous(imgrebuild::kTableSize, 0); // the last file's combined reception
    long long previous_key = 0;
    for (size_t i = 0; i < run.captures.size(); ++i) {
        const Capture& c = run.captures[i];
        imgrebuild::RangeMath m{};
        EXPECT_TRUE(imgrebuild::compute_range(c.range, run.SC_S, m));
        e.log += fmt("\r\ni=%lld\r\n", static_cast<long long>(i)) + "na=" + c.name + "\r\n" +
                 fmt("SSC=%lld SP=%lld ESC=%lld EP=%lld\r\n", c.range.SSC, c.range.SP, c.range.ESC,
                     c.range.EP) +
                 fmt("mcomsize=%lld\r\n", m.mcomsize);
        for (const NoiseLine& n : c.noise) {
            if (n.kind == NoiseLine::torn)
                e.log += fmt("line %lld is not a valid frame.\r\n", n.line);
            if (n.kind == NoiseLine::foreign)
                e.log += fmt("ID=%llx\r\nDATA IS NOT IMAGE DATA\r\nSTOP\r\n", n.id);
        }
        std::vector<int> got(static_cast<size_t>(m.mcomsize), 1);
        for (int32_t pn : c.dropped)
            got[static_cast<size_t>(pn)] = 0;
        for (int32_t pn = 0; pn < m.mcomsize; ++pn) {
            if (!got[static_cast<size_t>(pn)])
                continue;
            const long long start = imgrebuild::slot_offset(m, pn);
            for (long long o = start; o < start + 163 && o <= m.limit; ++o) {
                if (o >= 0 && o < static_cast<long long>(outsize))
                    covered[static_cast<size_t>(o)] = true;
            }
        }
        e.log += "\r\n";
        int lost = 0;
        for (int32_t pn = 0; pn < m.mcomsize; ++pn) {
            int& slot = previous[static_cast<size_t>(pn)];
            slot = got[static_cast<size_t>(pn)] | (m.rangekey == previous_key ? slot : 0);
            if (!slot) {
                e.log += fmt("PN=%lld is lacked.\r\n", pn);
                ++lost;
            }
        }
        if (lost == 0)
            e.log += "loss num = 0.\r\n";
        e.log += fmt("loss_num=%lld\r\n", lost);
        previous_key = m.rangekey;
    }
    e.log += "Program is finished.\r\n";
    e.output.assign(outsize, '\xFF');
    for (size_t o = 0; o < outsize; ++o) {
        if (covered[o])
            e.output[o] = static_cast<char>(framesim::memory_byte(image, static_cast<int64_t>(o)));
    }
    return e;
}

class RoundTrip : public ::testing::TestWithParam<int> {};

TEST_P(RoundTrip, ReportAndImageMatchWhatWasSent) {
    e2e::Workdir w;
    const framesim::Options o = options_for(static_cast<uint64_t>(GetParam()), w.path());
    const std::vector<uint8_t> image = framesim::generated_image(o.image_size, o.seed);
    framesim::Run run;
    std::string error;
    ASSERT_TRUE(framesim::simulate(o, image, run, error)) << error;
    const Expected want = expect(run, image);
    const e2e::RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.out, want.log);
    ASSERT_EQ(r.output.size(), want.output.size());
    EXPECT_TRUE(r.output == want.output) << "output.bin differs";
}

INSTANTIATE_TEST_SUITE_P(Seeds, RoundTrip, ::testing::Range(1, 151));

// The same seed writes the same files, byte for byte.
TEST(Framesim, IsDeterministicForASeed) {
    e2e::Workdir a, b;
    framesim::Options o = options_for(42, a.path());
    o.noise = 0.05;
    o.duplicates = 0.1;
    o.reorder = 0.2;
    framesim::Run ra, rb;
    std::string error;
    const std::vector<uint8_t> image = framesim::generated_image(20000, 42);
    ASSERT_TRUE(framesim::simulate(o, image, ra, error));
    o.out = b.path();
    ASSERT_TRUE(framesim::simulate(o, image, rb, error));
    ASSERT_EQ(ra.captures.size(), rb.captures.size());
    for (const std::string& name : {std::string("file_info.txt"), std::string("dropped.txt")})
        EXPECT_EQ(e2e::read_file(a.path() + "/" + name), e2e::read_file(b.path() + "/" + name));
    for (const Capture& c : ra.captures)
        EXPECT_EQ(e2e::read_file(a.path() + "/" + c.name), e2e::read_file(b.path() + "/" + c.name));
}

// Every feature shows up in some seed, so the round trips above exercise them all.
TEST(Framesim, SeedsCoverEveryKindOfNoiseAndAMerge) {
    bool kinds[3] = {}, merged = false;
    for (int seed = 1; seed < 151; ++seed) {
        e2e::Workdir w;
        const framesim::Options o = options_for(static_cast<uint64_t>(seed), w.path());
        framesim::Run run;
        std::string error;
        ASSERT_TRUE(
            framesim::simulate(o, framesim::generated_image(o.image_size, o.seed), run, error));
        for (const Capture& c : run.captures) {
            for (const NoiseLine& n : c.noise)
                kinds[n.kind] = true;
        }
        for (size_t k = 1; k < run.captures.size(); ++k)
            merged = merged || run.captures[k].name.rfind("pass2", 0) == 0;
    }
    EXPECT_TRUE(kinds[NoiseLine::blank] && kinds[NoiseLine::torn] && kinds[NoiseLine::foreign]);
    EXPECT_TRUE(merged);
}

} // namespace
