// framesim's plan reader. Whatever the bytes, it ends without a fault; a plan it takes holds
// only plain, distinct names that state their own ranges of 1 to kMaxPages pages; and the plan
// written back as text reads back as the same plan.
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "capture/range.hpp"
#include "limits.hpp"
#include "plan_reader.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<framesim::Resend> plan;
    std::string error;
    std::FILE* f = fuzzsupport::open_bytes(bytes);
    const bool ok = framesim::read_plan_from(f, "plan.txt", plan, error);
    std::fclose(f);
    if (!ok) {
        FUZZ_CHECK(plan.empty());
        FUZZ_CHECK(error.rfind("plan.txt:", 0) == 0);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    std::set<std::string> names;
    std::string text;
    for (const framesim::Resend& r : plan) {
        FUZZ_CHECK(framesim::name_fault(r.name) == nullptr);
        FUZZ_CHECK(names.insert(r.name).second);
        imgrebuild::RangeMath math{};
        FUZZ_CHECK(imgrebuild::compute_range(r.range, 0, math));
        FUZZ_CHECK(math.npage >= 1 && math.npage <= imgrebuild::kMaxPages);
        static char na[imgrebuild::kLineCap];
        imgrebuild::PageRange stated{};
        FUZZ_CHECK(imgrebuild::parse_name_line(r.name.data(), r.name.data() + r.name.size(), na,
                                               stated) == imgrebuild::NameStatus::ok);
        FUZZ_CHECK(stated.SSC == r.range.SSC && stated.SP == r.range.SP &&
                   stated.ESC == r.range.ESC && stated.EP == r.range.EP);
        text += std::to_string(r.range.SSC) + " " + std::to_string(r.range.SP) + " " +
                std::to_string(r.range.ESC) + " " + std::to_string(r.range.EP) + " " + r.name +
                "\n";
    }
    std::vector<framesim::Resend> again;
    std::FILE* g = fuzzsupport::open_bytes(text);
    FUZZ_CHECK(framesim::read_plan_from(g, "again", again, error));
    std::fclose(g);
    FUZZ_CHECK(again.size() == plan.size());
    for (size_t k = 0; k < plan.size(); ++k) {
        FUZZ_CHECK(again[k].name == plan[k].name);
        FUZZ_CHECK(again[k].range.SSC == plan[k].range.SSC &&
                   again[k].range.EP == plan[k].range.EP);
    }
    return 0;
}
