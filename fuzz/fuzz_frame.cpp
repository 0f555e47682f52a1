// Frame lines: the input is a refill size byte, then a capture file's bytes. Every read is
// compared with the plain model, and every line it yields is decoded by every decoding lane
// this processor can run and compared too.
#include <cstdint>
#include <cstring>
#include <string>

#include "capture/frame.hpp"
#include "capture/frame_lanes.hpp"
#include "capture/line_reader.hpp"
#include "image/image.hpp"
#include "plain_model.hpp"
#include "support.hpp"

using namespace imgrebuild;

namespace {

LineReader reader;
char data[kLineCap];

void check_lane(DecodeLane lane, const char* line, const char* end, const model::Decoded& want) {
    Frame frame{};
    const FrameStatus status = decode_frame_with(lane, line, end, frame);
    FUZZ_CHECK(static_cast<int>(status) == static_cast<int>(want.status));
    if (status == FrameStatus::not_image)
        FUZZ_CHECK(frame.id == want.id);
    if (status == FrameStatus::ok) {
        FUZZ_CHECK(frame.counter >= 0 && frame.counter == want.counter);
        FUZZ_CHECK(std::memcmp(frame.rda, want.rda, sizeof frame.rda) == 0);
    }
}

void check_frame(const char* line, const char* end) {
    const model::Decoded want = model::decode(std::string(line, end));
    for (const DecodeLane lane : kDecodeLanes) {
        if (lane_available(lane))
            check_lane(lane, line, end, want);
    }
    // The lane the tool runs, through its own entry point.
    Frame frame{};
    FUZZ_CHECK(static_cast<int>(decode_frame(line, end, frame)) == static_cast<int>(want.status));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size == 0)
        return -1;
    // Small refills put lines, and CR LF pairs, across refill boundaries.
    const int32_t chunk = bytes[0] < 128 ? 1 + bytes[0] % 32 : kReadChunk;
    const std::string input(reinterpret_cast<const char*>(bytes + 1), size - 1);
    const std::vector<model::Line> want = model::read_lines(input);
    std::FILE* f = fuzzsupport::open_bytes(input);
    reader_open(reader, f, chunk);
    for (const model::Line& line : want) {
        int32_t length = -1;
        const ReadStatus status = read_line(reader, data, length);
        FUZZ_CHECK(static_cast<int>(status) == static_cast<int>(line.status));
        FUZZ_CHECK(std::string(data, static_cast<size_t>(length)) == line.bytes);
        FUZZ_CHECK(data[length] == '\0');
        if (status != ReadStatus::no_line)
            check_frame(data, text_end(data, length));
    }
    std::fclose(f);
    return 0;
}
