// The plan file's reader. Whatever the bytes, it ends without a fault; a plan it takes holds
// only plain, distinct names that state their own ranges of 1 to kMaxPages pages; and the plan
// written back as text reads back as the same plan.
#include <cstdint>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "capture/range.hpp"
#include "common/names.hpp"
#include "common/plan_file.hpp"
#include "limits.hpp"
#include "support.hpp"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    std::vector<companion::Request> plan;
    std::string error;
    std::FILE* f = fuzzsupport::open_bytes(bytes);
    const bool ok = companion::read_plan_from(f, "plan.txt", plan, error);
    std::fclose(f);
    if (!ok) {
        FUZZ_CHECK(plan.empty());
        FUZZ_CHECK(error.rfind("plan.txt:", 0) == 0);
        return 0;
    }
    FUZZ_CHECK(error.empty());
    std::set<std::string> names;
    for (const companion::Request& r : plan) {
        FUZZ_CHECK(companion::name_fault(r.name) == nullptr);
        FUZZ_CHECK(names.insert(r.name).second);
        imgrebuild::RangeMath math{};
        FUZZ_CHECK(imgrebuild::compute_range(r.range, 0, math));
        FUZZ_CHECK(math.npage >= 1 && math.npage <= imgrebuild::kMaxPages);
        static char na[imgrebuild::kLineCap];
        imgrebuild::PageRange stated{};
        FUZZ_CHECK(imgrebuild::parse_name_line(r.name.data(), r.name.data() + r.name.size(), na,
                                               stated) == imgrebuild::NameStatus::ok);
        FUZZ_CHECK(stated == r.range);
    }
    const std::string text = companion::plan_text(plan);
    std::vector<companion::Request> again;
    std::FILE* g = fuzzsupport::open_bytes(text);
    FUZZ_CHECK(companion::read_plan_from(g, "again", again, error));
    std::fclose(g);
    FUZZ_CHECK(again.size() == plan.size());
    for (size_t k = 0; k < plan.size(); ++k) {
        FUZZ_CHECK(again[k].name == plan[k].name);
        FUZZ_CHECK(again[k].range == plan[k].range);
    }
    return 0;
}
