// Contested and unsettled bytes: imgcover against a plain model of the definitions, and the
// operator's loop (plan, resend, rebuild) settling what frames disagree on.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "capture/capture_file.hpp"
#include "capture/line_reader.hpp"
#include "capture/range.hpp"
#include "sim.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::Workdir;
using json = nlohmann::json;
using namespace imgrebuild;

namespace {

using e2e::lines_of;
using e2e::Ran;

Ran framesim(const std::string& dir, const std::string& args) {
    return e2e::sh(dir, e2e::kFramesim + " " + args);
}

Ran imgcover(const std::string& dir, const std::string& args) {
    return e2e::sh(dir, e2e::kImgcover + " " + args);
}

// --- The plain model ---------------------------------------------------------------------------
// Every value every sound frame placed on every image byte, kept as a list per byte, and the
// definitions read straight off those lists. Written to be obviously right, not fast.

struct Placed {
    size_t listing; // which name line
    size_t frame;   // which frame, counted over the whole run in the rebuild's order
    uint8_t value;
};

struct ModelCapture {
    int64_t lines = 0, blank = 0, bad = 0, not_image = 0, frames = 0, duplicates = 0;
    int64_t contradicted = 0;
    bool read = false;
};

struct Model {
    int64_t imagesize = 0;
    std::vector<ModelCapture> captures;
    std::vector<size_t> frame_listing;   // per frame: its name line
    std::vector<std::vector<Placed>> at; // per image byte
    int64_t covered = 0, contested = 0, unsettled = 0;
    std::vector<std::pair<int64_t, int64_t>> unsettled_spans;
    int64_t confirmed = 0, single_copy = 0, stale = 0;
    std::vector<size_t> changes; // the name lines where the memory was seen to change
    bool complete = false;
};

// The file a name line names, with its range: its device and inode, or its path when there is
// no such file.
std::string file_of(const std::string& path, const std::string& range) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0)
        return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino) + " " + range;
    return fs::weakly_canonical(fs::absolute(path)).string() + " " + range;
}

Model model_of(const std::string& dir) {
    Model m;
    const std::vector<std::string> info = lines_of(e2e::read_file(dir + "/file_info.txt"));
    m.imagesize = std::stoll(info.at(1).substr(info[1].find(' ') + 1));
    const int32_t SC_S = std::stoi(info.at(3).substr(info[3].find(' ') + 1));
    m.at.resize(static_cast<size_t>(m.imagesize));
    auto reader = std::make_unique<LineReader>();
    std::vector<char> data(kLineCap);
    Frame frame{};
    // Eras: a frame that differs on three bytes or more from the values those bytes hold from
    // the current era (bytes frames disagreed on already left out) starts a new one, for its whole
    // name line (the name line that began the current era still compares with the era before); a
    // file listed again keeps the era its first listing had.
    std::vector<std::string> file(info.size());
    std::vector<int64_t> era(info.size(), 0);
    std::map<std::string, size_t> first_listing;
    int64_t era_now = 0;
    for (size_t i = 4; i < info.size(); ++i) {
        const size_t listing = i - 4;
        m.captures.emplace_back();
        ModelCapture& mc = m.captures.back();
        char na[kLineCap];
        PageRange range{};
        RangeMath math{};
        if (parse_name_line(info[i].data(), info[i].data() + info[i].size(), na, range) !=
                NameStatus::ok ||
            !compute_range(range, SC_S, math))
            continue;
        file[listing] = file_of(dir + "/" + na,
                                std::to_string(range.SSC) + "_" + std::to_string(range.SP) + "_" +
                                    std::to_string(range.ESC) + "_" + std::to_string(range.EP));
        const auto placed = first_listing.emplace(file[listing], listing);
        const bool fresh = placed.second; // the file's first listing
        era[listing] = fresh ? era_now : era[placed.first->second];
        std::FILE* f = std::fopen((dir + "/" + na).c_str(), "rb");
        if (f == nullptr)
            continue;
        mc.read = true;
        std::set<int32_t> filled;
        reader_open(*reader, f);
        const FramesRead r =
            read_frames(*reader, data.data(), frame, 1, [&](int64_t, FrameStatus status) {
                if (status == FrameStatus::blank)
                    ++mc.blank;
                else if (status == FrameStatus::not_image)
                    ++mc.not_image;
                else if (status != FrameStatus::ok)
                    ++mc.bad;
                if (status != FrameStatus::ok)
                    return;
                const int32_t PN = frame.counter % math.mcomsize;
                const bool again = filled.count(PN) > 0;
                mc.duplicates += again;
                filled.insert(PN);
                ++mc.frames;
                const size_t id = m.frame_listing.size();
                m.frame_listing.push_back(listing);
                const int64_t start = math.base + int64_t{kSlotBytes} * PN;
                int differ = 0;
                const bool began = !m.changes.empty() && m.changes.back() == listing;
                for (int64_t j = 0; j < kSlotBytes && fresh && !again; ++j) {
                    const int64_t o = start + j;
                    if (o < 0 || o > math.limit || o >= m.imagesize)
                        continue;
                    const std::vector<Placed>& list = m.at[static_cast<size_t>(o)];
                    if (list.empty())
                        continue;
                    // Bytes frames disagreed on already do not count.
                    bool contested = false;
                    for (const Placed& p : list)
                        contested = contested || p.value != list.front().value;
                    const int64_t e = era[list.back().listing];
                    differ += !contested && (e == era_now || (began && e == era_now - 1)) &&
                              list.back().value != (frame.rda[kFrameDataFirst + j] & 0xFF);
                }
                if (differ >= 3 && !began) {
                    m.changes.push_back(listing);
                    era[listing] = ++era_now;
                }
                for (int64_t j = 0; j < kSlotBytes; ++j) {
                    const int64_t o = start + j;
                    if (o < 0 || o > math.limit || o >= m.imagesize)
                        continue;
                    std::vector<Placed>& list = m.at[static_cast<size_t>(o)];
                    // A value of another era that differs: what came before is forgotten.
                    const uint8_t value =
                        static_cast<uint8_t>(frame.rda[kFrameDataFirst + j] & 0xFF);
                    if (!list.empty() && era[list.back().listing] != era[listing] &&
                        list.back().value != value)
                        list.clear();
                    list.push_back({listing, id, value});
                }
            });
        mc.lines = r.lines;
        std::fclose(f);
    }
    // Contested bytes, and the frames they contradict.
    std::vector<bool> contradicted(m.frame_listing.size(), false);
    for (const std::vector<Placed>& list : m.at) {
        std::set<uint8_t> values;
        for (const Placed& p : list)
            values.insert(p.value);
        if (values.size() < 2)
            continue;
        ++m.contested;
        for (const Placed& p : list)
            contradicted[p.frame] = true;
    }
    for (size_t id = 0; id < contradicted.size(); ++id)
        m.captures[m.frame_listing[id]].contradicted += contradicted[id];
    // Unsettled: the last frame placed is contradicted, and no other name line agrees with it.
    for (int64_t o = 0; o < m.imagesize; ++o) {
        const std::vector<Placed>& list = m.at[static_cast<size_t>(o)];
        if (list.empty())
            continue;
        ++m.covered;
        const Placed& last = list.back();
        bool confirmed = false;
        for (const Placed& p : list)
            confirmed =
                confirmed || (file[p.listing] != file[last.listing] && p.value == last.value);
        m.confirmed += confirmed;
        m.stale += era[last.listing] != era_now;
        if (!contradicted[last.frame] || confirmed) {
            m.single_copy += !confirmed;
            continue;
        }
        ++m.unsettled;
        if (!m.unsettled_spans.empty() && m.unsettled_spans.back().second == o - 1)
            m.unsettled_spans.back().second = o;
        else
            m.unsettled_spans.emplace_back(o, o);
    }
    m.complete = m.covered == m.imagesize && m.unsettled == 0 && m.stale == 0;
    return m;
}

// Compares imgcover's JSON with the model, field by field.
void expect_agrees(const json& j, const Model& m, int status) {
    EXPECT_EQ(j["covered_bytes"].get<int64_t>(), m.covered);
    EXPECT_EQ(j["contested_bytes"].get<int64_t>(), m.contested);
    EXPECT_EQ(j["unsettled_bytes"].get<int64_t>(), m.unsettled);
    std::vector<std::pair<int64_t, int64_t>> spans;
    for (const json& s : j["unsettled_spans"])
        spans.emplace_back(s[0].get<int64_t>(), s[1].get<int64_t>());
    EXPECT_EQ(spans, m.unsettled_spans);
    EXPECT_EQ(j["confirmed_bytes"].get<int64_t>(), m.confirmed);
    EXPECT_EQ(j["single_copy_bytes"].get<int64_t>(), m.single_copy);
    EXPECT_EQ(j["stale_bytes"].get<int64_t>(), m.stale);
    ASSERT_EQ(j["changes"].size(), m.changes.size());
    for (size_t k = 0; k < m.changes.size(); ++k)
        EXPECT_EQ(j["changes"][k]["name"], j["captures"][m.changes[k]]["name"]);
    EXPECT_EQ(j["complete"].get<bool>(), m.complete);
    EXPECT_EQ(status, m.complete ? 0 : 1);
    ASSERT_EQ(j["captures"].size(), m.captures.size());
    for (size_t i = 0; i < m.captures.size(); ++i) {
        const json& listed = j["captures"][i];
        const ModelCapture& mc = m.captures[i];
        SCOPED_TRACE("capture " + std::to_string(i) + " " + listed["name"].get<std::string>());
        if (!mc.read)
            continue;
        // A file listed again tells what it holds at its first listing.
        const json& c = listed.contains("same_file_as")
                            ? j["captures"][listed["same_file_as"].get<size_t>()]
                            : listed;
        EXPECT_EQ(listed["frames"].get<int64_t>(), mc.frames);
        EXPECT_EQ(c["lines"].get<int64_t>(), mc.lines);
        EXPECT_EQ(c["blank_lines"].get<int64_t>(), mc.blank);
        EXPECT_EQ(c["bad_lines"].get<int64_t>(), mc.bad);
        EXPECT_EQ(c["not_image"].get<int64_t>(), mc.not_image);
        EXPECT_EQ(c["frames"].get<int64_t>(), mc.frames);
        EXPECT_EQ(c["duplicate_frames"].get<int64_t>(), mc.duplicates);
        EXPECT_EQ(c["contradicted_frames"].get<int64_t>(), mc.contradicted);
    }
}

// Appends name lines to file_info.txt and counts them in its numfile line.
void list_more(const std::string& dir, const std::vector<std::string>& names) {
    std::vector<std::string> lines = lines_of(e2e::read_file(dir + "/file_info.txt"));
    for (const std::string& n : names)
        lines.push_back(n);
    lines[2] = "numfile " + std::to_string(lines.size() - 4);
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    e2e::write_file(dir + "/file_info.txt", s);
}

std::vector<std::string> plan_names(const std::string& dir, const std::string& plan) {
    std::vector<std::string> names;
    for (const std::string& l : lines_of(e2e::read_file(dir + "/" + plan))) {
        std::istringstream in(l);
        std::string a, b, c, d, name;
        if (in >> a >> b >> c >> d >> name)
            names.push_back(name);
    }
    return names;
}

// --- Differential: the model against imgcover over many runs ----------------------------------

class AgainstModel : public ::testing::TestWithParam<uint64_t> {};

TEST_P(AgainstModel, EveryFieldAgrees) {
    const uint64_t seed = GetParam();
    framesim::Random rng(seed * 31 + 7);
    Workdir w;
    const std::string dir = w.path();
    const std::string size = std::to_string(2000 + rng.below(40000));
    const std::string common =
        " --corrupt " + std::to_string(0.01 * rng.below(6)) + " --duplicates " +
        std::to_string(0.05 * rng.below(3)) + " --noise " + std::to_string(0.05 * rng.below(2)) +
        (rng.chance(0.3) ? " --wrap" : "") + " --sc-s " + std::to_string(rng.below(4));
    ASSERT_EQ(framesim(dir, "--out . --loss 0.1 --image-size " + size + " --pages-per-file " +
                                std::to_string(1 + rng.below(30)) + " --passes " +
                                std::to_string(1 + rng.below(3)) + " --repeat " +
                                (rng.chance(0.5) ? "all" : "half") + " --seed " +
                                std::to_string(seed) + common)
                  .status,
              0);
    // An image the memory changed to, for some resends.
    ASSERT_EQ(framesim(dir, "--out other --image-size " + size + " --seed " +
                                std::to_string(seed + 1000) + " --save-image other.img")
                  .status,
              0);
    for (int round = 0; round < 3; ++round) {
        const std::string prefix = "r" + std::to_string(round);
        const Ran r = imgcover(dir, "--json cover.json --plan plan.txt --prefix " + prefix);
        ASSERT_LE(r.status, 1) << r.err;
        expect_agrees(json::parse(e2e::read_file(dir + "/cover.json")), model_of(dir), r.status);
        if (r.status == 0 || HasFailure())
            return;
        const bool changed = rng.chance(0.3);
        ASSERT_EQ(framesim(dir, "--out . --ranges plan.txt --loss 0.1 --seed " +
                                    std::to_string(seed * 10 + static_cast<uint64_t>(round)) +
                                    common + (changed ? " --image other.img" : ""))
                      .status,
                  0);
        std::vector<std::string> names = plan_names(dir, "plan.txt");
        if (rng.chance(0.3) && !names.empty())
            names.push_back(names.front()); // the same capture listed twice
        if (rng.chance(0.3) && !names.empty())
            names.push_back("./" + names.back()); // and under another name
        list_more(dir, names);
    }
    const Ran r = imgcover(dir, "--json cover.json");
    ASSERT_LE(r.status, 1) << r.err;
    expect_agrees(json::parse(e2e::read_file(dir + "/cover.json")), model_of(dir), r.status);
}

INSTANTIATE_TEST_SUITE_P(Seeds, AgainstModel, ::testing::Range<uint64_t>(1, 41));

// --- The operator's loop --------------------------------------------------------------------

// Plans, resends the plan from the run's own image and lists the resend, until imgcover finds
// the image complete. The rounds it took, or -1 past `most`.
int settle(const std::string& dir, const std::string& sending, uint64_t seed, int most,
           const std::string& options = "") {
    for (int round = 0; round <= most; ++round) {
        const std::string prefix = "s" + std::to_string(round);
        const Ran r = imgcover(dir, "--json cover.json --plan plan.txt --next-info next.txt "
                                    "--prefix " +
                                        prefix + options);
        EXPECT_LE(r.status, 1) << r.err;
        const json j = json::parse(e2e::read_file(dir + "/cover.json"));
        EXPECT_EQ(r.status == 0, j["complete"].get<bool>());
        if (r.status == 0) {
            EXPECT_TRUE(j["plan"].empty());
            return round;
        }
        EXPECT_FALSE(j["plan"].empty()) << "not complete, and nothing to ask for";
        if (framesim(dir, "--out . --ranges plan.txt" + sending + " --seed " +
                              std::to_string(seed * 100 + static_cast<uint64_t>(round)))
                .status != 0)
            return -1;
        fs::rename(dir + "/next.txt", dir + "/file_info.txt");
    }
    return -1;
}

class ChangedMemory : public ::testing::TestWithParam<uint64_t> {};

// (a) A resend cut from another image disagrees over whole frames: it is told as a changed
// memory, every byte from before it is asked for again, and the run exits 1. When the memory
// then gives the first image again, the loop with --confirm asks again for the pages that rest
// on the odd capture alone, and ends on the image the memory now holds.
TEST_P(ChangedMemory, IsToldAndConfirmEndsOnWhatTheMemoryHolds) {
    const uint64_t seed = GetParam();
    Workdir w;
    const std::string dir = w.path();
    ASSERT_EQ(framesim(dir, "--out . --loss 0.05 --image-size 30000 --pages-per-file 16 "
                            "--save-image true.img --seed " +
                                std::to_string(seed))
                  .status,
              0);
    ASSERT_EQ(framesim(dir, "--out other --image-size 30000 --save-image other.img --seed " +
                                std::to_string(seed + 500))
                  .status,
              0);
    // The memory changed, and pages 10 to 40 are received again from it.
    e2e::write_file(dir + "/changed.txt", "5 10 5 40 changed_5_10_5_40.txt\n");
    ASSERT_EQ(framesim(dir, "--out . --ranges changed.txt --loss 0 --image other.img").status, 0);
    list_more(dir, {"changed_5_10_5_40.txt"});
    const Ran r = imgcover(dir, "--json cover.json");
    EXPECT_EQ(r.status, 1);
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    ASSERT_EQ(j["changes"].size(), 1u);
    EXPECT_EQ(j["changes"][0]["name"], "changed_5_10_5_40.txt");
    EXPECT_EQ(j["changes"][0]["first_page"], json::array({5, 10}));
    // Every covered byte outside the pages received again predates the change.
    EXPECT_GT(j["stale_bytes"].get<int64_t>(), 30000 - 31 * 256 - 2000);
    EXPECT_FALSE(j["complete"].get<bool>());
    EXPECT_NE(r.out.find("changed memory: "), std::string::npos) << r.out;

    const int rounds = settle(dir, " --loss 0.05", seed, 8, " --confirm");
    ASSERT_GE(rounds, 1) << "did not end complete within 8 rounds";
    std::printf("changed memory, seed %llu: complete after %d rounds\n",
                static_cast<unsigned long long>(seed), rounds);
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    const std::string truth = e2e::read_file(dir + "/true.img");
    EXPECT_TRUE(rebuilt.output.compare(0, truth.size(), truth) == 0)
        << "the rebuilt image is not the one the memory holds";
}

INSTANTIATE_TEST_SUITE_P(Seeds, ChangedMemory, ::testing::Range<uint64_t>(1, 6));

class Corrupted : public ::testing::TestWithParam<uint64_t> {};

// (b) Frames corrupted on the way, in passes that receive every range twice: the loop ends
// complete within 8 rounds, and the image is the one sent wherever a second capture gave a
// byte. (A byte that only one capture ever gave cannot be checked: it may stay wrong.)
TEST_P(Corrupted, TheLoopSettlesEveryCheckableByte) {
    const uint64_t seed = GetParam();
    Workdir w;
    const std::string dir = w.path();
    const std::string sending = " --loss 0.05 --corrupt 0.02";
    ASSERT_EQ(framesim(dir, "--out . --image-size 40000 --pages-per-file 24 --passes 2 "
                            "--repeat all --save-image sent.img --seed " +
                                std::to_string(seed) + sending)
                  .status,
              0);
    const int rounds = settle(dir, sending, seed, 8);
    ASSERT_GE(rounds, 0) << "did not end complete within 8 rounds";
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    const std::string sent = e2e::read_file(dir + "/sent.img");
    const Model m = model_of(dir);
    int64_t unchecked = 0;
    for (size_t o = 0; o < sent.size(); ++o) {
        if (rebuilt.output[o] == sent[o])
            continue;
        std::set<size_t> listings;
        for (const Placed& p : m.at[o])
            listings.insert(p.listing);
        EXPECT_EQ(listings.size(), 1u) << "byte " << o << " is wrong though checked";
        ++unchecked;
    }
    EXPECT_LE(unchecked, 163) << "more wrong bytes than one frame holds";
    std::printf("corrupted, seed %llu: complete after %d rounds, %lld bytes only one capture gave "
                "are wrong\n",
                static_cast<unsigned long long>(seed), rounds, static_cast<long long>(unchecked));
}

INSTANTIATE_TEST_SUITE_P(Seeds, Corrupted, ::testing::Range<uint64_t>(1, 31));

// A link as noisy as it gets in a drill (a frame in twenty corrupted, three in ten lost): resends
// straddle earlier frames, one of whose bytes may be corrupted each, and still no round takes the
// corruption for a changed memory; the loop with --confirm ends on the image sent.
TEST(Corrupted, IsNeverTakenForAChangedMemory) {
    Workdir w;
    const std::string dir = w.path();
    const std::string sending = " --corrupt 0.05 --loss 0.3";
    ASSERT_EQ(framesim(dir, "--out . --image-size 100000 --save-image sent.img --seed 3" + sending)
                  .status,
              0);
    bool complete = false;
    for (int round = 1; round <= 16 && !complete && !HasFailure(); ++round) {
        const Ran r = imgcover(dir, "--confirm --json cover.json --plan plan.txt --next-info "
                                    "next.txt --prefix auto");
        ASSERT_LE(r.status, 1) << r.err;
        const json j = json::parse(e2e::read_file(dir + "/cover.json"));
        EXPECT_EQ(j["changes"], json::array()) << "round " << round;
        complete = r.status == 0;
        if (complete)
            break;
        ASSERT_EQ(framesim(dir, "--out . --ranges plan.txt --seed " + std::to_string(round + 100) +
                                    sending)
                      .status,
                  0);
        fs::rename(dir + "/next.txt", dir + "/file_info.txt");
    }
    ASSERT_TRUE(complete) << "did not end complete within 16 rounds";
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    const std::string sent = e2e::read_file(dir + "/sent.img");
    EXPECT_TRUE(rebuilt.output.compare(0, sent.size(), sent) == 0);
}

class OneCopy : public ::testing::TestWithParam<uint64_t> {};

// One pass over a noisy link, then the loop with --confirm: every byte comes to rest on two
// capture files that agree, so the image is the one sent, every byte of it.
TEST_P(OneCopy, ConfirmEndsWithTheImageSent) {
    const uint64_t seed = GetParam();
    Workdir w;
    const std::string dir = w.path();
    const std::string sending = " --loss 0.05 --corrupt 0.02";
    ASSERT_EQ(framesim(dir, "--out . --image-size 40000 --pages-per-file 24 --save-image sent.img "
                            "--seed " +
                                std::to_string(seed) + sending)
                  .status,
              0);
    const int rounds = settle(dir, sending, seed, 8, " --confirm");
    ASSERT_GE(rounds, 1) << "did not end complete within 8 rounds";
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    const std::string sent = e2e::read_file(dir + "/sent.img");
    EXPECT_TRUE(rebuilt.output.compare(0, sent.size(), sent) == 0)
        << "the rebuilt image is not the one sent";
    std::printf("one copy, seed %llu: complete with --confirm after %d rounds\n",
                static_cast<unsigned long long>(seed), rounds);
}

INSTANTIATE_TEST_SUITE_P(Seeds, OneCopy, ::testing::Range<uint64_t>(1, 31));

class MemoryChanged : public ::testing::TestWithParam<uint64_t> {};

// A full pass from one image, then resends of imgcover's plan from the image the memory changed
// to (50,000 bytes in the middle): the change is told at the first resend, every byte from
// before it is asked for again, and the loop ends complete on the new image within 5 rounds,
// no round before saying complete.
TEST_P(MemoryChanged, EndsOnTheNewImage) {
    const uint64_t seed = GetParam();
    Workdir w;
    const std::string dir = w.path();
    ASSERT_EQ(framesim(dir, "--out . --loss 0.05 --image-size 200000 --save-image v1.img --seed " +
                                std::to_string(seed))
                  .status,
              0);
    std::string v2 = e2e::read_file(dir + "/v1.img");
    framesim::Random rng(seed + 77);
    for (size_t o = 75000; o < 125000; ++o)
        v2[o] = static_cast<char>(v2[o] ^ (1 + rng.below(255)));
    e2e::write_file(dir + "/v2.img", v2);
    // The first round plans from the pass alone; its resend comes from the changed memory.
    const Ran first = imgcover(dir, "--json cover.json");
    ASSERT_EQ(first.status, 1) << "a pass with losses is not complete";
    const int rounds = settle(dir, " --loss 0.05 --image v2.img", seed, 5);
    ASSERT_GE(rounds, 1) << "did not end complete within 5 rounds";
    std::printf("memory changed, seed %llu: complete after %d rounds\n",
                static_cast<unsigned long long>(seed), rounds);
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    EXPECT_GE(j["changes"].size(), 1u) << "the change was never told";
    const e2e::RunResult rebuilt = w.run();
    ASSERT_EQ(rebuilt.status, 0);
    EXPECT_TRUE(rebuilt.output.compare(0, v2.size(), v2) == 0)
        << "the rebuilt image is not the new one";
}

INSTANTIATE_TEST_SUITE_P(Seeds, MemoryChanged, ::testing::Range<uint64_t>(1, 6));

} // namespace
