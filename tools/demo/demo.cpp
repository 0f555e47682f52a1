// imgdemo: the showcase. Draws a test card, sends it through framesim with a few percent loss
// and a second pass over the ranges that lost frames, rebuilds it with imgrebuild from the
// first pass alone and from both passes merged, and tells what came back where. Then the
// operator's loop: imgcover plans what to ask for again after the first pass, framesim resends
// just that, and the rebuild after the resend is whole.
//
// usage: imgdemo IMGREBUILD IMGCOVER OUTDIR
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <utility>
#include <vector>

#include "analysis.hpp"
#include "capture/range.hpp"
#include "common/plan_file.hpp"
#include "run/run_info.hpp"
#include "sim.hpp"

namespace fs = std::filesystem;

namespace {

constexpr int kWidth = 320;
constexpr int kHeight = 240;
const std::string kHeader = "P6\n320 240\n255\n";

// A test card: colour bars, a grey ramp, a grid, and a circle across them.
std::vector<uint8_t> test_card() {
    std::vector<uint8_t> img(kHeader.begin(), kHeader.end());
    static const uint8_t bars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                       {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    for (int y = 0; y < kHeight; ++y) {
        for (int x = 0; x < kWidth; ++x) {
            uint8_t rgb[3];
            if (y < 100) {
                const uint8_t* b = bars[x * 8 / kWidth];
                rgb[0] = b[0], rgb[1] = b[1], rgb[2] = b[2];
            } else if (y < 140) {
                rgb[0] = rgb[1] = rgb[2] = static_cast<uint8_t>(x * 255 / (kWidth - 1));
            } else {
                const bool line = x % 20 == 0 || y % 20 == 0;
                rgb[0] = line ? 230 : 40, rgb[1] = line ? 230 : 60, rgb[2] = line ? 230 : 90;
            }
            const int dx = x - kWidth / 2, dy = y - kHeight / 2;
            const int r2 = dx * dx + dy * dy;
            if (r2 >= 90 * 90 && r2 < 94 * 94)
                rgb[0] = 255, rgb[1] = 128, rgb[2] = 0;
            img.insert(img.end(), rgb, rgb + 3);
        }
    }
    return img;
}

// A path as the person who ran the demo would type it: relative to where they stand.
std::string shown(const fs::path& p) {
    std::error_code ec;
    const fs::path r = fs::relative(p, fs::current_path(), ec);
    return ec || r.empty() ? p.string() : r.string();
}

std::string read_file(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void write_file(const fs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

// Runs imgrebuild in `dir`; its log goes to dir/imgrebuild.log, its image to dir/output.bin.
void rebuild(const std::string& tool, const fs::path& dir) {
    const std::string cmd =
        "cd '" + dir.string() + "' && '" + tool + "' </dev/null >imgrebuild.log 2>&1";
    if (std::system(cmd.c_str()) != 0)
        std::printf("imgrebuild failed in %s\n", dir.string().c_str());
}

// Runs imgcover in `dir` with `args`; returns its exit status (0: the image is complete) and
// leaves its report in dir/imgcover.txt.
int cover(const std::string& tool, const fs::path& dir, const std::string& args) {
    const std::string cmd =
        "cd '" + dir.string() + "' && '" + tool + "' " + args + " </dev/null >imgcover.txt";
    const int raw = std::system(cmd.c_str());
    return raw == -1 ? -1 : WEXITSTATUS(raw);
}

// The lines of imgcover's report from its plan on, indented.
void show_plan(const fs::path& dir) {
    const std::string report = read_file(dir / "imgcover.txt");
    const size_t at = report.find("plan:");
    std::istringstream lines(report.substr(at == std::string::npos ? report.size() : at));
    for (std::string line; std::getline(lines, line);)
        std::printf("  %s\n", line.c_str());
}

// After the first pass: plan, resend, and again until imgcover finds nothing missing (a
// resend loses frames too). Returns the rounds it took, or -1.
int resend_loop(const std::string& rebuild_tool, const std::string& cover_tool, const fs::path& out,
                const fs::path& first, const std::vector<uint8_t>& card, framesim::Options o) {
    const fs::path dir = out / "resent";
    fs::copy(first, dir, fs::copy_options::recursive);
    fs::remove(dir / "imgrebuild.log");
    const std::string pictures = " --pixel rgb24 --width " + std::to_string(kWidth) + " --offset " +
                                 std::to_string(kHeader.size());
    std::printf("\n== what to ask for again after the first pass: imgcover in %s\n",
                shown(dir).c_str());
    cover(cover_tool, dir,
          "--prefix r1 --plan plan.txt --next-info next.txt --map ../map-pass1.png --picture "
          "../picture-pass1.png" +
              pictures);
    show_plan(dir);
    std::printf("  map: %s, picture: %s\n", shown(out / "map-pass1.png").c_str(),
                shown(out / "picture-pass1.png").c_str());
    int round = 1;
    for (; round <= 5; ++round) {
        std::vector<framesim::Resend> plan;
        framesim::Run run;
        std::string error;
        o.out = dir.string();
        o.seed = 100 + static_cast<uint64_t>(round);
        if (!companion::read_plan((dir / "plan.txt").string(), plan, error) ||
            !framesim::resend(o, card, plan, run, error)) {
            std::fprintf(stderr, "imgdemo: %s\n", error.c_str());
            return -1;
        }
        fs::rename(dir / "next.txt", dir / imgrebuild::kRunInfoName);
        size_t lost = 0;
        for (const framesim::Capture& c : run.captures)
            lost += c.dropped.size();
        std::printf("  round %d: framesim --ranges sent %zu capture%s, %zu frame%s lost again\n",
                    round, run.captures.size(), run.captures.size() == 1 ? "" : "s", lost,
                    lost == 1 ? "" : "s");
        const std::string prefix = "r" + std::to_string(round + 1);
        const int status =
            cover(cover_tool, dir, "--prefix " + prefix + " --plan plan.txt --next-info next.txt");
        if (status == 0)
            break;
        if (status != 1)
            return -1;
    }
    rebuild(rebuild_tool, dir);
    cover(cover_tool, dir, "--map ../map-final.png --picture ../picture-final.png" + pictures);
    std::printf("  imgcover after the resend: %s",
                read_file(dir / "imgcover.txt").find("complete: every byte") != std::string::npos
                    ? "complete\n"
                    : "still missing bytes\n");
    std::printf("  map: %s, picture: %s\n", shown(out / "map-final.png").c_str(),
                shown(out / "picture-final.png").c_str());
    return round;
}

// Prints where in the picture each slot lies that the rebuild's final reports in `dir` give as
// missing, as imgcover's analysis finds them with the rebuild's own rules. A report that the
// next file's merge takes over is not final. Returns the count, or -1.
int show_missing(const fs::path& dir, size_t imagesize) {
    imgcover::Analysis a;
    a.dir = dir.string();
    std::string error;
    if (!imgcover::analyse(a, error)) {
        std::fprintf(stderr, "imgdemo: %s\n", error.c_str());
        return -1;
    }
    int missing = 0;
    const long long pixels = static_cast<long long>(kHeader.size());
    for (size_t i = 0; i < a.captures.size(); ++i) {
        const imgcover::Capture& c = a.captures[i];
        if (c.reported < 0 || !c.report_final)
            continue;
        for (const int32_t pn : imgcover::reported_slots(a, i)) {
            ++missing;
            const long long first = imgrebuild::slot_offset(c.math, pn);
            const long long last = std::min<long long>(first + 162, c.math.limit);
            if (first >= static_cast<long long>(imagesize)) {
                std::printf("  %-24s slot %3d: past the picture's end\n", c.name.c_str(), pn);
                continue;
            }
            std::printf("  %-24s slot %3d: bytes %6lld-%6lld, picture row %lld\n", c.name.c_str(),
                        pn, first, last, first < pixels ? 0 : (first - pixels) / (kWidth * 3));
        }
    }
    return missing;
}

// A pass whose frames were corrupted on the way, with every range received twice: imgcover
// finds where the two passes disagree, and the loop asks for those pages again until a further
// copy settles every contest. Returns the rounds it took, or -1.
int settle_corruption(const std::string& rebuild_tool, const std::string& cover_tool,
                      const fs::path& out, const std::vector<uint8_t>& card, framesim::Options o) {
    const fs::path dir = out / "corrupted";
    o.out = dir.string();
    o.passes = 2;
    o.repeat = framesim::Repeat::all;
    o.corrupt = 0.02;
    o.seed = 11;
    framesim::Run run;
    std::string error;
    if (!framesim::simulate(o, card, run, error)) {
        std::fprintf(stderr, "imgdemo: %s\n", error.c_str());
        return -1;
    }
    size_t corrupted = 0;
    for (const framesim::Capture& c : run.captures)
        corrupted += c.corrupted.size();
    std::printf("\n== a corrupted reception: every range twice, %zu frames with a byte changed, "
                "in %s\n",
                corrupted, shown(dir).c_str());
    int round = 0;
    for (;; ++round) {
        const int status = cover(cover_tool, dir,
                                 "--prefix c" + std::to_string(round + 1) +
                                     " --plan plan.txt --next-info next.txt");
        imgcover::Analysis a;
        a.dir = dir.string();
        if (status < 0 || status > 1 || !imgcover::analyse(a, error))
            return -1;
        std::printf("  %s: %lld bytes contested, %lld unsettled, %lld missing%s\n",
                    round == 0 ? "as received" : ("round " + std::to_string(round)).c_str(),
                    static_cast<long long>(a.contested_bytes),
                    static_cast<long long>(a.unsettled_bytes),
                    static_cast<long long>(a.head.imagesize - a.covered_bytes),
                    status == 0 ? ": complete" : "");
        if (status == 0 || round == 8)
            break;
        std::vector<framesim::Resend> plan;
        framesim::Run again;
        o.seed = 200 + static_cast<uint64_t>(round);
        if (!companion::read_plan((dir / "plan.txt").string(), plan, error) ||
            !framesim::resend(o, card, plan, again, error)) {
            std::fprintf(stderr, "imgdemo: %s\n", error.c_str());
            return -1;
        }
        fs::rename(dir / "next.txt", dir / imgrebuild::kRunInfoName);
    }
    rebuild(rebuild_tool, dir);
    return round;
}

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: imgdemo IMGREBUILD IMGCOVER OUTDIR\n");
        return 2;
    }
    const std::string tool = fs::absolute(argv[1]).string();
    const std::string cover_tool = fs::absolute(argv[2]).string();
    const fs::path out = fs::absolute(argv[3]);
    fs::remove_all(out);
    fs::create_directories(out);

    const std::vector<uint8_t> card = test_card();
    write_file(out / "testcard.ppm", std::string(card.begin(), card.end()));
    std::printf("test card: %s, %zu bytes\n", shown(out / "testcard.ppm").c_str(), card.size());

    // Both passes, as the station received them.
    framesim::Options o;
    o.out = (out / "merged").string();
    o.SC_S = 5;
    o.pages_per_file = 64;
    o.loss = 0.03;
    o.passes = 2;
    o.repeat = framesim::Repeat::lossy;
    o.seed = 7;
    framesim::Run run;
    std::string error;
    if (!framesim::simulate(o, card, run, error)) {
        std::fprintf(stderr, "imgdemo: %s\n", error.c_str());
        return 1;
    }
    // The first pass alone: the same captures, without the second passes.
    const fs::path first = out / "first-pass";
    fs::create_directories(first);
    std::vector<std::string> names;
    for (const framesim::Capture& c : run.captures) {
        if (c.name.rfind("pass1_", 0) != 0)
            continue;
        fs::copy_file(fs::path(o.out) / c.name, first / c.name);
        names.push_back(c.name);
    }
    const int first_files = static_cast<int>(names.size());
    const imgrebuild::RunHead head{static_cast<int32_t>(card.size()), first_files, o.SC_S};
    write_file(first / imgrebuild::kRunInfoName,
               imgrebuild::description_text(
                   imgrebuild::describe_run("first pass only", head, std::move(names))));

    std::printf("\n== first pass alone: %d capture files in %s\n", first_files,
                shown(first).c_str());
    rebuild(tool, first);
    const int lost_first = show_missing(first, card.size());
    std::printf("  %d slots missing\n", lost_first);
    const std::string first_image = read_file(first / "output.bin").substr(0, card.size());
    write_file(out / "first-pass.ppm", first_image);
    std::printf("  picture: %s (missing frames show as white streaks)\n",
                shown(out / "first-pass.ppm").c_str());

    std::printf("\n== second pass merged: %zu capture files in %s\n", run.captures.size(),
                shown(o.out).c_str());
    rebuild(tool, o.out);
    const int lost_merged = show_missing(o.out, card.size());
    std::printf("  %d slots missing\n", lost_merged);
    const std::string merged_image =
        read_file(fs::path(o.out) / "output.bin").substr(0, card.size());
    write_file(out / "merged.ppm", merged_image);
    std::printf("  picture: %s\n", shown(out / "merged.ppm").c_str());

    const bool equal = merged_image == std::string(card.begin(), card.end());
    std::printf("\nmerged image equals the source byte for byte: %s\n", equal ? "yes" : "no");

    const int rounds = resend_loop(tool, cover_tool, out, first, card, o);
    const std::string resent_image =
        read_file(out / "resent" / "output.bin").substr(0, card.size());
    write_file(out / "resent.ppm", resent_image);
    const bool resent_equal = resent_image == std::string(card.begin(), card.end());
    std::printf("\nimage rebuilt after %d resend round%s equals the source byte for byte: %s\n",
                rounds, rounds == 1 ? "" : "s", resent_equal ? "yes" : "no");

    const int settled = settle_corruption(tool, cover_tool, out, card, o);
    const std::string corrupted_image =
        read_file(out / "corrupted" / "output.bin").substr(0, card.size());
    write_file(out / "corrupted.ppm", corrupted_image);
    const bool corrupted_equal = corrupted_image == std::string(card.begin(), card.end());
    std::printf("\nimage rebuilt from the corrupted reception after %d resend round%s equals the "
                "source byte for byte: %s\n",
                settled, settled == 1 ? "" : "s", corrupted_equal ? "yes" : "no");
    std::printf("the tool's logs: first-pass/imgrebuild.log, merged/imgrebuild.log, "
                "resent/imgrebuild.log and corrupted/imgrebuild.log\n");
    return equal && resent_equal && corrupted_equal ? 0 : 1;
}
