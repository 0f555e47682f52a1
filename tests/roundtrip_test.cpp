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

namespace {

struct Command {
    int status;
    std::string out, err;
};

Command framesim_cli(const std::string& args) {
    e2e::Workdir w;
    const std::string cmd =
        "cd '" + w.path() + "' && '" FRAMESIM_EXE "' " + args + " </dev/null >.stdout 2>.stderr";
    const int raw = std::system(cmd.c_str());
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, e2e::read_file(w.path() + "/.stdout"),
            e2e::read_file(w.path() + "/.stderr")};
}

TEST(FramesimCli, HelpDocumentsEveryOption) {
    const Command c = framesim_cli("--help");
    EXPECT_EQ(c.status, 0);
    for (const char* option : {"--out DIR",      "--image FILE",
                               "--image-size N", "--save-image FILE",
                               "--sc-s N",       "--pages-per-file N",
                               "--passes N",     "--repeat WHICH",
                               "--loss RATE",    "--duplicates RATE",
                               "--reorder RATE", "--noise RATE",
                               "--crlf",         "--wrap",
                               "--style STYLE",  "--live FPS",
                               "--ranges FILE",  "--seed N",
                               "--max",          "--force",
                               "--help",         "--version"})
        EXPECT_NE(c.out.find(option), std::string::npos) << option;
}

TEST(FramesimCli, BadArgumentsExitWithStatus2) {
    for (const char* args : {"--bogus", "--loss 1.5", "--loss=x", "--passes 0",
                             "--pages-per-file 12735", "--image-size -1", "--repeat some", "--seed",
                             "--crlf=maybe", "--out ''", "--style odd", "--live 0"}) {
        const Command c = framesim_cli(args);
        EXPECT_EQ(c.status, 2) << args;
        EXPECT_EQ(c.err.rfind("framesim: ", 0), 0u) << args;
        EXPECT_EQ(c.out, "") << args;
    }
}

TEST(FramesimCli, FailuresAtRunTimeExitWithStatus1) {
    const Command c = framesim_cli("--image /no/such/file");
    EXPECT_EQ(c.status, 1);
    EXPECT_EQ(c.err, "framesim: cannot read /no/such/file: No such file or directory\n");
    const Command v = framesim_cli("--version");
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("framesim ", 0), 0u);
}

// A folder that holds a run is kept unless --force is given; then the old run's files go,
// and only those, so no capture of another run is left behind.
TEST(FramesimCli, AnOldRunIsReplacedOnlyWithForce) {
    e2e::Workdir w;
    const std::string out = " --out '" + w.path() + "' --image-size 3000 ";
    const auto sim = [&](const std::string& args) {
        return std::system(
            ("'" FRAMESIM_EXE "'" + out + args + " >'" + w.path() + "/.said' 2>&1").c_str());
    };
    ASSERT_EQ(sim("--pages-per-file 4 --loss 0"), 0);
    w.write("notes.txt", "the operator's own file");
    EXPECT_EQ(WEXITSTATUS(sim("--pages-per-file 8 --loss 0")), 2);
    EXPECT_NE(e2e::read_file(w.path() + "/.said").find("already holds a run"), std::string::npos);
    EXPECT_TRUE(std::filesystem::exists(w.path() + "/pass1_5_0_5_3.txt"));
    ASSERT_EQ(sim("--pages-per-file 8 --loss 0 --force"), 0);
    EXPECT_FALSE(std::filesystem::exists(w.path() + "/pass1_5_0_5_3.txt"));
    EXPECT_TRUE(std::filesystem::exists(w.path() + "/pass1_5_0_5_7.txt"));
    EXPECT_TRUE(std::filesystem::exists(w.path() + "/notes.txt"));
    // 12 pages in files of 8 (two captures), nothing lost: said in the singular where it is one.
    ASSERT_EQ(sim("--pages-per-file 8 --force --loss 0.01 --seed 4"), 0);
    const std::string said = e2e::read_file(w.path() + "/.said");
    EXPECT_EQ(said.find("frames dropped") == std::string::npos,
              said.find(", 1 frame dropped") != std::string::npos)
        << said;
}

TEST(FramesimCli, WritesARunAndItsDroppedList) {
    e2e::Workdir w;
    const std::string cmd = "'" FRAMESIM_EXE "' --out '" + w.path() +
                            "' --image-size 5000 --pages-per-file 8 --loss 0.2 --seed 3 "
                            "--save-image '" +
                            w.path() + "/sent.bin' >/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    EXPECT_EQ(e2e::read_file(w.path() + "/sent.bin").size(), 5000u);
    // 20 pages in files of 8: three captures, each listed with the slots it lost.
    const std::string info = e2e::read_file(w.path() + "/file_info.txt");
    EXPECT_NE(info.find("numfile 3\nSC_S 5\npass1_5_0_5_7.txt\npass1_5_8_5_15.txt\n"
                        "pass1_5_16_5_19.txt\n"),
              std::string::npos);
    const std::string dropped = e2e::read_file(w.path() + "/dropped.txt");
    EXPECT_EQ(dropped.rfind("pass1_5_0_5_7.txt:", 0), 0u);
    const e2e::RunResult r = w.run();
    EXPECT_EQ(r.status, 0);
    // The report of every file lists exactly the slots dropped.txt gives for it.
    size_t at = 0;
    for (std::string line; at < dropped.size(); at += line.size() + 1) {
        line = dropped.substr(at, dropped.find('\n', at) - at);
        const std::string name = line.substr(0, line.find(':'));
        std::string lacked;
        for (size_t p = line.find(' '); p != std::string::npos; p = line.find(' ', p + 1))
            lacked += "PN=" + line.substr(p + 1, line.find(' ', p + 1) - p - 1) + " is lacked.\r\n";
        const size_t report = r.out.find("\r\n\r\n", r.out.find("na=" + name));
        ASSERT_NE(report, std::string::npos) << name;
        EXPECT_EQ(r.out.compare(report + 4, lacked.size(), lacked), 0) << name;
    }
}

} // namespace

namespace {

// The demo's claims hold: the merged picture is the test card, and the first pass's picture
// differs from it only where the first pass's log reports a missing slot, which is white there.
TEST(Demo, MergedPictureIsTheSourceAndTheFirstShowsItsLosses) {
    e2e::Workdir w;
    const std::string cmd = "'" IMGDEMO_EXE "' '" IMGREBUILD_EXE "' '" IMGCOVER_EXE "' '" +
                            w.path() + "/demo' >'" + w.path() + "/demo.out'";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const std::string dir = w.path() + "/demo";
    const std::string out = e2e::read_file(w.path() + "/demo.out");
    const std::string card = e2e::read_file(dir + "/testcard.ppm");
    const std::string first = e2e::read_file(dir + "/first-pass.ppm");
    const std::string merged = e2e::read_file(dir + "/merged.ppm");
    ASSERT_GT(card.size(), 200000u);
    EXPECT_EQ(merged, card);
    EXPECT_NE(out.find("merged image equals the source byte for byte: yes"), std::string::npos);
    ASSERT_EQ(first.size(), card.size());
    size_t differing = 0;
    for (size_t k = 0; k < card.size(); ++k) {
        if (first[k] != card[k]) {
            ++differing;
            ASSERT_EQ(first[k], '\xFF') << "byte " << k;
        }
    }
    EXPECT_GT(differing, 0u);
    // Every missing slot of the first pass is listed with the row it hides.
    const std::string log = e2e::read_file(dir + "/first-pass/imgrebuild.log");
    size_t lacked = 0;
    for (size_t p = log.find("is lacked."); p != std::string::npos;
         p = log.find("is lacked.", p + 1))
        ++lacked;
    const std::string first_section = out.substr(0, out.find("== second pass"));
    size_t rows = 0;
    for (size_t p = first_section.find(" slot "); p != std::string::npos;
         p = first_section.find(" slot ", p + 1))
        ++rows;
    EXPECT_EQ(rows, lacked);
    // The loop after the first pass ends with the whole picture, and draws its maps.
    EXPECT_EQ(e2e::read_file(dir + "/resent.ppm"), card);
    // A corrupted reception: contested bytes at first, settled by the loop to the source.
    EXPECT_EQ(e2e::read_file(dir + "/corrupted.ppm"), card);
    const std::string corrupted = out.substr(out.find("== a corrupted reception"));
    EXPECT_EQ(corrupted.find("as received: 0 bytes contested"), std::string::npos) << corrupted;
    EXPECT_NE(corrupted.find(": complete\n"), std::string::npos) << corrupted;
    EXPECT_NE(out.find("resend round"), std::string::npos);
    EXPECT_NE(out.find("equals the source byte for byte: yes", out.find("resend round")),
              std::string::npos);
    for (const char* png :
         {"map-pass1.png", "map-final.png", "picture-pass1.png", "picture-final.png"})
        EXPECT_EQ(e2e::read_file(dir + "/" + png).substr(1, 3), "PNG") << png;
}

} // namespace
