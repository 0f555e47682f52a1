// imgcover --serve in a real browser (headless Chromium): the page opened during a live pass
// follows it and ends with the one-shot analysis' figures, its pictures are sound PNGs, its
// plan download is --plan's file, names from files are text, and it rides out the server going
// away. A screenshot of the page at the end is left in the build folder (serve-page.png).
#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <iostream>
#include <set>
#include <string>

#include <zlib.h>

#include <nlohmann/json.hpp>

#include "browser.hpp"
#include "served.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using served::eventually;

namespace {

uint32_t be32(const std::string& s, size_t at) {
    return (uint32_t{static_cast<uint8_t>(s[at])} << 24) |
           (uint32_t{static_cast<uint8_t>(s[at + 1])} << 16) |
           (uint32_t{static_cast<uint8_t>(s[at + 2])} << 8) |
           uint32_t{static_cast<uint8_t>(s[at + 3])};
}

// Checks PNG bytes strictly: the signature, every chunk's length and CRC, IHDR first, one run
// of IDAT chunks holding a whole zlib stream of exactly the rows IHDR promises (8-bit gray,
// RGB or RGBA), IEND last with nothing after it. Empty when sound, else what is wrong; the
// size in `width` and `height`.
std::string png_fault(const std::string& png, int& width, int& height) {
    static const char signature[] = "\x89PNG\r\n\x1a\n";
    if (png.size() < 8 || png.compare(0, 8, signature, 8) != 0)
        return "no PNG signature";
    std::string idat, order;
    int channels = 0;
    bool ended = false;
    for (size_t at = 8; at < png.size();) {
        if (ended)
            return "bytes after IEND";
        if (at + 12 > png.size())
            return "a chunk cut short";
        const uint32_t n = be32(png, at);
        if (at + 12 + n > png.size())
            return "a chunk runs past the end";
        const std::string type = png.substr(at + 4, 4);
        const uLong crc = crc32(0, reinterpret_cast<const Bytef*>(png.data() + at + 4), n + 4);
        if (crc != be32(png, at + 8 + n))
            return "bad CRC in " + type;
        if (order.empty() && type != "IHDR")
            return "IHDR is not first";
        if (type == "IHDR") {
            width = static_cast<int>(be32(png, at + 8));
            height = static_cast<int>(be32(png, at + 12));
            const int depth = png[at + 16], colour = png[at + 17];
            channels = colour == 0 ? 1 : colour == 2 ? 3 : colour == 6 ? 4 : 0;
            if (depth != 8 || channels == 0 || png[at + 20] != 0)
                return "an IHDR this check does not know";
        } else if (type == "IDAT") {
            if (!order.empty() && order.back() != 'D' && idat.size() > 0)
                return "IDAT chunks are not one run";
            idat += png.substr(at + 8, n);
        } else if (type == "IEND") {
            ended = true;
        }
        order += type == "IDAT" ? 'D' : 'o';
        at += 12 + n;
    }
    if (!ended)
        return "no IEND";
    const size_t expected =
        static_cast<size_t>(height) * (1 + static_cast<size_t>(width) * channels);
    std::string rows(expected + 1, '\0');
    uLongf size = static_cast<uLongf>(rows.size());
    if (uncompress(reinterpret_cast<Bytef*>(rows.data()), &size,
                   reinterpret_cast<const Bytef*>(idat.data()), idat.size()) != Z_OK)
        return "the zlib stream is broken";
    if (size != expected)
        return "the rows hold " + std::to_string(size) + " bytes, not " + std::to_string(expected);
    for (int y = 0; y < height; ++y) {
        if (static_cast<uint8_t>(rows[static_cast<size_t>(y) * (1 + width * channels)]) > 4)
            return "an unknown row filter";
    }
    return {};
}

std::string digits(const nlohmann::json& text) {
    std::string out;
    if (text.is_string()) {
        for (const char c : text.get<std::string>()) {
            if (c >= '0' && c <= '9')
                out += c;
        }
    }
    return out;
}

// The text of the element with `id` in the page.
std::string text_of(browser::Browser& b, const std::string& id) {
    const nlohmann::json v = b.eval("document.getElementById('" + id + "').textContent");
    return v.is_string() ? v.get<std::string>() : std::string();
}

} // namespace

// The page opened while framesim sends a pass: it follows the capture being received, and once
// the pass is over it shows what the one-shot analysis says; the map and the picture are sound
// PNGs; the plan download is --plan's file; the final report stays when the watch ends.
TEST(ServeInBrowser, FollowsALivePassToTheOneShotFigures) {
    if (browser::chromium_path().empty())
        GTEST_SKIP() << "chromium is not installed (./dev test installs it)";
    e2e::Workdir w;
    const std::string dir = w.path() + "/run";
    // The page is open before the pass begins: it says what it waits for.
    fs::create_directory(dir);
    served::Server s(w.path(), "--serve 0 --interval 0.2 --width 200 --plan served-plan.txt", dir);
    ASSERT_GT(s.port, 0) << e2e::read_file(w.path() + "/serve.err");
    fs::create_directory(w.path() + "/browser");
    browser::Browser b(w.path() + "/browser", 1200, 900);
    ASSERT_TRUE(b.ok()) << b.error;
    ASSERT_TRUE(b.open(s.url)) << b.error;
    ASSERT_TRUE(eventually([&] { return text_of(b, "connection") == "live"; }))
        << text_of(b, "connection") << b.error;
    EXPECT_TRUE(eventually([&] {
        return b.eval("document.getElementById('waiting').hidden") == false &&
               text_of(b, "problem").find("file_info.txt") != std::string::npos;
    })) << text_of(b, "problem");
    EXPECT_EQ(b.eval("document.getElementById('figures').hidden"), true);

    std::atomic<bool> sent{false};
    std::thread pass([&] {
        e2e::sh(w.path(),
                e2e::kFramesim + " --out run --force --live 60 --image-size 120000"
                                 " --pages-per-file 12 --loss 0.03 --seed 3 >/dev/null",
                300);
        sent = true;
    });

    // While the pass goes on, the capture marked as being received moves on.
    std::set<std::string> followed;
    while (!sent) {
        const nlohmann::json name =
            b.eval("(document.querySelector('#rows tr.receiving td.name') || {}).textContent");
        if (name.is_string())
            followed.insert(name.get<std::string>());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    pass.join();
    EXPECT_GE(followed.size(), 3u) << "the followed capture did not change";

    // Once the pass is over, the page's figures are the one-shot analysis'.
    const nlohmann::json one_shot = nlohmann::json::parse(
        e2e::sh(dir, e2e::kImgcover + " --json - . 2>/dev/null").out, nullptr, false);
    ASSERT_TRUE(one_shot.is_object());
    EXPECT_TRUE(eventually([&] {
        return digits(text_of(b, "frames")) == std::to_string(one_shot["frames"].get<int64_t>());
    })) << text_of(b, "frames");
    EXPECT_EQ(digits(text_of(b, "covered")),
              std::to_string(one_shot["covered_bytes"].get<int64_t>()));
    EXPECT_EQ(digits(text_of(b, "missing")),
              std::to_string(one_shot["missing_bytes"].get<int64_t>()));
    EXPECT_EQ(digits(text_of(b, "unsettled")),
              std::to_string(one_shot["unsettled_bytes"].get<int64_t>()));
    EXPECT_EQ(digits(text_of(b, "imagesize")), "120000");
    EXPECT_EQ(digits(text_of(b, "requests")), std::to_string(one_shot["plan"].size()));
    EXPECT_EQ(b.eval("document.querySelectorAll('#rows tr').length"), one_shot["captures"].size());

    // The map and the picture are shown, and what the server sends for them are sound PNGs of
    // the size the page shows.
    for (const char* id : {"map", "picture"}) {
        const std::string img = std::string("document.getElementById('") + id + "')";
        ASSERT_TRUE(eventually([&] {
            return b.eval(img + ".complete && " + img + ".naturalWidth > 0") == true;
        })) << id;
        const std::string src =
            b.eval("new URL(" + img + ".src).pathname + new URL(" + img + ".src).search")
                .get<std::string>();
        const served::Answer a = served::get(s.port, src);
        EXPECT_EQ(a.status, 200) << src;
        EXPECT_EQ(a.header("content-type"), "image/png") << src;
        int width = 0, height = 0;
        EXPECT_EQ(png_fault(a.body, width, height), "") << src;
        EXPECT_EQ(b.eval(img + ".naturalWidth"), width) << src;
        EXPECT_EQ(b.eval(img + ".naturalHeight"), height) << src;
    }

    // The plan download, fetched as the page's link does, is --plan's file.
    ASSERT_EQ(e2e::sh(w.path(), e2e::kImgcover + " --plan one-shot-plan.txt run >/dev/null").status,
              1);
    const nlohmann::json plan =
        b.eval("fetch(document.getElementById('plan-link').href).then(r => r.text())", true);
    ASSERT_TRUE(plan.is_string()) << b.error;
    EXPECT_EQ(plan.get<std::string>(), e2e::read_file(w.path() + "/one-shot-plan.txt"));
    EXPECT_FALSE(plan.get<std::string>().empty());

    // The screenshot of the page, as the pass left it, is part of the test's output.
    const std::string shot = b.screenshot();
    int width = 0, height = 0;
    EXPECT_EQ(png_fault(shot, width, height), "");
    const std::string shot_path = IMGREBUILD_TEST_OUTPUT "/serve-page.png";
    e2e::write_file(shot_path, shot);
    std::cout << "screenshot of the page: " << shot_path << " (" << width << "x" << height << ")\n";

    // Ctrl-C ends the watch with the report; the page keeps the final one.
    const e2e::Ran ran = s.stop();
    EXPECT_EQ(ran.status, 1) << ran.err;
    EXPECT_EQ(e2e::read_file(w.path() + "/served-plan.txt"),
              e2e::read_file(w.path() + "/one-shot-plan.txt"));
    EXPECT_TRUE(eventually([&] { return text_of(b, "report-title") == "Final report"; }));
    const std::string report = text_of(b, "report");
    EXPECT_NE(ran.out.find(report.substr(0, 60)), std::string::npos);
    EXPECT_NE(text_of(b, "connection").find("ended"), std::string::npos);
}

// A capture whose name is markup shows as text: no element of it gets into the page.
TEST(ServeInBrowser, NamesFromFilesAreText) {
    if (browser::chromium_path().empty())
        GTEST_SKIP() << "chromium is not installed (./dev test installs it)";
    e2e::Workdir w;
    const std::string dir = w.path() + "/run";
    ASSERT_EQ(e2e::sh(w.path(), e2e::kFramesim +
                                    " --out run --image-size 32768 --pages-per-file 64 >/dev/null")
                  .status,
              0);
    const std::string name = "<i>x<i>_5_0_5_63.txt";
    std::string info = e2e::read_file(dir + "/file_info.txt");
    const size_t at = info.find("pass1_5_0_5_63.txt");
    ASSERT_NE(at, std::string::npos);
    info.replace(at, std::strlen("pass1_5_0_5_63.txt"), name);
    e2e::write_file(dir + "/file_info.txt", info);
    fs::rename(dir + "/pass1_5_0_5_63.txt", dir + "/" + name);

    served::Server s(w.path(), "--serve 0 --interval 0.2", dir);
    ASSERT_GT(s.port, 0);
    fs::create_directory(w.path() + "/browser");
    browser::Browser b(w.path() + "/browser");
    ASSERT_TRUE(b.ok()) << b.error;
    ASSERT_TRUE(b.open(s.url)) << b.error;
    ASSERT_TRUE(eventually([&] {
        return b.eval("document.querySelectorAll('#rows td.name').length") == 2;
    })) << b.error;
    EXPECT_EQ(b.eval("document.querySelector('#rows td.name').textContent"), name);
    EXPECT_EQ(b.eval("document.querySelectorAll('i').length"), 0);
    EXPECT_EQ(b.eval("document.querySelectorAll('body *').length"),
              b.eval("document.querySelectorAll('body *:not(i)').length"));
    EXPECT_NE(text_of(b, "report").find(name), std::string::npos);
}

// The server going away leaves the page saying so and retrying; a server back on the same
// port brings it back to life.
TEST(ServeInBrowser, DisconnectedThenResumes) {
    if (browser::chromium_path().empty())
        GTEST_SKIP() << "chromium is not installed (./dev test installs it)";
    e2e::Workdir w;
    const std::string dir = w.path() + "/run";
    fs::copy(IMGREBUILD_TEST_DATA "/../../examples/basic", dir, fs::copy_options::recursive);
    fs::create_directory(w.path() + "/first");
    fs::create_directory(w.path() + "/second");
    auto first = std::make_unique<served::Server>(w.path() + "/first", "--serve 0", dir);
    const int port = first->port;
    ASSERT_GT(port, 0);
    fs::create_directory(w.path() + "/browser");
    browser::Browser b(w.path() + "/browser");
    ASSERT_TRUE(b.ok()) << b.error;
    ASSERT_TRUE(b.open(first->url)) << b.error;
    ASSERT_TRUE(eventually([&] { return text_of(b, "connection") == "live"; }));
    ::kill(first->pid, SIGKILL); // gone without a word, as a lost link looks
    first.reset();
    EXPECT_TRUE(eventually([&] {
        return text_of(b, "connection").find("disconnected, retrying") != std::string::npos;
    })) << text_of(b, "connection");
    served::Server second(w.path() + "/second", "--serve " + std::to_string(port), dir);
    ASSERT_EQ(second.port, port) << e2e::read_file(w.path() + "/second/serve.err");
    EXPECT_TRUE(eventually([&] { return text_of(b, "connection") == "live"; }, 30))
        << text_of(b, "connection");
}
