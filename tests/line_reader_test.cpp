#include "capture/line_reader.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

using namespace imgrebuild;

namespace {

struct Read {
    ReadStatus status;
    std::string text;
};

// Reads `bytes` to its end, `chunk` bytes per refill, and returns every read, the closing
// no_line included.
std::vector<Read> read_all(const std::string& bytes, int32_t chunk = kReadChunk) {
    std::FILE* f = std::tmpfile();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::rewind(f);
    static LineReader reader;
    static char data[kLineCap];
    reader_open(reader, f, chunk);
    std::vector<Read> reads;
    for (;;) {
        int32_t length = -1;
        const ReadStatus s = read_line(reader, data, length);
        reads.push_back({s, std::string(data, static_cast<size_t>(length))});
        if (s != ReadStatus::line)
            break;
    }
    std::fclose(f);
    return reads;
}

constexpr ReadStatus line = ReadStatus::line;
constexpr ReadStatus last = ReadStatus::last_line;
constexpr ReadStatus none = ReadStatus::no_line;

struct ReaderCase {
    const char* name;
    std::string bytes;
    std::vector<Read> reads;
};

void PrintTo(const ReaderCase& c, std::ostream* os) {
    *os << c.name;
}

class ReaderTest : public ::testing::TestWithParam<ReaderCase> {};

// The same reads whatever the refill size, so lines and CR LF pairs may cross refills.
TEST_P(ReaderTest, FollowsTextModeRules) {
    const ReaderCase& c = GetParam();
    for (int32_t chunk : {kReadChunk, 1, 2, 3, 7, 4096}) {
        const std::vector<Read> got = read_all(c.bytes, chunk);
        ASSERT_EQ(got.size(), c.reads.size()) << "chunk " << chunk;
        for (size_t k = 0; k < got.size(); ++k) {
            EXPECT_EQ(got[k].status, c.reads[k].status) << "read " << k << ", chunk " << chunk;
            EXPECT_EQ(got[k].text, c.reads[k].text) << "read " << k << ", chunk " << chunk;
        }
    }
}

const std::string kMax(kLineCap - 1, 'a'); // the longest line one read yields

INSTANTIATE_TEST_SUITE_P(
    Lines, ReaderTest,
    ::testing::Values(
        ReaderCase{"empty file", "", {{none, ""}}},
        ReaderCase{"lf lines", "ab\ncd\n", {{line, "ab\n"}, {line, "cd\n"}, {none, ""}}},
        ReaderCase{"crlf folds", "ab\r\n\r\n", {{line, "ab\n"}, {line, "\n"}, {none, ""}}},
        ReaderCase{"lone cr stays", "a\rb\r\r\n", {{line, "a\rb\r\n"}, {none, ""}}},
        ReaderCase{"last line without lf", "ab\ncd", {{line, "ab\n"}, {last, "cd"}}},
        ReaderCase{"cr at the end of the file stays", "ab\r", {{last, "ab\r"}}},
        ReaderCase{"nul and 0x1a are ordinary",
                   std::string("a\0b\x1a\n", 5),
                   {{line, std::string("a\0b\x1a\n", 5)}, {none, ""}}},
        // A read stops at the limit without looking further, so this piece is a line.
        ReaderCase{"exactly the limit, no lf", kMax, {{line, kMax}, {none, ""}}},
        ReaderCase{"one over the limit", kMax + "bc\n", {{line, kMax}, {line, "bc\n"}, {none, ""}}},
        ReaderCase{"limit then lf", kMax + "\n", {{line, kMax}, {line, "\n"}, {none, ""}}},
        // The dropped carriage return does not count towards the limit.
        ReaderCase{"crlf at the limit",
                   kMax.substr(1) + "\r\n",
                   {{line, kMax.substr(1) + "\n"}, {none, ""}}},
        ReaderCase{"cr at the limit, then another byte",
                   kMax.substr(1) + "\rx\n",
                   {{line, kMax.substr(1) + "\r"}, {line, "x\n"}, {none, ""}}},
        ReaderCase{"cr cr lf", "a\r\r\nb\r", {{line, "a\r\n"}, {last, "b\r"}}},
        ReaderCase{"cr at the limit, end of file",
                   kMax.substr(1) + "\r",
                   {{last, kMax.substr(1) + "\r"}}}));

// Lines of 99 characters plus CRLF put a CR/LF pair across each refill boundary somewhere.
TEST(ReaderChunks, CrlfAcrossRefillsFoldsTheSame) {
    std::string bytes;
    const std::string body(99, 'x');
    const int lines = 3 * kReadChunk / 101 + 7;
    for (int k = 0; k < lines; ++k)
        bytes += body + "\r\n";
    const std::vector<Read> got = read_all(bytes);
    ASSERT_EQ(got.size(), static_cast<size_t>(lines) + 1);
    for (int k = 0; k < lines; ++k)
        ASSERT_EQ(got[static_cast<size_t>(k)].text, body + "\n") << "line " << k;
    EXPECT_EQ(got.back().status, none);
}

TEST(ReaderFailure, ADirectoryFailsToRead) {
    std::FILE* f = std::fopen(".", "rb");
    ASSERT_NE(f, nullptr);
    static LineReader reader;
    static char data[kLineCap];
    reader_open(reader, f);
    int32_t length = -1;
    EXPECT_EQ(read_line(reader, data, length), ReadStatus::failed);
    EXPECT_EQ(read_line(reader, data, length), ReadStatus::failed);
    std::fclose(f);
}

TEST(TextEnd, StopsAtTheFirstNul) {
    const char text[] = {'a', 'b', '\0', 'c', '\n'};
    EXPECT_EQ(text_end(text, 5), text + 2);
    EXPECT_EQ(text_end(text, 2), text + 2);
}

} // namespace
