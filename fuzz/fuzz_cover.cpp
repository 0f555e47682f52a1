// imgcover's analysis against the rebuild, on the input laid out as a working directory as
// fuzz_run does. The analysis must never fail where the rebuild reads the head, and where the
// rebuild completes, every capture is read, its image equals output.bin byte for byte, the
// rebuild's loss counts are the ones the analysis predicts, and the coverage, its spans and
// the plan agree with each other.
#include <cstdint>
#include <string>
#include <vector>

#include "analysis.hpp"
#include "limits.hpp"
#include "outcome.hpp"
#include "plan.hpp"
#include "run/driver.hpp"
#include "scratch.hpp"
#include "support.hpp"

namespace {

using namespace fuzzscratch;

// The loss_num values of a log, in order.
std::vector<long long> loss_counts(const std::string& log) {
    std::vector<long long> counts;
    // A report's last line; no name can hold a line feed, so none can fake one.
    const std::string label = "\r\nloss_num=";
    for (size_t at = log.find(label); at != std::string::npos; at = log.find(label, at + 1))
        counts.push_back(std::atoll(log.c_str() + at + label.size()));
    return counts;
}

void check_cover(const uint8_t* bytes, size_t size) {
    lay_out_run(bytes, size);
    imgcover::Analysis a;
    a.dir = ".";
    std::string error;
    const bool analysed = imgcover::analyse(a, error);
    std::remove("output.bin");
    // How the rebuild will end, told before it runs.
    const imgcover::Outcome told = imgcover::predict_rebuild(".", imgcover::walk_run("."), a);

    std::FILE* log = std::tmpfile();
    const int status = imgrebuild::run(no_input, log, stderr);
    const std::string got = fuzzsupport::read_back(log);
    std::fclose(log);
    if (!analysed) {
        FUZZ_CHECK(status == -1);
        return;
    }
    // Foretold to the step: where the rebuild fails, imgcover said so, with its last message.
    FUZZ_CHECK(told.verdict != imgcover::Verdict::unsure);
    FUZZ_CHECK((told.verdict == imgcover::Verdict::fails) == (status != 0));
    if (status != 0) {
        const std::string last = told.log + "\r\n";
        FUZZ_CHECK(got.size() >= last.size() &&
                   got.compare(got.size() - last.size(), last.size(), last) == 0);
    }

    // The analysis agrees with itself.
    const int64_t imagesize = a.head.imagesize;
    int64_t uncovered = 0, previous_last = -2;
    for (const imgcover::Span& s : a.missing) {
        FUZZ_CHECK(s.first >= 0 && s.first <= s.last && s.last < imagesize);
        FUZZ_CHECK(s.first > previous_last + 1); // maximal: a covered byte between two spans
        previous_last = s.last;
        uncovered += s.last - s.first + 1;
    }
    FUZZ_CHECK(a.covered_bytes + uncovered == imagesize);
    // Unsettled bytes are covered ones, in maximal ascending spans, and counted.
    int64_t unsettled = 0;
    previous_last = -2;
    for (const imgcover::Span& s : a.unsettled) {
        FUZZ_CHECK(s.first >= 0 && s.first <= s.last && s.last < imagesize);
        FUZZ_CHECK(s.first > previous_last + 1);
        previous_last = s.last;
        unsettled += s.last - s.first + 1;
        for (int64_t o = s.first; o <= s.last; ++o)
            FUZZ_CHECK((a.coverage[static_cast<size_t>(o)] & imgcover::kCovered) != 0);
    }
    FUZZ_CHECK(unsettled == a.unsettled_bytes);
    // A byte is unsettled only when its frame was contradicted, on some contested byte.
    FUZZ_CHECK(a.unsettled_bytes == 0 || a.contested_bytes > 0);
    // Every covered byte is confirmed (two files gave its value), unsettled, or on one copy;
    // a byte is stale when its value is of an era before the last change.
    int64_t confirmed = 0, single = 0, stale = 0;
    for (int64_t o = 0; o < imagesize; ++o) {
        const uint8_t cov = a.coverage[static_cast<size_t>(o)];
        if ((cov & imgcover::kCovered) == 0)
            continue;
        confirmed += a.ledger.multi(o);
        FUZZ_CHECK(!a.ledger.multi(o) || (cov & imgcover::kUnsettled) == 0);
        single += !a.ledger.multi(o) && (cov & imgcover::kUnsettled) == 0;
        stale += a.era_of(o) != a.era_now();
    }
    FUZZ_CHECK(confirmed == a.confirmed_bytes);
    FUZZ_CHECK(single == a.single_copy_bytes);
    FUZZ_CHECK(stale == a.stale_bytes);
    FUZZ_CHECK(a.stale_bytes == 0 || !a.changes.empty());
    // The plan asks again for every page that holds a missing, an unsettled or a stale byte.
    const std::vector<imgcover::Request> plan = imgcover::make_plan(a, 0, "p");
    std::vector<imgcover::Span> to_ask = a.missing;
    to_ask.insert(to_ask.end(), a.unsettled.begin(), a.unsettled.end());
    to_ask.insert(to_ask.end(), a.stale.begin(), a.stale.end());
    for (const imgcover::Span& s : to_ask) {
        const int64_t page = s.first / imgrebuild::kPageBytes;
        bool planned = false;
        for (const imgcover::Request& q : plan) {
            const int64_t first =
                (int64_t{q.range.SSC} - a.head.SC_S) * imgrebuild::kBlockPages + q.range.SP;
            const int64_t last =
                (int64_t{q.range.ESC} - a.head.SC_S) * imgrebuild::kBlockPages + q.range.EP;
            FUZZ_CHECK(last >= first && last - first < imgrebuild::kMaxPages);
            planned = planned || (first <= page && page <= last);
        }
        FUZZ_CHECK(planned);
    }
    FUZZ_CHECK(plan.empty() == to_ask.empty());
    FUZZ_CHECK(a.complete() == to_ask.empty());
    if (status != 0)
        return;

    // The rebuild read everything: so did the analysis, and it rebuilt the same image.
    bool exists = false;
    const std::string output = read_file("output.bin", exists);
    FUZZ_CHECK(exists);
    FUZZ_CHECK(output.size() == a.image.size());
    FUZZ_CHECK(output.compare(0, output.size(), std::string(a.image.begin(), a.image.end())) == 0);
    for (int64_t o = 0; o < imagesize; ++o) {
        if ((a.coverage[static_cast<size_t>(o)] & imgcover::kCovered) == 0)
            FUZZ_CHECK(output[static_cast<size_t>(o)] == '\xFF');
    }
    std::vector<long long> predicted;
    for (const imgcover::Capture& c : a.captures) {
        FUZZ_CHECK(c.status == imgcover::CaptureStatus::ok);
        predicted.push_back(c.reported);
    }
    FUZZ_CHECK(predicted == loss_counts(got));
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size) {
    enter_scratch_directory();
    check_cover(bytes, size);
    leave_scratch_directory();
    return 0;
}
