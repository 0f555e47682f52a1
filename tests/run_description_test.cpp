// The run description's one reader and one writer: the reader agrees with the rebuild's head
// reader, keeps what a companion needs, and reads back what the writer wrote.
#include "run/run_info.hpp"

#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "capture/line_reader.hpp"
#include "log/console.hpp"

using namespace imgrebuild;

namespace {

// A file holding `bytes`, read from its start; closed by the caller.
std::FILE* file_of(const std::string& bytes) {
    std::FILE* f = std::tmpfile();
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(std::fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
    std::rewind(f);
    return f;
}

struct Read {
    DescriptionRead where;
    RunDescription d;
};

Read read_text(const std::string& bytes, NameLines which) {
    std::FILE* f = file_of(bytes);
    Read r;
    r.where = read_description(f, r.d, which);
    std::fclose(f);
    return r;
}

struct DescriptionCase {
    const char* label;
    std::string text;
    HeadStatus status;
    int64_t line; // where the fault is; 0 for none
    RunHead head; // compared when the head is sound
    std::vector<std::string> head_lines;
    std::vector<std::string> listed; // names a read as the rebuild's keeps
    std::vector<std::string> all;    // names a read of every line keeps
};

void PrintTo(const DescriptionCase& c, std::ostream* os) {
    *os << c.label;
}

class Description : public ::testing::TestWithParam<DescriptionCase> {};

TEST_P(Description, ReadsAsTheRebuildDoes) {
    const DescriptionCase& c = GetParam();
    const Read listed = read_text(c.text, NameLines::listed);
    EXPECT_EQ(listed.where.status, c.status);
    EXPECT_EQ(listed.where.line, c.line);
    EXPECT_EQ(listed.d.names, c.listed);
    for (size_t k = 0; k < c.head_lines.size(); ++k)
        EXPECT_EQ(listed.d.head_lines[k], c.head_lines[k]) << "line " << k + 1;
    if (c.status == HeadStatus::ok) {
        EXPECT_EQ(listed.d.head.imagesize, c.head.imagesize);
        EXPECT_EQ(listed.d.head.numfile, c.head.numfile);
        EXPECT_EQ(listed.d.head.SC_S, c.head.SC_S);
    }

    const Read all = read_text(c.text, NameLines::all);
    EXPECT_EQ(all.where.status, c.status);
    EXPECT_EQ(all.d.names, c.all);

    // The rebuild's own head reader says the same of the same bytes.
    std::FILE* f = file_of(c.text);
    static LineReader reader;
    static char data[kLineCap];
    Console quiet{};
    console_open(quiet, nullptr);
    reader_open(reader, f);
    RunHead head{};
    EXPECT_EQ(read_head(reader, data, head, quiet), c.status);
    std::fclose(f);
    if (c.status == HeadStatus::ok) {
        EXPECT_EQ(head.imagesize, listed.d.head.imagesize);
        EXPECT_EQ(head.numfile, listed.d.head.numfile);
        EXPECT_EQ(head.SC_S, listed.d.head.SC_S);
    }
}

const std::string kNul("a_0_0_0_0.txt\0tail\n", 19);

INSTANTIATE_TEST_SUITE_P(
    Cases, Description,
    ::testing::Values(
        DescriptionCase{"sound",
                        "run\nimagesize 65536\nnumfile 2\nSC_S 5\na_5_0_5_3.txt\nb_5_4_5_7.txt\n",
                        HeadStatus::ok,
                        0,
                        {65536, 2, 5},
                        {"run", "imagesize 65536", "numfile 2", "SC_S 5"},
                        {"a_5_0_5_3.txt", "b_5_4_5_7.txt"},
                        {"a_5_0_5_3.txt", "b_5_4_5_7.txt"}},
        DescriptionCase{"crlf and a last line without its end",
                        "run\r\nimagesize 10\r\nnumfile 1\r\nSC_S 0\r\na_0_0_0_0.txt",
                        HeadStatus::ok,
                        0,
                        {10, 1, 0},
                        {"run", "imagesize 10", "numfile 1", "SC_S 0"},
                        {"a_0_0_0_0.txt"},
                        {"a_0_0_0_0.txt"}},
        DescriptionCase{"names past numfile, a blank one, and fewer than numfile",
                        "run\nimagesize 10\nnumfile 1\nSC_S 0\na_0_0_0_0.txt\n\nb_0_1_0_1.txt\n",
                        HeadStatus::ok,
                        0,
                        {10, 1, 0},
                        {},
                        {"a_0_0_0_0.txt"},
                        {"a_0_0_0_0.txt", "", "b_0_1_0_1.txt"}},
        DescriptionCase{"numfile above the names",
                        "run\nimagesize 10\nnumfile 5\nSC_S 0\na_0_0_0_0.txt\n",
                        HeadStatus::ok,
                        0,
                        {10, 5, 0},
                        {},
                        {"a_0_0_0_0.txt"},
                        {"a_0_0_0_0.txt"}},
        DescriptionCase{"a name cut at its NUL",
                        "run\nimagesize 1\nnumfile 1\nSC_S 0\n" + kNul,
                        HeadStatus::ok,
                        0,
                        {1, 1, 0},
                        {},
                        {"a_0_0_0_0.txt"},
                        {"a_0_0_0_0.txt"}},
        DescriptionCase{"value with a second token the rebuild reads first",
                        "run\nimagesize 100 000\nnumfile 0\nSC_S -3\n",
                        HeadStatus::ok,
                        0,
                        {100, 0, -3},
                        {"run", "imagesize 100 000", "numfile 0", "SC_S -3"},
                        {},
                        {}},
        DescriptionCase{"no number on line 3, names still there for a cleanup",
                        "run\nimagesize 10\nnumfile x\nSC_S 0\na_0_0_0_0.txt\n",
                        HeadStatus::format_error,
                        3,
                        {},
                        {"run", "imagesize 10", "numfile x"},
                        {},
                        {"a_0_0_0_0.txt"}},
        DescriptionCase{"ends in the head",
                        "run\nimagesize 10\n",
                        HeadStatus::format_error,
                        3,
                        {},
                        {"run", "imagesize 10"},
                        {},
                        {}},
        DescriptionCase{"empty", "", HeadStatus::format_error, 1, {}, {}, {}, {}}));

TEST(DescriptionWriter, WritesTheHeadThenOneNameALine) {
    const RunDescription d = describe_run("first pass", RunHead{65536, 3, 5}, {"a.txt", "b.txt"});
    EXPECT_EQ(description_text(d),
              "first pass\nimagesize 65536\nnumfile 3\nSC_S 5\na.txt\nb.txt\n");

    // Listing other names changes numfile and its line only: a head line as it was stays.
    RunDescription next =
        read_text("run\r\nimagesize 100 000\nnumfile 9\nSC_S 5\nold.txt\n", NameLines::listed).d;
    set_names(next, {"x_5_0_5_1.txt", "y_5_2_5_3.txt"});
    EXPECT_EQ(description_text(next),
              "run\nimagesize 100 000\nnumfile 2\nSC_S 5\nx_5_0_5_1.txt\ny_5_2_5_3.txt\n");
}

TEST(DescriptionWriter, ReadsBackWhatItWrote) {
    const std::vector<std::string> names = {"pass1_-2147483648_0_-2147483648_9.txt",
                                            "b_0_0_0_0.txt"};
    const RunDescription d = describe_run("framesim seed 1 imagesize 0", RunHead{0, 2, -7}, names);
    const Read back = read_text(description_text(d), NameLines::listed);
    EXPECT_EQ(back.where.status, HeadStatus::ok);
    EXPECT_EQ(back.d.head.imagesize, 0);
    EXPECT_EQ(back.d.head.numfile, 2);
    EXPECT_EQ(back.d.head.SC_S, -7);
    EXPECT_EQ(back.d.names, names);
    EXPECT_EQ(description_text(back.d), description_text(d));
}

// The bundled example's description, written by the script that makes the example on its own,
// is byte for byte what the one writer writes for its head and names.
TEST(DescriptionWriter, AgreesWithTheBundledExample) {
    std::ifstream in(IMGREBUILD_EXAMPLES "/basic/file_info.txt", std::ios::binary);
    ASSERT_TRUE(in);
    std::stringstream bytes;
    bytes << in.rdbuf();
    const Read r = read_text(bytes.str(), NameLines::listed);
    ASSERT_EQ(r.where.status, HeadStatus::ok);
    ASSERT_EQ(r.d.names.size(), 3u);
    EXPECT_EQ(description_text(describe_run(r.d.head_lines[0], r.d.head, r.d.names)), bytes.str());
}

} // namespace
