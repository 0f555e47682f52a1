// The per-line hot path, imgrebuild's against the plain libc way: decoding frame lines, and
// reading lines from a file. Throughput is in bytes of capture text per second.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "capture/frame.hpp"
#include "capture/line_reader.hpp"
#include "plain_model.hpp"
#include "sim.hpp"

namespace {

// A thousand frame lines as framesim writes them, each with its line feed.
const std::vector<std::string>& lines() {
    static const std::vector<std::string> all = [] {
        const std::vector<uint8_t> image = framesim::generated_image(163 * 1000, 9);
        std::vector<std::string> v;
        for (int32_t k = 0; k < 1000; ++k)
            v.push_back(framesim::frame_line(0xC0, k, image.data() + 163 * k) + "\n");
        return v;
    }();
    return all;
}

int64_t total_bytes() {
    int64_t n = 0;
    for (const std::string& s : lines())
        n += static_cast<int64_t>(s.size());
    return n;
}

void BM_DecodeFrame(benchmark::State& state) {
    imgrebuild::Frame frame{};
    for (auto _ : state) {
        for (const std::string& s : lines()) {
            const auto status = imgrebuild::decode_frame(s.data(), s.data() + s.size(), frame);
            benchmark::DoNotOptimize(status);
        }
        benchmark::DoNotOptimize(frame.rda[100]);
    }
    state.SetBytesProcessed(state.iterations() * total_bytes());
}
BENCHMARK(BM_DecodeFrame);

void BM_PlainDecodeFrame(benchmark::State& state) {
    static char line[20000];
    static model::Decoded frame;
    for (auto _ : state) {
        for (const std::string& s : lines()) {
            std::memcpy(line, s.c_str(), s.size() + 1); // strtok writes into its line
            model::decode_in_place(line, frame);
            benchmark::DoNotOptimize(frame.status);
        }
        benchmark::DoNotOptimize(frame.rda[100]);
    }
    state.SetBytesProcessed(state.iterations() * total_bytes());
}
BENCHMARK(BM_PlainDecodeFrame);

// A temporary file of the lines, read to its end per iteration.
std::FILE* capture_file() {
    static std::FILE* f = [] {
        std::FILE* t = std::tmpfile();
        for (const std::string& s : lines())
            std::fwrite(s.data(), 1, s.size(), t);
        std::fflush(t);
        return t;
    }();
    std::rewind(f);
    return f;
}

void BM_ReadLine(benchmark::State& state) {
    static imgrebuild::LineReader reader;
    static char data[imgrebuild::kLineCap];
    for (auto _ : state) {
        imgrebuild::reader_open(reader, capture_file());
        int32_t length = 0;
        while (imgrebuild::read_line(reader, data, length) == imgrebuild::ReadStatus::line)
            benchmark::DoNotOptimize(data[0]);
    }
    state.SetBytesProcessed(state.iterations() * total_bytes());
}
BENCHMARK(BM_ReadLine);

void BM_PlainFgets(benchmark::State& state) {
    static char data[20000];
    for (auto _ : state) {
        std::FILE* f = capture_file();
        while (std::fgets(data, sizeof data, f) != nullptr)
            benchmark::DoNotOptimize(data[0]);
    }
    state.SetBytesProcessed(state.iterations() * total_bytes());
}
BENCHMARK(BM_PlainFgets);

} // namespace

BENCHMARK_MAIN();
