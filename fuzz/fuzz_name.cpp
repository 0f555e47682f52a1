// Name lines and range arithmetic: compared with the plain model, and every slot's placement
// is checked to stay inside the image buffer, the range's limit and the slot.
#include <algorithm>
#include <cstdint>
#include <string>

#include "capture/range.hpp"
#include "image/image.hpp"
#include "limits.hpp"
#include "plain_model.hpp"
#include "support.hpp"

using namespace imgrebuild;

namespace {

char na[kLineCap];
int32_t values[kFrameValues];

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    if (size < 4 || size > kLineCap - 1)
        return -1;
    // The first four bytes choose SC_S; the rest is the line, up to its first NUL.
    const int32_t SC_S = static_cast<int32_t>(static_cast<uint32_t>(bytes[0]) << 24 |
                                              static_cast<uint32_t>(bytes[1]) << 16 |
                                              static_cast<uint32_t>(bytes[2]) << 8 | bytes[3]);
    std::string line(reinterpret_cast<const char*>(bytes + 4), size - 4);
    line = line.substr(0, line.find('\0'));

    PageRange range{};
    const NameStatus status = parse_name_line(line.data(), line.data() + line.size(), na, range);
    std::string want_na;
    int32_t want[4] = {};
    const model::Name want_status = model::parse_name(line, want_na, want);
    FUZZ_CHECK(static_cast<int>(status) == static_cast<int>(want_status));
    FUZZ_CHECK(want_na == na);
    if (status != NameStatus::ok)
        return 0;
    FUZZ_CHECK(range.SSC == want[0] && range.SP == want[1] && range.ESC == want[2] &&
               range.EP == want[3]);

    RangeMath math{};
    const bool fits = compute_range(range, SC_S, math);
    const __int128 npage = (static_cast<__int128>(range.ESC) * 1024 + range.EP) -
                           (static_cast<__int128>(range.SSC) * 1024 + range.SP) + 1;
    FUZZ_CHECK(math.rangekey == static_cast<__int128>(range.SSC) + range.SP + range.ESC + range.EP);
    FUZZ_CHECK(fits == (npage >= 1 && npage <= kMaxPages));
    if (!fits)
        return 0;
    FUZZ_CHECK(math.npage == npage);
    FUZZ_CHECK(math.mcomsize == npage * 256 / 163 + 1);
    FUZZ_CHECK(math.mcomsize >= 2 && math.mcomsize <= kTableSize);
    FUZZ_CHECK(math.limit - math.base == npage * 256);
    FUZZ_CHECK(math.base == ((static_cast<__int128>(range.SSC) - SC_S) * 1024 + range.SP) * 256);

    for (int32_t PN = 0; PN < math.mcomsize; ++PN) {
        const int64_t start = slot_offset(math, PN);
        FUZZ_CHECK(start == math.base + 163LL * PN);
        const Span s = slot_span(start, math.limit);
        if (s.last < s.first)
            continue;
        FUZZ_CHECK(s.first >= 0 && s.last < kImageBufSize);
        FUZZ_CHECK(s.first >= start && s.last <= start + 162 && s.last <= math.limit);
        // Every offset of the slot that is inside the buffer and not past the limit is stored.
        FUZZ_CHECK(s.first == (start < 0 ? 0 : start));
        const int64_t want_last =
            std::min<int64_t>({start + 162, math.limit, int64_t{kImageBufSize} - 1});
        FUZZ_CHECK(s.last == want_last);
    }
    // Place the first and the last slot for real: the sanitizer sees any stray store.
    place_frame(values, slot_offset(math, 0), math.limit);
    place_frame(values, slot_offset(math, math.mcomsize - 1), math.limit);
    return 0;
}
