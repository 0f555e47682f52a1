// imgcover's checks of the run description: each slip an operator makes in file_info.txt, or
// in saving a capture, gives one warning with its line numbers and what to do, and changes
// nothing else imgcover says.
#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "text.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using e2e::Workdir;
using json = nlohmann::json;

namespace {

// A complete run of 100,000 bytes in seven captures of 64 pages (the last of 7), block 5 on.
void complete_run(const std::string& dir) {
    const e2e::Ran r =
        e2e::sh(dir, e2e::kFramesim + " --out . --image-size 100000 --loss 0 --seed 2", 60);
    ASSERT_EQ(r.status, 0) << r.err;
}

std::vector<std::string> info_lines(const std::string& dir) {
    return e2e::lines_of(e2e::read_file(dir + "/file_info.txt"));
}

void write_info(const std::string& dir, const std::vector<std::string>& lines) {
    std::string s;
    for (const std::string& l : lines)
        s += l + "\n";
    e2e::write_file(dir + "/file_info.txt", s);
}

// Changes the run description's lines in place.
void edit(const std::string& dir, const std::function<void(std::vector<std::string>&)>& f) {
    std::vector<std::string> l = info_lines(dir);
    f(l);
    write_info(dir, l);
}

struct Slip {
    const char* what;
    std::function<void(const std::string& dir)> make;
    const char* kind;              // the warning's kind
    std::vector<int64_t> lines;    // the lines it names
    std::vector<const char*> says; // pieces of its text: where, and what to do
};

TEST(RunChecks, EachSlipIsOneWarningWithItsLinesAndWhatToDo) {
    const std::vector<Slip> slips = {
        {"imagesize with a space in its digits",
         [](const std::string& d) { edit(d, [](auto& l) { l[1] = "imagesize 100 000"; }); },
         "past_image",
         {5, 6, 7, 8, 9, 10, 11},
         {"lines 5 to 11 of file_info.txt", "\"imagesize 100 000\", read as 100",
          "If imagesize has a typo, correct line 2"}},
        {"imagesize a page short",
         [](const std::string& d) { edit(d, [](auto& l) { l[1] = "imagesize 99840"; }); },
         "past_image",
         {11},
         {"imagesize 99,840 (line 2) ends in page (5,389)", "go on to page (5,390)"}},
        {"SC_S one block too high",
         [](const std::string& d) { edit(d, [](auto& l) { l[3] = "SC_S 6"; }); },
         "before_image",
         {5, 6, 7, 8, 9, 10, 11},
         {"lines 5 to 11 of file_info.txt", "they start at block 5", "set SC_S 5 on line 4"}},
        {"SC_S one block too low",
         [](const std::string& d) { edit(d, [](auto& l) { l[3] = "SC_S 4"; }); },
         "past_image",
         {5, 6, 7, 8, 9, 10, 11},
         {"go on to page (5,390)", "later block than SC_S 4, correct line 4"}},
        {"numfile one too high",
         [](const std::string& d) { edit(d, [](auto& l) { l[2] = "numfile 8"; }); },
         "numfile_high",
         {3},
         {"numfile 8 asks for more name lines than the file holds (7)", "Set numfile 7"}},
        {"numfile two too low",
         [](const std::string& d) { edit(d, [](auto& l) { l[2] = "numfile 5"; }); },
         "numfile_low",
         {3, 10, 11},
         {"2 more name lines follow from line 10", "set numfile 7 on line 3"}},
        {"a blank line among the names",
         [](const std::string& d) {
             edit(d, [](auto& l) {
                 l.insert(l.begin() + 6, "");
                 l[2] = "numfile 8";
             });
         },
         "blank_name",
         {7},
         {"line 7 of file_info.txt", "Delete it and lower numfile on line 3 by one"}},
        {"a name with a trailing space",
         [](const std::string& d) { edit(d, [](auto& l) { l[6] += " "; }); },
         "white_space",
         {7},
         {"\"pass1_5_128_5_191.txt \" ends with white space", "pass1_5_128_5_191.txt is",
          "Delete the white space"}},
        {"a name with a leading tab, its file named so too",
         [](const std::string& d) {
             edit(d, [](auto& l) { l[4] = "\t" + l[4]; });
             fs::rename(d + "/pass1_5_0_5_63.txt", d + "/\tpass1_5_0_5_63.txt");
         },
         "white_space",
         {5},
         {"begins with white space", "a file of that very name is there", "Rename the file"}},
        {"a capture saved as .TXT",
         [](const std::string& d) {
             fs::rename(d + "/pass1_5_192_5_255.txt", d + "/pass1_5_192_5_255.TXT");
         },
         "near_match",
         {8},
         {"pass1_5_192_5_255.txt is not there, but pass1_5_192_5_255.TXT is",
          "Rename the file to pass1_5_192_5_255.txt"}},
        {"a capture saved as .TXT, listed three times",
         [](const std::string& d) {
             fs::rename(d + "/pass1_5_192_5_255.txt", d + "/pass1_5_192_5_255.TXT");
             edit(d, [](auto& l) {
                 l.push_back(l[7]);
                 l.push_back(l[7]);
                 l[2] = "numfile 9";
             });
         },
         "near_match",
         {8, 12, 13},
         {"lines 8, 12 and 13 of file_info.txt: pass1_5_192_5_255.txt is not there"}},
        {"a capture in a folder, saved in capitals",
         [](const std::string& d) {
             fs::create_directory(d + "/st");
             fs::rename(d + "/pass1_5_64_5_127.txt", d + "/st/PASS1_5_64_5_127.txt ");
             edit(d, [](auto& l) { l[5] = "st/" + l[5]; });
         },
         "near_match",
         {6},
         {"st/pass1_5_64_5_127.txt is not there, but st/PASS1_5_64_5_127.txt  is"}},
    };
    for (const Slip& slip : slips) {
        SCOPED_TRACE(slip.what);
        Workdir w;
        complete_run(w.path());
        const e2e::Ran clean = e2e::sh(w.path(), e2e::kImgcover + " --json -");
        slip.make(w.path());
        const e2e::Ran r = e2e::sh(w.path(), e2e::kImgcover + " --json -");
        ASSERT_TRUE(r.status == 0 || r.status == 1) << r.err;
        const json j = json::parse(r.out);
        ASSERT_EQ(j["run_warnings"].size(), 1u) << j["run_warnings"].dump(2);
        const json& got = j["run_warnings"][0];
        EXPECT_EQ(got["kind"], slip.kind);
        EXPECT_EQ(got["lines"], json(slip.lines));
        const std::string text = got["text"];
        for (const char* piece : slip.says)
            EXPECT_NE(text.find(piece), std::string::npos) << piece << "\n" << text;
        // The same words on standard error, once.
        const std::string warned = "imgcover: warning: " + imgcover::printable(text) + "\n";
        EXPECT_NE(r.err.find(warned), std::string::npos) << r.err;
        // A clean run warns of nothing.
        EXPECT_EQ(clean.err, "");
        EXPECT_EQ(json::parse(clean.out)["run_warnings"], json::array());
    }
}

// A slip the rebuild shrugs off changes no figure, plan or exit status: the warning is all.
TEST(RunChecks, AWarningLeavesTheAnalysisAsItWas) {
    Workdir w;
    complete_run(w.path());
    fs::remove(w.path() + "/pass1_5_64_5_127.txt");
    const e2e::Ran before = e2e::sh(w.path(), e2e::kImgcover + " --plan plan.txt");
    const std::string plan = e2e::read_file(w.path() + "/plan.txt");
    edit(w.path(), [](auto& l) { l.push_back("spare_5_0_5_1.txt"); });
    const e2e::Ran after = e2e::sh(w.path(), e2e::kImgcover + " --plan plan.txt");
    EXPECT_EQ(after.status, before.status);
    EXPECT_EQ(after.out, before.out);
    EXPECT_EQ(e2e::read_file(w.path() + "/plan.txt"), plan);
    EXPECT_EQ(after.err, before.err +
                             "imgcover: warning: line 3 of file_info.txt: numfile 7, but 1 "
                             "more name line follows, on line 12: imgrebuild and "
                             "imgcover read only the first 7, so the captures they name "
                             "count as not received. If they belong to the run, set "
                             "numfile 8 on line 3.\n");
}

} // namespace
