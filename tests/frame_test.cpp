#include "capture/frame.hpp"

#include <gtest/gtest.h>

#include "capture/frame_lanes.hpp"

#include <cstring>
#include <string>

#include "frames.hpp"
#include "plain_model.hpp"

using namespace imgrebuild;
namespace tf = testframes;

namespace {

FrameStatus decode(const std::string& text, Frame& f) {
    return decode_frame(text.data(), text.data() + text.size(), f);
}

// Every data value from 0 to 255, C0 and DB among them, comes back through the escaping.
TEST(DecodeFrame, EveryByteValueRoundTrips) {
    for (int first = 0; first < 256; first += 163) {
        std::vector<uint8_t> data(163);
        for (int j = 0; j < 163; ++j)
            data[static_cast<size_t>(j)] = static_cast<uint8_t>((first + j) % 256);
        const std::vector<int> values = tf::payload(0x0102C0, data);
        Frame f{};
        ASSERT_EQ(decode(tf::line(0xC1, tf::escape(values)), f), FrameStatus::ok);
        EXPECT_EQ(f.id, 0xC1);
        EXPECT_EQ(f.counter, 0x0102C0);
        for (int k = 0; k < kFrameValues; ++k)
            ASSERT_EQ(f.rda[k], values[static_cast<size_t>(k)]) << "value " << k;
    }
}

TEST(DecodeFrame, PairsFoldAndShiftTheValuesAfterThem) {
    // Plain tokens 0..167, with DB DC put at payload positions 11 and 12 (tokens 30, 31).
    std::vector<int> tokens;
    for (int k = 0; k < 168; ++k)
        tokens.push_back(k);
    tokens[11] = 0xDB;
    tokens.insert(tokens.begin() + 12, 0xDC);
    Frame f{};
    ASSERT_EQ(decode(tf::line(0xC0, tokens), f), FrameStatus::ok);
    EXPECT_EQ(f.rda[10], 10);
    EXPECT_EQ(f.rda[11], 0xC0);
    EXPECT_EQ(f.rda[12], 12);
    EXPECT_EQ(f.rda[167], 167);
}

TEST(DecodeFrame, PairTestComparesRawTokens) {
    // DB DD DC: the DD completes a pair (DB); the DC follows a DD and stays plain.
    // DB DB DC: the first DB stays plain, the second pairs with the DC (C0).
    std::vector<int> tokens = {0, 0, 1, 0, 0xDB, 0xDD, 0xDC, 0xDB, 0xDB, 0xDC};
    while (tokens.size() < 168 + 2)
        tokens.push_back(0x55);
    Frame f{};
    ASSERT_EQ(decode(tf::line(0xC0, tokens), f), FrameStatus::ok);
    const int want[] = {0, 0, 1, 0, 0xDB, 0xDC, 0xDB, 0xC0, 0x55};
    for (int k = 0; k < 9; ++k)
        EXPECT_EQ(f.rda[k], want[k]) << "value " << k;
    EXPECT_EQ(f.rda[167], 0x55);
}

TEST(DecodeFrame, PayloadStartIsNeverTheSecondHalfOfAPair) {
    // Header token 18 is DB and the first payload token DC: the DC is a plain value.
    std::string text = "C0";
    for (int k = 1; k < 18; ++k)
        text += " 00";
    text += " DB DC";
    for (int k = 1; k < 168; ++k)
        text += " 01";
    Frame f{};
    ASSERT_EQ(decode(text, f), FrameStatus::ok);
    EXPECT_EQ(f.rda[0], 0xDC);
    EXPECT_EQ(f.counter, 0xDC0101);
}

TEST(DecodeFrame, TokensReadLikeStrtol) {
    // Tabs are no separators; prefixes and signs are read; extra tokens are ignored unread.
    // Header tokens are skipped unread, numbers or not: "junk", 16 of "hdr", "zz".
    std::string text = "0xc0\t junk";
    for (int k = 2; k < 18; ++k)
        text += "  hdr";
    text += " zz 00 0X0 +5";
    for (int k = 3; k < 168; ++k)
        text += " 7f\t";
    text += " tail not-a-number \n";
    Frame f{};
    ASSERT_EQ(decode(text, f), FrameStatus::ok);
    EXPECT_EQ(f.counter, 5);
    EXPECT_EQ(f.rda[4], 0x7F);
}

// The decoding lanes this processor can run; the portable one always.
std::vector<DecodeLane> lanes_here() {
    std::vector<DecodeLane> v;
    for (const DecodeLane lane : kDecodeLanes) {
        if (lane_available(lane))
            v.push_back(lane);
    }
    return v;
}

TEST(DecodeLanes, PortableAlwaysRunsAndTheChoiceIsAvailable) {
    EXPECT_TRUE(lane_available(DecodeLane::portable));
    EXPECT_TRUE(lane_available(lane_in_use()));
#if defined(__x86_64__)
    // Every x86-64 processor has SSE2.
    EXPECT_EQ(lane_available(DecodeLane::sse2), lane_built(DecodeLane::sse2));
#endif
}

TEST(DecodeLanes, TheVariableForcesAnAvailableLaneAndIsIgnoredOtherwise) {
    const DecodeLane widest = lanes_here().back();
    EXPECT_EQ(lane_for(nullptr), widest);
    EXPECT_EQ(lane_for(""), widest);
    EXPECT_EQ(lane_for("avx-512"), widest);
    EXPECT_EQ(lane_for("AVX2"), widest); // names are lower case
    for (const DecodeLane lane : kDecodeLanes)
        EXPECT_EQ(lane_for(lane_name(lane)), lane_available(lane) ? lane : widest)
            << lane_name(lane);
}

// The fast paths of every lane (ten or five common tokens at a time, windows of simple
// tokens, one simple token, header windows) take only what the full read would take the same
// way. Each token form at the edge of a lane is put in the header or at payload positions
// around the lanes' windows and near the line's end, among common tokens or mixed ones, with
// the payload shifted by runs of spaces; each lane's result must be the plain model's, status
// and every value.
TEST(DecodeFrame, EveryLaneEqualsThePlainModel) {
    const char* const forms[] = {"5",        "05",   "005",   "1A5",  "0x",    "0xg",       "0x5",
                                 "0x05",     "0X5A", "0x5A5", "+5",   "-5",    "5\t",       "\t5",
                                 "A5\t7",    "x5",   "0xx5",  "00x5", "DB DC", "DB DD",     "DB",
                                 "DB  DC",   "ff",   "fF",    "g",    "5g",    "0xdb 0XDC", "DC",
                                 "0",        "0 0x", "a\r",   "C0\r", "7\n7",  "",          "  ",
                                 "db dd dc", "0X",   "0x0x5", "5x",   "A2zz",  "\x80"};
    std::vector<int> positions; // -18 to -1: header tokens 1 to 18; from 0: payload tokens
    for (int at = -18; at < 40; ++at)
        positions.push_back(at);
    for (int at = 150; at < 175; ++at)
        positions.push_back(at);
    const std::vector<DecodeLane> lanes = lanes_here();
    size_t compared = 0;
    for (const char* form : forms) {
        for (const bool tidy : {false, true}) {
            for (int shift = 0; shift < 34; ++shift) {
                for (const int at : positions) {
                    if (shift % 3 != 0 && (at < 0 || at >= 150))
                        continue; // the header and the line's end matter less with each shift
                    std::string text = "C0";
                    for (int k = -18; k < 0; ++k) {
                        text += ' ';
                        text += k == at ? form : "00";
                    }
                    text += std::string(1 + static_cast<size_t>(shift), ' ');
                    for (int k = 0; k < 175; ++k) {
                        text += k == at ? form : (!tidy && k % 7 == 3 ? "a" : "1f");
                        text += !tidy && k % 5 == 4 ? "  " : " ";
                    }
                    for (const char* eol : {"\n", "", "\r\n"}) {
                        if (*eol != '\n' && at < 150)
                            continue; // how the line ends matters only near its end
                        const std::string line = text + eol;
                        const model::Decoded want = model::decode(line);
                        for (const DecodeLane lane : lanes) {
                            Frame f{};
                            const FrameStatus got =
                                decode_frame_with(lane, line.data(), line.data() + line.size(), f);
                            ASSERT_EQ(static_cast<int>(got), static_cast<int>(want.status))
                                << lane_name(lane) << ": form '" << form << "' at " << at
                                << ", shift " << shift << (tidy ? ", tidy" : "");
                            if (got != FrameStatus::ok)
                                continue;
                            ASSERT_EQ(f.counter, want.counter) << lane_name(lane) << ": " << form;
                            for (int v = 0; v < kFrameValues; ++v)
                                ASSERT_EQ(f.rda[v], want.rda[v])
                                    << lane_name(lane) << ": form '" << form << "' at " << at
                                    << ", shift " << shift << (tidy ? ", tidy" : "") << ", value "
                                    << v;
                            ++compared;
                        }
                    }
                }
            }
        }
    }
    EXPECT_GT(compared, 100000u);
}

// The header windows of the wide lanes (16 and 32 bytes) where a space is only the first byte
// of the window, or the last, or none is: runs of spaces before and after header tokens as long
// as a window or longer, at every header position. Each lane passes exactly the header tokens
// the plain model passes.
TEST(DecodeFrame, HeaderWindowsWithOneSpaceAtTheirEdgePassTheSameTokens) {
    const std::vector<DecodeLane> lanes = lanes_here();
    size_t compared = 0;
    for (int at = 1; at <= 18; ++at) {
        for (const int spaces : {1, 2, 3, 17, 33}) {
            for (const int length : {1, 14, 15, 16, 17, 30, 31, 32, 33, 63, 64, 65}) {
                std::string line = "C0";
                for (int k = 1; k <= 18; ++k) {
                    line += k == at ? std::string(static_cast<size_t>(spaces), ' ') : " ";
                    line += k == at ? std::string(static_cast<size_t>(length), 'Q') : "00";
                }
                for (int k = 0; k < kFrameValues; ++k)
                    line += k % 9 == 4 ? "  7" : " 1f";
                line += "\n";
                const model::Decoded want = model::decode(line);
                ASSERT_EQ(want.status, model::Frame::ok) << line;
                for (const DecodeLane lane : lanes) {
                    Frame f{};
                    const FrameStatus got =
                        decode_frame_with(lane, line.data(), line.data() + line.size(), f);
                    ASSERT_EQ(static_cast<int>(got), static_cast<int>(want.status))
                        << lane_name(lane) << ": token " << at << ", " << spaces << " spaces, "
                        << length << " bytes";
                    for (int v = 0; v < kFrameValues; ++v)
                        ASSERT_EQ(f.rda[v], want.rda[v])
                            << lane_name(lane) << ": token " << at << ", " << spaces << " spaces, "
                            << length << " bytes, value " << v;
                    ++compared;
                }
            }
        }
    }
    EXPECT_EQ(compared, 18u * 5 * 12 * lanes.size());
}

struct BadCase {
    const char* name;
    std::string text;
    FrameStatus status;
};

void PrintTo(const BadCase& c, std::ostream* os) {
    *os << c.name;
}

class RefusedFrame : public ::testing::TestWithParam<BadCase> {};

TEST_P(RefusedFrame, IsNotDecoded) {
    Frame f{};
    EXPECT_EQ(decode(GetParam().text, f), GetParam().status);
}

std::string with_payload(const std::vector<int>& tokens) {
    return tf::line(0xC0, tokens);
}

std::vector<int> plain(size_t n) {
    return std::vector<int>(n, 0x11);
}

const std::string kFull = tf::frame(1, tf::pattern(1));

INSTANTIATE_TEST_SUITE_P(
    Cases, RefusedFrame,
    ::testing::Values(
        BadCase{"empty", "", FrameStatus::blank},
        BadCase{"white space only", " \t\r\v\f\n", FrameStatus::blank},
        BadCase{"identifier not a number", "zz 00\n", FrameStatus::bad_id},
        BadCase{"identifier too large", "100000000" + kFull.substr(2), FrameStatus::bad_id},
        BadCase{"identifier other than C0 or C1", "7E" + kFull.substr(2), FrameStatus::not_image},
        BadCase{"header cut short", "C0 00 00\n", FrameStatus::short_line},
        BadCase{"payload one token short", with_payload(plain(167)), FrameStatus::short_line},
        BadCase{"a pair needs one more token", with_payload([] {
                    auto t = plain(168);
                    t[100] = 0xDB;
                    t[101] = 0xDD;
                    return t;
                }()),
                FrameStatus::short_line},
        // "... 11 \n": the line feed after the space is a token of its own, and no number.
        BadCase{"line feed token in the payload", tf::line(0xC0, plain(167), " \n"),
                FrameStatus::bad_token},
        BadCase{"payload token not a number",
                [] {
                    std::string s = tf::line(0xC0, plain(168));
                    s.replace(s.size() - 3, 2, "g1");
                    return s;
                }(),
                FrameStatus::bad_token},
        BadCase{"counter negative", with_payload([] {
                    auto t = plain(168);
                    t[0] = 0x8000; // shifted 16 places it reaches the sign bit
                    return t;
                }()),
                FrameStatus::bad_counter}));

TEST(DecodeFrame, NotImageKeepsTheIdentifier) {
    Frame f{};
    ASSERT_EQ(decode("-1 00\n", f), FrameStatus::not_image);
    EXPECT_EQ(f.id, -1);
    ASSERT_EQ(decode("7e\n", f), FrameStatus::not_image);
    EXPECT_EQ(f.id, 0x7E);
}

} // namespace
