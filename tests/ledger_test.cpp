// The ledger of placed values: which value a byte holds, whether frames disagreed on it, and
// whether two or more sources placed its value, after sequences of placements; a source that
// gives again what an earlier one gave (the same file read again) confirms nothing.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ledger.hpp"

namespace {

using imgcover::Ledger;

// One placement on a byte: the source placing it (a small letter: the source of its capital
// letter read again), and the value.
struct Put {
    char source;
    uint8_t value;
};

struct Case {
    std::string what;
    std::vector<Put> puts;
    uint8_t value;
    bool contested;
    bool multi;
};

// Places `puts` on byte 1 of a three-byte image, one byte frames, sources one after another:
// a source that placed the byte in the step before places it again.
void place_all(Ledger& l, std::vector<uint8_t>& image, const std::vector<Put>& puts) {
    char last = 0;
    for (const Put& p : puts) {
        l.place(image.data(), 1, 1, &p.value, p.source == last,
                std::isupper(static_cast<unsigned char>(p.source)) != 0);
        last = p.source;
    }
}

TEST(Ledger, TableOfPlacementSequencesOnOneByte) {
    const std::vector<Case> cases = {
        {"one source", {{'A', 1}}, 1, false, false},
        {"a slot that came again", {{'A', 1}, {'A', 1}}, 1, false, false},
        {"two sources agree", {{'A', 1}, {'B', 1}}, 1, false, true},
        {"two sources disagree", {{'A', 1}, {'B', 2}}, 2, true, false},
        {"back to the first value", {{'A', 1}, {'B', 2}, {'C', 1}}, 1, true, true},
        {"a third value, then the second", {{'A', 1}, {'B', 2}, {'C', 3}, {'D', 2}}, 2, true, true},
        {"a fourth value, then the first",
         {{'A', 1}, {'B', 2}, {'C', 3}, {'D', 4}, {'E', 1}},
         1,
         true,
         true},
        {"a fourth value, then the third",
         {{'A', 1}, {'B', 2}, {'C', 3}, {'D', 4}, {'E', 3}},
         3,
         true,
         true},
        {"one source changes its mind", {{'A', 1}, {'A', 2}, {'A', 1}}, 1, true, false},
        {"one source changes its mind, another agrees",
         {{'A', 1}, {'A', 2}, {'B', 2}},
         2,
         true,
         true},
        {"the second source takes back its value", {{'A', 1}, {'B', 2}, {'B', 1}}, 1, true, true},
        {"agreement, then a lone other value", {{'A', 5}, {'B', 5}, {'C', 6}}, 6, true, false},
        {"agreement, other value, agreement",
         {{'A', 5}, {'B', 5}, {'C', 6}, {'D', 5}},
         5,
         true,
         true},
        {"a value held by one source, then again by it",
         {{'A', 1}, {'B', 2}, {'A', 1}},
         1,
         true,
         true},
        {"a source read again confirms nothing", {{'A', 1}, {'a', 1}}, 1, false, false},
        {"a source read again after one that disagrees",
         {{'A', 1}, {'B', 2}, {'a', 1}},
         1,
         true,
         false},
        {"a source read again, then a copy agrees", {{'A', 1}, {'a', 1}, {'B', 1}}, 1, false, true},
        {"two copies agree, then one is read again",
         {{'A', 1}, {'B', 1}, {'a', 1}},
         1,
         false,
         true},
    };
    for (const Case& c : cases) {
        Ledger l;
        l.reset(3);
        std::vector<uint8_t> image(3, 0xFF);
        place_all(l, image, c.puts);
        EXPECT_EQ(image[1], c.value) << c.what;
        EXPECT_EQ(l.contested(1), c.contested) << c.what;
        EXPECT_EQ(l.any_contested(0, 2), c.contested) << c.what;
        EXPECT_EQ(l.multi(1), c.multi) << c.what;
        EXPECT_TRUE(l.placed(1)) << c.what;
        // The bytes beside it are untouched.
        EXPECT_FALSE(l.placed(0) || l.placed(2)) << c.what;
        EXPECT_EQ(image[0], 0xFF) << c.what;
        EXPECT_EQ(image[2], 0xFF) << c.what;
    }
}

// Per byte, the plain model: every value placed and the sources that placed it.
struct ModelByte {
    bool placed = false;
    uint8_t value = 0;
    std::map<uint8_t, std::set<int>> by;
};

// Random sources, each placing a few frames of four bytes on a twelve-byte image, some slots
// again, from a small alphabet so that bytes see many values, some sources an earlier one read
// again: the ledger says what the model says (two files, not two sources, make a value placed
// twice), whichever of its paths (fresh bytes, agreeing bytes, byte by byte) it took.
TEST(Ledger, AgreesWithThePlainModelOnRandomFrames) {
    std::mt19937 rng(7);
    for (int round = 0; round < 400; ++round) {
        constexpr int kBytes = 12;
        Ledger l;
        l.reset(kBytes);
        std::vector<uint8_t> image(kBytes, 0xFF);
        std::vector<ModelByte> m(kBytes);
        const int sources = 1 + static_cast<int>(rng() % 6);
        const uint8_t alphabet = static_cast<uint8_t>(1 + rng() % 5);
        // Per source, its file and its frames (slot and values), so that a source can be an
        // earlier one's file read again: the same frames, confirming nothing.
        struct Frame {
            int slot;
            uint8_t values[4];
        };
        std::vector<int> file_of;
        std::vector<std::vector<Frame>> frames_of;
        for (int s = 0; s < sources; ++s) {
            const bool again_read = s > 0 && rng() % 4 == 0;
            const int earlier = again_read ? static_cast<int>(rng() % static_cast<unsigned>(s)) : s;
            file_of.push_back(again_read ? file_of[static_cast<size_t>(earlier)] : s);
            std::vector<Frame> frames;
            if (again_read) {
                frames = frames_of[static_cast<size_t>(earlier)];
            } else {
                const int n = 1 + static_cast<int>(rng() % 4);
                for (int f = 0; f < n; ++f) {
                    Frame fr{static_cast<int>(rng() % 3), {}};
                    for (uint8_t& v : fr.values)
                        v = static_cast<uint8_t>(rng() % alphabet);
                    if (rng() % 3 == 0) // copy what the image holds: agreeing frames
                        for (int k = 0; k < 4; ++k)
                            fr.values[k] = image[static_cast<size_t>(fr.slot * 4 + k)];
                    frames.push_back(fr);
                }
            }
            frames_of.push_back(frames);
            std::set<int> filled; // slots this source placed
            for (const Frame& fr : frames) {
                l.place(image.data(), fr.slot * 4, fr.slot * 4 + 3, fr.values,
                        filled.count(fr.slot) != 0, !again_read);
                filled.insert(fr.slot);
                for (int k = 0; k < 4; ++k) {
                    ModelByte& b = m[static_cast<size_t>(fr.slot * 4 + k)];
                    b.placed = true;
                    b.value = fr.values[k];
                    b.by[fr.values[k]].insert(file_of.back());
                }
            }
        }
        for (int o = 0; o < kBytes; ++o) {
            const ModelByte& b = m[static_cast<size_t>(o)];
            const std::string at = "round " + std::to_string(round) + " byte " + std::to_string(o);
            ASSERT_EQ(l.placed(o), b.placed) << at;
            if (!b.placed) {
                EXPECT_EQ(image[static_cast<size_t>(o)], 0xFF) << at;
                continue;
            }
            EXPECT_EQ(image[static_cast<size_t>(o)], b.value) << at;
            EXPECT_EQ(l.contested(o), b.by.size() > 1) << at;
            EXPECT_EQ(l.multi(o), b.by.at(b.value).size() > 1) << at;
        }
    }
}

} // namespace
