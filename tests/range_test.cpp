#include "capture/range.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <ostream>
#include <string>

#include "limits.hpp"

using namespace imgrebuild;

namespace {

struct NameCase {
    const char* line;
    NameStatus status;
    const char* na;
    PageRange range;
};

// Writes `text` readably for a test's name: printable characters as they are, any other, the
// space among them, as its hex code in angle brackets; "empty" for no text.
void print_text(const char* text, std::ostream* os) {
    if (*text == '\0')
        *os << "empty";
    for (const char* p = text; *p != '\0'; ++p) {
        const auto c = static_cast<unsigned char>(*p);
        if (c > ' ' && c < 0x7F && c != '<' && c != '>') {
            *os << *p;
        } else {
            static const char hex[] = "0123456789abcdef";
            *os << '<' << hex[c >> 4] << hex[c & 15] << '>';
        }
    }
}

// Names each case in the test list (and so in ctest) by its line.
void PrintTo(const NameCase& c, std::ostream* os) {
    print_text(c.line, os);
}

class NameLineTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(NameLineTest, YieldsNameAndRange) {
    const NameCase& c = GetParam();
    static char na[kLineCap];
    PageRange range{-7, -7, -7, -7};
    const NameStatus status = parse_name_line(c.line, c.line + std::strlen(c.line), na, range);
    EXPECT_EQ(status, c.status);
    EXPECT_STREQ(na, c.na);
    if (status == NameStatus::ok) {
        EXPECT_EQ(range.SSC, c.range.SSC);
        EXPECT_EQ(range.SP, c.range.SP);
        EXPECT_EQ(range.ESC, c.range.ESC);
        EXPECT_EQ(range.EP, c.range.EP);
    }
}

constexpr NameStatus ok = NameStatus::ok;

INSTANTIATE_TEST_SUITE_P(
    Names, NameLineTest,
    ::testing::Values(
        NameCase{"pass1_12_1000_13_23.txt\n", ok, "pass1_12_1000_13_23.txt", {12, 1000, 13, 23}},
        // The run description's last line may have no line feed.
        NameCase{"p_1_2_3_4", ok, "p_1_2_3_4", {1, 2, 3, 4}},
        // Leading underscores are skipped, so the first number is the dropped piece.
        NameCase{"_12_1000_13_23_40\n", ok, "_12_1000_13_23_40", {1000, 13, 23, 40}},
        NameCase{"a__1___2_3_4\n", ok, "a__1___2_3_4", {1, 2, 3, 4}},
        NameCase{"dir/cap_-1_+2_ 3_4_99.txt\n", ok, "dir/cap_-1_+2_ 3_4_99.txt", {-1, 2, 3, 4}},
        // The range comes from the last path component, after a '/' or a '\\'.
        NameCase{
            "st_5_0/pass1_5_128_5_255.txt\n", ok, "st_5_0/pass1_5_128_5_255.txt", {5, 128, 5, 255}},
        NameCase{
            "st_5_0\\pass1_5_128_5_255.txt", ok, "st_5_0\\pass1_5_128_5_255.txt", {5, 128, 5, 255}},
        NameCase{"a_1_2_3_4/b\\c_5_6_7_8.txt", ok, "a_1_2_3_4/b\\c_5_6_7_8.txt", {5, 6, 7, 8}},
        NameCase{"a_1_2_3_4/\n", NameStatus::too_few_pieces, "a_1_2_3_4/", {}},
        NameCase{"a_1_2_3_4\\", NameStatus::too_few_pieces, "a_1_2_3_4\\", {}},
        NameCase{"a\rb_1_2_3_4\r\n", ok, "a\rb_1_2_3_4\r", {1, 2, 3, 4}},
        NameCase{"cap_1_2_3.txt\n", NameStatus::too_few_pieces, "cap_1_2_3.txt", {}},
        NameCase{"nounderscore\n", NameStatus::too_few_pieces, "nounderscore", {}},
        NameCase{"", NameStatus::too_few_pieces, "", {}},
        NameCase{"cap_1_2_3_\n", NameStatus::not_a_number, "cap_1_2_3_", {}},
        NameCase{"cap_1_x2_3_4\n", NameStatus::not_a_number, "cap_1_x2_3_4", {}},
        NameCase{"cap_1_2_3_2147483648\n", NameStatus::not_a_number, "cap_1_2_3_2147483648", {}}));

struct RangeCase {
    PageRange range;
    int32_t SC_S;
    int64_t rangekey, npage;
    int32_t mcomsize;
    int64_t base, limit;
};

// Names each case in the test list (and so in ctest) by its range and SC_S.
void PrintTo(const RangeCase& c, std::ostream* os) {
    *os << "SSC " << c.range.SSC << " SP " << c.range.SP << " ESC " << c.range.ESC << " EP "
        << c.range.EP << " from SC_S " << c.SC_S;
}

class RangeMathTest : public ::testing::TestWithParam<RangeCase> {};

TEST_P(RangeMathTest, DerivesSlotsAndOffsets) {
    const RangeCase& c = GetParam();
    RangeMath m{};
    ASSERT_TRUE(compute_range(c.range, c.SC_S, m));
    EXPECT_EQ(m.rangekey, c.rangekey);
    EXPECT_EQ(m.npage, c.npage);
    EXPECT_EQ(m.mcomsize, c.mcomsize);
    EXPECT_EQ(m.base, c.base);
    EXPECT_EQ(m.limit, c.limit);
}

INSTANTIATE_TEST_SUITE_P(
    Ranges, RangeMathTest,
    ::testing::Values(
        RangeCase{{12, 1000, 13, 23}, 12, 1048, 48, 76, 256000, 268288},
        // One page: two slots, the second may write 94 bytes (base + 163 to base + 256).
        RangeCase{{0, 5, 0, 5}, 0, 10, 1, 2, 1280, 1536},
        // 163 pages divide exactly into 256 slots, and still one is added.
        RangeCase{{0, 0, 0, 162}, 0, 162, 163, 257, 0, 41728},
        // The largest range: exactly as many slots as the tables hold.
        RangeCase{{0, 0, 12, 445}, 0, 457, kMaxPages, kTableSize, 0, int64_t{kMaxPages} * 256},
        // A range before SC_S has a negative base.
        RangeCase{{3, 0, 3, 0}, 5, 6, 1, 2, -524288, -524032},
        // The sum would overflow 32 bits; the key is formed in 64.
        RangeCase{{INT32_MAX, 1023, INT32_MAX, 1023},
                  0,
                  2LL * INT32_MAX + 2046,
                  1,
                  2,
                  (int64_t{INT32_MAX} * 1024 + 1023) * 256,
                  (int64_t{INT32_MAX} * 1024 + 1024) * 256}));

TEST(RangeMath, KeysArePlainSums) {
    RangeMath a{}, b{};
    ASSERT_TRUE(compute_range({1, 0, 1, 9}, 0, a));
    ASSERT_TRUE(compute_range({1, 3, 1, 6}, 0, b));
    EXPECT_EQ(a.rangekey, 11);
    EXPECT_EQ(b.rangekey, 11);
}

TEST(RangeMath, RefusesEmptyReversedAndOversizedRanges) {
    const PageRange refused[] = {
        {1, 9, 1, 8},                 // ends before it starts: 0 pages
        {2, 0, 1, 0},                 // a block backwards
        {0, 0, 12, 446},              // one page more than the tables allow
        {INT32_MIN, 0, INT32_MAX, 0}, // the span overflows 32 bits
        {INT32_MAX, 0, INT32_MIN, 0}, // and backwards
    };
    for (const PageRange& r : refused) {
        RangeMath m{};
        EXPECT_FALSE(compute_range(r, 0, m)) << r.SSC << " " << r.SP << " " << r.ESC << " " << r.EP;
    }
}

TEST(RangeMath, SlotsWrapAndStartEvery163Bytes) {
    RangeMath m{};
    ASSERT_TRUE(compute_range({12, 1000, 13, 23}, 12, m));
    EXPECT_EQ(slot_of(5, m.mcomsize), 5);
    EXPECT_EQ(slot_of(76, m.mcomsize), 0);
    EXPECT_EQ(slot_of(81, m.mcomsize), 5);
    EXPECT_EQ(slot_offset(m, 5), 256815);
    EXPECT_EQ(slot_offset(m, 75), 268225);
}

} // namespace

namespace {

// The arithmetic of pages the companions share: a count, a place, a range of places, an end.
TEST(PageArithmetic, CountsPlacesAndEnds) {
    struct Case {
        PageRange range;
        int64_t pages;
    };
    for (const Case& c :
         {Case{{5, 0, 5, 0}, 1}, Case{{5, 1023, 6, 0}, 2}, Case{{0, 0, 12, 445}, 12734},
          Case{{5, 3, 5, 2}, 0}, Case{{INT32_MIN, 0, INT32_MAX, 1023}, int64_t{1} << 42}}) {
        EXPECT_EQ(page_count(c.range), c.pages)
            << c.range.SSC << " " << c.range.SP << " " << c.range.ESC << " " << c.range.EP;
    }

    struct Place {
        int64_t index;
        int32_t SC_S;
        int64_t block;
        int32_t page;
    };
    for (const Place& p :
         {Place{0, 5, 5, 0}, Place{1023, 5, 5, 1023}, Place{1024, 5, 6, 0}, Place{2049, -1, 1, 1},
          Place{4095, INT32_MAX - 1, int64_t{INT32_MAX} + 2, 1023}}) {
        const PagePlace at = page_at(p.index, p.SC_S);
        EXPECT_EQ(at.block, p.block) << p.index;
        EXPECT_EQ(at.page, p.page) << p.index;
    }

    PageRange r{};
    ASSERT_TRUE(range_of_pages(1000, 1100, 5, r));
    EXPECT_EQ(r, (PageRange{5, 1000, 6, 76}));
    EXPECT_FALSE(r == (PageRange{5, 1000, 6, 77}));
    ASSERT_TRUE(range_of_pages(0, 2047, INT32_MAX - 1, r));
    EXPECT_EQ(r, (PageRange{INT32_MAX - 1, 0, INT32_MAX, 1023}));
    // Past the last block a name can state: no range, rather than a block that wrapped round.
    EXPECT_FALSE(range_of_pages(0, 2048, INT32_MAX - 1, r));
    EXPECT_FALSE(range_of_pages(7, 6, 0, r));

    RangeMath m{};
    ASSERT_TRUE(compute_range({5, 2, 5, 3}, 5, m));
    EXPECT_EQ(range_end(m), 4 * 256);
    EXPECT_EQ(range_end(m), m.limit);
}

} // namespace
