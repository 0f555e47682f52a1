// Copies and changes: a byte is confirmed only by two capture files (a file listed twice, under
// any of its names, is one), the bytes that rest on one copy are counted and, with --confirm,
// asked for again; and a memory that changed between passes is told apart from corruption,
// its older bytes asked for again, and never called complete.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::Workdir;
using json = nlohmann::json;

namespace {

const char kCapture[] = "pass1_5_0_5_15.txt";

// A run of 4,000 bytes in one capture of pages (5,0)-(5,15), every frame received.
void one_capture(const std::string& dir, const std::string& more = "") {
    const e2e::Ran r = e2e::sh(dir, e2e::kFramesim +
                                        " --out . --image-size 4000 --pages-per-file 16 --loss 0 "
                                        "--save-image sent.img" +
                                        more);
    ASSERT_EQ(r.status, 0) << r.err;
}

void list(const std::string& dir, const std::vector<std::string>& names) {
    const std::vector<std::string> l = e2e::lines_of(e2e::read_file(dir + "/file_info.txt"));
    std::string s =
        l[0] + "\n" + l[1] + "\nnumfile " + std::to_string(names.size()) + "\n" + l[3] + "\n";
    for (const std::string& n : names)
        s += n + "\n";
    e2e::write_file(dir + "/file_info.txt", s);
}

// The capture `from` with data byte 7 of its first frame changed, written as `to`.
void with_one_byte_changed(const std::string& dir, const std::string& from, const std::string& to) {
    std::vector<std::string> lines = e2e::lines_of(e2e::read_file(dir + "/" + from));
    std::istringstream in(lines.at(0));
    std::vector<std::string> tokens;
    for (std::string t; in >> t;)
        tokens.push_back(t);
    // Tokens 19 to 22 are the counter and a spare byte; 23 on the data. None before the one
    // changed is an escape here (the first frame of this run), so token 30 is data byte 7.
    for (size_t k = 19; k <= 30; ++k)
        ASSERT_NE(tokens.at(k), "DB");
    tokens[30] = tokens[30] == "5A" ? "A5" : "5A";
    std::string line;
    for (const std::string& t : tokens)
        line += (line.empty() ? "" : " ") + t;
    lines[0] = line;
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    e2e::write_file(dir + "/" + to, s);
}

json cover_json(const std::string& dir, const std::string& options, int& status) {
    const e2e::Ran r = e2e::sh(dir, e2e::kImgcover + " --json cover.json " + options);
    status = r.status;
    return json::parse(e2e::read_file(dir + "/cover.json"));
}

// A capture, another that contradicts it on one byte, then the first again: under its own name,
// under others, or as a true copy. Only a second file confirms the byte.
TEST(Copies, OnlyASecondFileConfirms) {
    struct Way {
        const char* what;
        std::function<std::string(const std::string& dir)> again; // the third name line
        bool confirms;
    };
    const std::vector<Way> ways = {
        {"the same name", [](const std::string&) { return std::string(kCapture); }, false},
        {"./ before the name", [](const std::string&) { return std::string("./") + kCapture; },
         false},
        {"a folder and back",
         [](const std::string& d) {
             fs::create_directory(d + "/sub");
             return std::string("sub/../") + kCapture;
         },
         false},
        {"a hard link",
         [](const std::string& d) {
             fs::create_hard_link(d + "/" + kCapture, d + "/link_5_0_5_15.txt");
             return std::string("link_5_0_5_15.txt");
         },
         false},
        {"a symbolic link",
         [](const std::string& d) {
             fs::create_symlink(kCapture, d + "/sym_5_0_5_15.txt");
             return std::string("sym_5_0_5_15.txt");
         },
         false},
        {"a copy",
         [](const std::string& d) {
             fs::copy_file(d + "/" + kCapture, d + "/copy_5_0_5_15.txt");
             return std::string("copy_5_0_5_15.txt");
         },
         true},
    };
    for (const Way& way : ways) {
        SCOPED_TRACE(way.what);
        Workdir w;
        const std::string dir = w.path();
        one_capture(dir);
        with_one_byte_changed(dir, kCapture, "bad_5_0_5_15.txt");
        list(dir, {kCapture, "bad_5_0_5_15.txt", way.again(dir)});
        int status = 0;
        const json j = cover_json(dir, "", status);
        EXPECT_EQ(j["contested_bytes"], 1);
        EXPECT_EQ(j["unsettled_bytes"], way.confirms ? 0 : 1);
        EXPECT_EQ(j["complete"], way.confirms);
        EXPECT_EQ(status, way.confirms ? 0 : 1);
        // Every other byte: the bad capture agrees with the first there.
        EXPECT_EQ(j["confirmed_bytes"], way.confirms ? 4000 : 3999);
        EXPECT_EQ(j["single_copy_bytes"], 0);
        if (!way.confirms) {
            EXPECT_EQ(j["plan"].size(), 1u);
        }
    }
}

// One capture alone: every byte rests on one copy. The report says so and names --confirm;
// with --confirm the run is not complete and the plan asks for every page again, and a second
// capture of the pages completes it.
TEST(Copies, OneCopyIsCountedAndConfirmAsksForASecond) {
    Workdir w;
    const std::string dir = w.path();
    one_capture(dir);
    const e2e::Ran plain = e2e::sh(dir, e2e::kImgcover + " --plan plan.txt");
    EXPECT_EQ(plain.status, 0);
    EXPECT_NE(plain.out.find("copies: 4,000 bytes from one capture file only; --confirm asks for a "
                             "second\ncomplete: every byte was received\n"),
              std::string::npos)
        << plain.out;
    EXPECT_EQ(e2e::read_file(dir + "/plan.txt"), "");

    int status = 0;
    json j = cover_json(dir, "--confirm --plan plan.txt --prefix second", status);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(j["single_copy_bytes"], 4000);
    EXPECT_EQ(j["confirm"], true);
    EXPECT_EQ(j["complete"], false);
    EXPECT_EQ(e2e::read_file(dir + "/plan.txt"), "5 0 5 15 second_5_0_5_15.txt\n");

    ASSERT_EQ(e2e::sh(dir, e2e::kFramesim + " --out . --ranges plan.txt --loss 0").status, 0);
    list(dir, {kCapture, "second_5_0_5_15.txt"});
    j = cover_json(dir, "--confirm", status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(j["single_copy_bytes"], 0);
    EXPECT_EQ(j["confirmed_bytes"], 4000);
    EXPECT_EQ(j["complete"], true);
}

// A pass from one image, then a capture of some of its pages from another: the image changed
// between the passes. The report names the capture and its pages and the captures from before;
// every byte that still rests on those is asked for again, and only a capture of them from after
// the change completes the run.
TEST(Changes, AChangedMemoryIsToldAndItsOlderBytesAskedForAgain) {
    Workdir w;
    const std::string dir = w.path();
    one_capture(dir, " --seed 1");
    ASSERT_EQ(e2e::sh(dir, e2e::kFramesim +
                               " --out other --image-size 4000 --save-image new.img --seed 9")
                  .status,
              0);
    e2e::write_file(dir + "/part.txt", "5 4 5 7 new_5_4_5_7.txt\n");
    ASSERT_EQ(
        e2e::sh(dir, e2e::kFramesim + " --out . --ranges part.txt --loss 0 --image new.img").status,
        0);
    list(dir, {kCapture, "new_5_4_5_7.txt"});
    const e2e::Ran r = e2e::sh(dir, e2e::kImgcover + " --json cover.json --plan plan.txt");
    EXPECT_EQ(r.status, 1);
    const json j = json::parse(e2e::read_file(dir + "/cover.json"));
    ASSERT_EQ(j["changes"].size(), 1u);
    EXPECT_EQ(j["changes"][0]["name"], "new_5_4_5_7.txt");
    EXPECT_EQ(j["changes"][0]["first_page"], json::array({5, 4}));
    // The pages its name states, though its last frame reaches one byte past them.
    EXPECT_EQ(j["changes"][0]["last_page"], json::array({5, 7}));
    // Pages 4 to 7 and the one byte past them come from after the change; the rest is stale.
    EXPECT_EQ(j["stale_bytes"], 4000 - 4 * 256 - 1);
    EXPECT_EQ(j["stale_spans"], json::parse("[[0, 1023], [2049, 3999]]"));
    EXPECT_EQ(j["complete"], false);
    // The report's lines wrapped, read as one text.
    std::string said;
    for (const std::string& line : e2e::lines_of(r.out))
        said += (line.rfind("  ", 0) == 0 ? line.substr(1) : "\n" + line);
    EXPECT_NE(said.find("changed memory: the image seems to have changed between passes: frames "
                        "of new_5_4_5_7.txt (pages (5,4)-(5,7)) disagree with earlier captures "
                        "over whole frames. 2,975 bytes still rest on captures from before the "
                        "change (pass1_5_0_5_15.txt): the plan asks for every page of them "
                        "again.\n"),
              std::string::npos)
        << r.out;
    for (const std::string& line : e2e::lines_of(r.out))
        EXPECT_LE(line.size(), 80u) << line;
    // Every page that holds a stale byte, in as few requests as the ranges allow: the new
    // capture's values rest on one copy, which no earlier value contests across the change.
    EXPECT_EQ(e2e::read_file(dir + "/plan.txt"),
              "5 0 5 3 retry_5_0_5_3.txt\n5 8 5 15 retry_5_8_5_15.txt\n");

    // Those pages from the new image: complete, and the rebuild gives the new image.
    ASSERT_EQ(
        e2e::sh(dir, e2e::kFramesim + " --out . --ranges plan.txt --loss 0 --image new.img").status,
        0);
    list(dir, {kCapture, "new_5_4_5_7.txt", "retry_5_0_5_3.txt", "retry_5_8_5_15.txt"});
    int status = 0;
    const json after = cover_json(dir, "", status);
    EXPECT_EQ(status, 0) << after.dump(2);
    EXPECT_EQ(after["stale_bytes"], 0);
    const e2e::Ran rebuilt = e2e::sh(dir, e2e::kImgrebuild + " </dev/null");
    ASSERT_EQ(rebuilt.status, 0);
    EXPECT_EQ(e2e::read_file(dir + "/output.bin").substr(0, 4000),
              e2e::read_file(dir + "/new.img"));
}

// Corruption is no change: resends that each differ from the first pass on a byte or two
// leave no change told.
TEST(Changes, CorruptedFramesAreNoChange) {
    Workdir w;
    const std::string dir = w.path();
    one_capture(dir, " --seed 3");
    with_one_byte_changed(dir, kCapture, "bad_5_0_5_15.txt");
    list(dir, {kCapture, "bad_5_0_5_15.txt"});
    int status = 0;
    const json j = cover_json(dir, "", status);
    EXPECT_EQ(j["changes"], json::array());
    EXPECT_EQ(j["stale_bytes"], 0);
    EXPECT_EQ(j["unsettled_bytes"], 1);
}

} // namespace
