// The manuals against the programs: every option a program's --help lists has its entry in the
// program's man page, with the default the help gives, and the man page lists no option the
// program lacks; the colours and marks imgcover's page states are the ones its code draws with.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <regex>
#include <set>
#include <string>
#include <vector>

#include "help_options.hpp"
#include "map.hpp"
#include "picture.hpp"
#include "view.hpp"
#include "workdir.hpp"

namespace {

const std::string kManDir = IMGREBUILD_TEST_DATA "/../../man/";

// A man page's text as a reader sees it: font changes and macro names gone, \- as -, quotes
// of macro arguments dropped, every run of white space one space.
std::string plain(const std::string& groff) {
    std::string s = std::regex_replace(groff, std::regex(R"(\\f[BIRP])"), "");
    s = std::regex_replace(s, std::regex(R"(\\-)"), "-");
    s = std::regex_replace(s, std::regex(R"(\\e)"), "\\");
    s = std::regex_replace(s, std::regex(R"(^\.[A-Z]+ ?)", std::regex::multiline), "");
    s = std::regex_replace(s, std::regex("\""), "");
    s = std::regex_replace(s, std::regex(R"(\s+)"), " ");
    return s;
}

// The entries of a man page's OPTIONS section, by each option its tag names (a long option, or
// a word in capitals such as DIR): the entry's plain text, tag included.
std::map<std::string, std::string> man_options(const std::string& page) {
    const std::string groff = e2e::read_file(kManDir + page);
    EXPECT_FALSE(groff.empty()) << page;
    const size_t from = groff.find("\n.SH OPTIONS\n");
    const size_t to = groff.find("\n.SH ", from + 1);
    std::map<std::string, std::string> entries;
    if (from == std::string::npos)
        return entries;
    const std::string section = groff.substr(from, to - from);
    for (size_t at = section.find("\n.TP\n"); at != std::string::npos;) {
        const size_t next = section.find("\n.TP\n", at + 1);
        const std::string entry = section.substr(at + 5, next - at - 5);
        const std::string tag = plain(entry.substr(0, entry.find('\n')));
        const std::string text = plain(entry);
        std::smatch m;
        for (std::string rest = tag;
             std::regex_search(rest, m, std::regex(R"(--[a-z-]+|^[A-Z]+\b)")); rest = m.suffix())
            entries[m.str()] = text;
        at = next;
    }
    return entries;
}

using e2e::help_options;
using e2e::HelpOption;

// The default a help text gives, as the words a man page must say too: "(default 512)" gives
// {"default 512"}; a default told in a phrase, its numbers ("within 1024 rows": {"1024"}).
std::vector<std::string> stated_default(const std::string& description) {
    std::smatch m;
    if (!std::regex_search(description, m, std::regex(R"(\bdefault:? ([^);]*))")))
        return {};
    const std::string phrase = m.str(1);
    if (phrase.find(' ') == std::string::npos)
        return {"default " + phrase};
    static const std::regex number(R"(\d+)");
    std::vector<std::string> numbers;
    for (std::sregex_iterator i(phrase.begin(), phrase.end(), number), end; i != end; ++i)
        numbers.push_back(i->str());
    return numbers;
}

struct Program {
    const char* page;
    std::string exe;
};

void PrintTo(const Program& p, std::ostream* os) {
    *os << p.page;
}

class Manual : public ::testing::TestWithParam<Program> {};

TEST_P(Manual, HasEveryOptionOfTheHelpWithItsDefaultAndNoOther) {
    const Program& p = GetParam();
    const std::vector<HelpOption> help = help_options(p.exe);
    ASSERT_GT(help.size(), 3u);
    const std::map<std::string, std::string> man = man_options(p.page);
    std::set<std::string> listed;
    for (const HelpOption& o : help) {
        listed.insert(o.name);
        const auto entry = man.find(o.name);
        if (entry == man.end()) {
            ADD_FAILURE() << p.page << " has no entry for " << o.name;
            continue;
        }
        for (const std::string& words : stated_default(o.description))
            EXPECT_NE(entry->second.find(words), std::string::npos)
                << p.page << ": the entry of " << o.name << " does not say \"" << words
                << "\" as the help does (" << o.description << "): " << entry->second;
    }
    for (const auto& [name, text] : man) {
        if (name.rfind("--", 0) == 0) {
            EXPECT_TRUE(listed.count(name))
                << p.page << " names " << name << ", which " << p.exe << " --help does not list";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Programs, Manual,
                         ::testing::Values(Program{"imgcover.1", e2e::kImgcover},
                                           Program{"framesim.1", e2e::kFramesim}),
                         [](const auto& info) {
                             return std::string(info.param.page).substr(0, 8);
                         });

// imgrebuild reads no arguments: its page has no options to list.
TEST(Manual, ImgrebuildsPageListsNoOption) {
    EXPECT_TRUE(man_options("imgrebuild.1").empty());
    EXPECT_EQ(e2e::read_file(kManDir + "imgrebuild.1").find(".SH OPTIONS"), std::string::npos);
}

std::string hex(imgcover::Rgb c) {
    char buf[8];
    std::snprintf(buf, sizeof buf, "#%02X%02X%02X", c.r, c.g, c.b);
    return buf;
}

// Each colour the pictures draw with is the one the page gives, by its value, for what it means.
TEST(Manual, ImgcoversColoursAreTheOnesItDrawsWith) {
    const std::map<std::string, std::string> man = man_options("imgcover.1");
    ASSERT_TRUE(man.count("--map") && man.count("--picture") && man.count("--hole-color"));
    const struct {
        const char* option;
        imgcover::Rgb colour;
        const char* meaning; // the words right after the colour's value
    } stated[] = {
        {"--map", imgcover::kMissingColour, ") where a byte is missing"},
        {"--map", imgcover::kUnsettledColour, ") where captures disagree on a byte"},
        {"--map", imgcover::kRepeatColour, ") where everything was received but some only by a"},
        {"--map", imgcover::kFirstTryColour, ") where all came the first time"},
        {"--picture", imgcover::kUnsettledA, ") and black"},
        {"--picture", imgcover::kUnsettledB, "); the last row's"},
        {"--picture", imgcover::kPastEndA, " and #"},
        {"--picture", imgcover::kPastEndB, ")."},
        {"--hole-color", imgcover::HoleColour{}.a, ") and yellow"},
        {"--hole-color", imgcover::HoleColour{}.b, ") in 4-pixel squares"},
    };
    for (const auto& s : stated) {
        const std::string words = hex(s.colour) + s.meaning;
        EXPECT_NE(man.at(s.option).find(words), std::string::npos)
            << "the entry of " << s.option << " does not say \"" << words
            << "\": " << man.at(s.option);
    }
    // The picture's holes are a checker unless told otherwise, as the page says.
    imgcover::HoleColour parsed;
    ASSERT_TRUE(imgcover::parse_hole_colour("checker", parsed));
    EXPECT_TRUE(parsed.a == imgcover::HoleColour{}.a && parsed.b == imgcover::HoleColour{}.b);
    EXPECT_NE(man.at("--hole-color").find("checker (the default)"), std::string::npos);
}

// The watch's marks, each with its meaning and colour, as the view draws them.
TEST(Manual, ImgcoversWatchMarksAreTheOnesItDraws) {
    const std::string watch = man_options("imgcover.1").at("--watch");
    for (const imgcover::BarMark& m : imgcover::kBarMarks) {
        const std::string words = std::string(1, m.glyph) + " " + m.meaning +
                                  (m.colour ? std::string(" (") + m.colour + ")" : " (");
        EXPECT_NE(watch.find(words), std::string::npos)
            << "the entry of --watch does not say \"" << words << "\": " << watch;
    }
}

} // namespace
