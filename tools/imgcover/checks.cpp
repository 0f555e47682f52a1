#include "checks.hpp"

#include <algorithm>
#include <filesystem>
#include <map>
#include <system_error>
#include <unordered_map>

#include "capture/number.hpp"
#include "capture_reader.hpp"
#include "limits.hpp"
#include "text.hpp"

namespace imgcover {

namespace fs = std::filesystem;
using namespace imgrebuild;

namespace {

// Entries of folders looked at for near matches, at most, all folders together: a folder of more
// is looked at only this far, so that a check stays quick whatever the folders hold.
constexpr int64_t kFolderScan = 200000;

std::string trimmed(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && is_space(s[b]))
        ++b;
    while (e > b && is_space(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

// A name as compared for a near match: without white space at its ends, ASCII letters small.
std::string folded(const std::string& s) {
    std::string f = trimmed(s);
    for (char& ch : f) {
        if (ch >= 'A' && ch <= 'Z')
            ch = static_cast<char>(ch - 'A' + 'a');
    }
    return f;
}

bool present(const fs::path& p) {
    std::error_code ec;
    return fs::exists(p, ec);
}

// The page (block, page) of a page number counted from block SC_S page 0.
std::string page_text(int32_t SC_S, int64_t page) {
    const int64_t block =
        SC_S + (page >= 0 ? page / kBlockPages : -((-page + kBlockPages - 1) / kBlockPages));
    const int64_t in_block = page - (block - SC_S) * kBlockPages;
    return format("(%lld,%lld)", static_cast<long long>(block), static_cast<long long>(in_block));
}

// ", "LINE", read as N" when line 2 says more than the number the head reader takes from it.
std::string read_as(const std::string& line, int32_t value) {
    const char* p = line.data();
    const char* const end = p + line.size();
    next_token(p, end, ' ');
    const Token second = next_token(p, end, ' ');
    const NumberRead n = read_number(second.begin, second.end, 10);
    const Token third = next_token(p, end, ' ');
    if (n.stop == second.end && third.begin == third.end)
        return {};
    return ", \"" + line + "\", read as " + std::to_string(value);
}

// The near matches of names within one folder, by folded name; the folder listed once.
class Folders {
  public:
    // A file in the folder of `name` whose name matches it but for case and white space at
    // its ends; empty when there is none.
    std::string near(const fs::path& dir, const std::string& name) {
        const fs::path full = dir / name;
        const fs::path folder = full.parent_path().empty() ? fs::path(".") : full.parent_path();
        // The folder itself, however it is spelled ("./", "sub/../"): listed once.
        const std::string key = file_key(folder.string(), ".");
        auto it = listed_.find(key);
        if (it == listed_.end()) {
            std::map<std::string, std::string> entries;
            std::error_code ec;
            for (fs::directory_iterator d(folder, ec), end;
                 !ec && d != end && scanned_ < kFolderScan; d.increment(ec), ++scanned_) {
                const std::string file = d->path().filename().string();
                entries.emplace(folded(file), file);
            }
            it = listed_.emplace(key, std::move(entries)).first;
        }
        const auto match = it->second.find(folded(full.filename().string()));
        if (match == it->second.end())
            return {};
        return (fs::path(name).parent_path() / match->second).generic_string();
    }

  private:
    std::map<std::string, std::map<std::string, std::string>> listed_;
    int64_t scanned_ = 0; // entries listed in all folders: at most kFolderScan
};

} // namespace

std::string lines_text(const std::vector<int64_t>& lines) {
    if (lines.size() == 1)
        return "line " + std::to_string(lines[0]);
    std::vector<std::pair<int64_t, int64_t>> runs;
    for (const int64_t l : lines) {
        if (!runs.empty() && runs.back().second + 1 == l)
            runs.back().second = l;
        else
            runs.push_back({l, l});
    }
    constexpr size_t kShown = 6;
    std::vector<std::string> parts;
    for (size_t k = 0; k < runs.size() && k < kShown; ++k) {
        const auto [a, b] = runs[k];
        if (b == a + 1) { // two lines are two parts, so that "and" comes once
            parts.push_back(std::to_string(a));
            parts.push_back(std::to_string(b));
        } else {
            parts.push_back(a == b ? std::to_string(a)
                                   : std::to_string(a) + " to " + std::to_string(b));
        }
    }
    if (runs.size() > kShown) {
        size_t more = 0;
        for (size_t k = kShown; k < runs.size(); ++k)
            more += static_cast<size_t>(runs[k].second - runs[k].first + 1);
        parts.push_back(std::to_string(more) + " more");
    }
    std::string s = "lines ";
    for (size_t k = 0; k < parts.size(); ++k)
        s += (k == 0 ? "" : k + 1 == parts.size() ? " and " : ", ") + parts[k];
    return s;
}

std::vector<RunWarning> check_run(const std::string& dir, const RunWalk& w) {
    std::vector<RunWarning> out;
    if (!w.opened || w.head_status != HeadStatus::ok)
        return out;
    const int32_t SC_S = w.head.SC_S;
    const int64_t size = w.head.imagesize;
    const int64_t pages = (size + kPageBytes - 1) / kPageBytes; // pages of the image
    RunWarning past{"past_image", {}, {}}, before{"before_image", {}, {}},
        blank{"blank_name", {}, {}};
    int64_t furthest = 0, lowest_block = INT64_MAX;
    bool wholly = false; // some capture lies wholly past the image
    for (const NameLine& n : w.names) {
        if (n.blank)
            blank.lines.push_back(n.line);
        if (!n.range_ok)
            continue;
        const int64_t first = n.math.base / kPageBytes, last = first + n.math.npage - 1;
        if (first < 0) {
            before.lines.push_back(n.line);
            lowest_block = std::min<int64_t>(lowest_block, n.range.SSC);
        } else if (last >= pages) {
            past.lines.push_back(n.line);
            furthest = std::max(furthest, last);
            wholly = wholly || first >= pages;
        }
    }
    if (!past.lines.empty()) {
        const std::string line2 = read_as(w.head_text[1], w.head.imagesize);
        past.text = lines_text(past.lines) + " of file_info.txt: captures reach past the image: " +
                    (size > 0 ? "imagesize " + grouped(size) + " (line 2" + line2 +
                                    ") ends in page " + page_text(SC_S, pages - 1)
                              : "imagesize 0 (line 2" + line2 + ") leaves no page") +
                    ", and they go on to page " + page_text(SC_S, furthest) +
                    ". Their bytes past imagesize are not part of the image. If imagesize has a "
                    "typo, correct line 2" +
                    (wholly ? "; if the image starts at a later block than SC_S " +
                                  std::to_string(SC_S) + ", correct line 4."
                            : ".");
        out.push_back(std::move(past));
    }
    if (!before.lines.empty()) {
        before.text = lines_text(before.lines) +
                      " of file_info.txt: captures start before the image's first byte, which "
                      "is block SC_S " +
                      std::to_string(SC_S) +
                      " (line 4) page 0; they start "
                      "at block " +
                      std::to_string(lowest_block) +
                      ". If that is where the image starts, set SC_S " +
                      std::to_string(lowest_block) + " on line 4.";
        out.push_back(std::move(before));
    }

    const int64_t numfile = std::max<int64_t>(w.head.numfile, 0);
    const int64_t held = static_cast<int64_t>(w.names.size());
    if (held < numfile && !w.names_failed) {
        out.push_back({"numfile_high",
                       {3},
                       "line 3 of file_info.txt: numfile " + std::to_string(w.head.numfile) +
                           " asks for more name lines than the file holds (" +
                           std::to_string(held) +
                           "): imgrebuild stops with a format error where they end. Set numfile " +
                           std::to_string(held) + " on line 3, or add the missing names."});
    }
    if (w.extra_lines > 0) {
        std::vector<int64_t> lines{3};
        lines.insert(lines.end(), w.extra_at.begin(), w.extra_at.end());
        out.push_back(
            {"numfile_low", lines,
             "line 3 of file_info.txt: numfile " + std::to_string(w.head.numfile) + ", but " +
                 std::to_string(w.extra_lines) + " more name line" +
                 (w.extra_lines == 1 ? " follows, on line " : "s follow from line ") +
                 std::to_string(w.first_extra_line) +
                 ": imgrebuild and imgcover read only the first " + std::to_string(numfile) +
                 ", so the captures they name count as not received. If they belong to the run, "
                 "set numfile " +
                 std::to_string(numfile + w.extra_lines) + " on line 3."});
    }
    if (!blank.lines.empty()) {
        blank.text = lines_text(blank.lines) +
                     " of file_info.txt: blank among the name lines: imgrebuild stops at the "
                     "first with a format error. Delete " +
                     (blank.lines.size() == 1 ? "it and lower numfile on line 3 by one."
                                              : "them and lower numfile on line 3 by as many.");
        out.push_back(std::move(blank));
    }

    // Names that do not lead to their capture as written: each name looked at once, however
    // often it is listed, its warning naming every line that lists it.
    Folders folders;
    const fs::path base(dir);
    std::vector<std::string> order;                            // distinct names, as first listed
    std::unordered_map<std::string, const NameLine*> first_of; // name -> its first line
    std::unordered_map<std::string, std::vector<int64_t>> lines_of;
    for (const NameLine& n : w.names) {
        if (n.blank)
            continue;
        std::vector<int64_t>& lines = lines_of[n.name];
        if (lines.empty()) {
            order.push_back(n.name);
            first_of[n.name] = &n;
        }
        lines.push_back(n.line);
    }
    for (const std::string& name : order) {
        const NameLine& n = *first_of[name];
        std::vector<int64_t>& lines = lines_of[name];
        const std::string at = lines_text(lines) + " of file_info.txt: ";
        const std::string trim = trimmed(n.name);
        const bool there = present(base / n.name);
        if (trim != n.name) {
            const char* ends = is_space(n.name.front())
                                   ? (is_space(n.name.back()) ? "begins and ends" : "begins")
                                   : "ends";
            std::string text = at + "the name \"" + n.name + "\" " + ends +
                               " with white space, which imgrebuild takes as part of the name";
            if (there)
                text += "; a file of that very name is there, but such a name is easily lost "
                        "when the line is copied. Rename the file and the line without it.";
            else if (!trim.empty() && present(base / trim))
                text += ", and no such file is there; " + trim +
                        " is. Delete the white space from the line.";
            else
                text += ", and no such file is there. Delete the white space from the line.";
            out.push_back({"white_space", std::move(lines), text});
            continue;
        }
        if (there || n.parsed != NameStatus::ok)
            continue;
        const std::string near = folders.near(base, n.name);
        if (!near.empty())
            out.push_back({"near_match", std::move(lines),
                           at + n.name + " is not there, but " + near +
                               " is (the names differ in case or white space). Rename the file "
                               "to " +
                               n.name + ", or correct the line to name it."});
    }
    return out;
}

RunCheck check_all(const std::string& dir, const Analysis& a) {
    const RunWalk walk = walk_run(dir);
    return {predict_rebuild(dir, walk, a), check_run(dir, walk)};
}

} // namespace imgcover
