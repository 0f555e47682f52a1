#include "capture/number.hpp"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ostream>

using namespace imgrebuild;

namespace {

struct NumberCase {
    const char* text;
    int32_t base;
    int32_t value;
    NumberError error;
    int32_t stop; // characters consumed
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

// Names each case in the test list (and so in ctest) by its text and base.
void PrintTo(const NumberCase& c, std::ostream* os) {
    print_text(c.text, os);
    *os << " in base " << c.base;
}

class NumberTest : public ::testing::TestWithParam<NumberCase> {};

TEST_P(NumberTest, ReadsLikeStrtolWithin32Bits) {
    const NumberCase& c = GetParam();
    const char* end = c.text + std::strlen(c.text);
    const NumberRead r = read_number(c.text, end, c.base);
    EXPECT_EQ(r.error, c.error);
    EXPECT_EQ(r.value, c.value);
    EXPECT_EQ(r.stop - c.text, c.stop);
}

constexpr NumberError ok = NumberError::ok;
constexpr NumberError none = NumberError::no_digits;
constexpr NumberError range = NumberError::out_of_range;

INSTANTIATE_TEST_SUITE_P(
    Hex, NumberTest,
    ::testing::Values(NumberCase{"c0", 16, 0xC0, ok, 2}, NumberCase{"C1\n", 16, 0xC1, ok, 2},
                      NumberCase{"0xc0", 16, 0xC0, ok, 4}, NumberCase{"0XdB", 16, 0xDB, ok, 4},
                      // "0x" with no hex digit after it is the number 0, stopping at the x.
                      NumberCase{"0x", 16, 0, ok, 1}, NumberCase{"0xg", 16, 0, ok, 1},
                      NumberCase{"-0x", 16, 0, ok, 2}, NumberCase{"\t\v\f\r\n7f", 16, 0x7F, ok, 7},
                      NumberCase{"+a", 16, 10, ok, 2}, NumberCase{"-1", 16, -1, ok, 2},
                      NumberCase{"12zz", 16, 0x12, ok, 2},
                      NumberCase{"7fffffff", 16, INT32_MAX, ok, 8},
                      NumberCase{"-80000000", 16, INT32_MIN, ok, 9},
                      NumberCase{"80000000", 16, 0, range, 8},
                      NumberCase{"ffffffffffffffffffff", 16, 0, range, 20},
                      NumberCase{"-80000001", 16, 0, range, 9}, NumberCase{"", 16, 0, none, 0},
                      NumberCase{"\n", 16, 0, none, 0}, NumberCase{"x1", 16, 0, none, 0},
                      NumberCase{"+", 16, 0, none, 0}, NumberCase{"- 1", 16, 0, none, 0},
                      NumberCase{"  g", 16, 0, none, 0}));

INSTANTIATE_TEST_SUITE_P(
    Decimal, NumberTest,
    ::testing::Values(NumberCase{"1048576\n", 10, 1048576, ok, 7},
                      NumberCase{"23.txt", 10, 23, ok, 2}, NumberCase{" -5", 10, -5, ok, 3},
                      // No hex in base 10: "0x10" is 0 and "ff" is no number.
                      NumberCase{"0x10", 10, 0, ok, 1}, NumberCase{"ff", 10, 0, none, 0},
                      NumberCase{"2147483647", 10, INT32_MAX, ok, 10},
                      NumberCase{"-2147483648", 10, INT32_MIN, ok, 11},
                      NumberCase{"2147483648", 10, 0, range, 10},
                      NumberCase{"99999999999999999999999", 10, 0, range, 23}));

TEST(TokenTest, SplitsAtRunsOfSeparatorsAndSkipsLeadingOnes) {
    const char text[] = "  a  bb\tc \n";
    const char* p = text;
    const char* end = text + std::strlen(text);
    const char* expected[] = {"a", "bb\tc", "\n"};
    for (const char* want : expected) {
        const Token t = next_token(p, end, ' ');
        EXPECT_EQ(std::string(t.begin, t.end), want);
    }
    const Token last = next_token(p, end, ' ');
    EXPECT_EQ(last.begin, end);
    EXPECT_EQ(last.end, end);
}

} // namespace

namespace {

// Compares read_number with the C library's strtol on many short strings drawn from the
// characters that matter: digits, hex letters, signs, the x of a prefix, white space.
TEST(NumberAgainstStrtol, AgreesOnValueStopAndRange) {
    const char alphabet[] = "0123456789abcdefABCDEFxX+- \t\n\r\v\fg";
    uint32_t seed = 12345;
    auto next = [&seed] {
        seed = seed * 1103515245u + 12345u;
        return seed >> 16;
    };
    char text[24];
    for (int iteration = 0; iteration < 200000; ++iteration) {
        const int len = static_cast<int>(next() % 20);
        for (int k = 0; k < len; ++k)
            text[k] = alphabet[next() % (sizeof alphabet - 1)];
        text[len] = '\0';
        for (int base : {10, 16}) {
            errno = 0;
            char* stop = nullptr;
            const long want = std::strtol(text, &stop, base);
            const bool fits = errno == 0 && want >= INT32_MIN && want <= INT32_MAX;
            const NumberRead got = read_number(text, text + len, base);
            if (stop == text) {
                ASSERT_EQ(got.error, NumberError::no_digits) << text;
                ASSERT_EQ(got.stop, text) << text;
            } else if (!fits) {
                ASSERT_EQ(got.error, NumberError::out_of_range) << text;
                ASSERT_EQ(got.stop, stop) << text;
            } else {
                ASSERT_EQ(got.error, NumberError::ok) << text;
                ASSERT_EQ(got.value, want) << text;
                ASSERT_EQ(got.stop, stop) << text;
            }
        }
    }
}

} // namespace
