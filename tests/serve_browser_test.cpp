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

#include <nlohmann/json.hpp>

#include "browser.hpp"
#include "png_check.hpp"
#include "served.hpp"
#include "workdir.hpp"

namespace fs = std::filesystem;
using served::eventually;

namespace {

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
    EXPECT_EQ(digits(text_of(b, "single-copy")),
              std::to_string(one_shot["single_copy_bytes"].get<int64_t>()));
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
        const png_check::Png png = png_check::read(a.body);
        EXPECT_EQ(png.error, "") << src;
        EXPECT_EQ(b.eval(img + ".naturalWidth"), png.width) << src;
        EXPECT_EQ(b.eval(img + ".naturalHeight"), png.height) << src;
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
    const png_check::Png shot_png = png_check::read(shot);
    EXPECT_EQ(shot_png.error, "");
    const std::string shot_path = IMGREBUILD_TEST_OUTPUT "/serve-page.png";
    e2e::write_file(shot_path, shot);
    std::cout << "screenshot of the page: " << shot_path << " (" << shot_png.width << "x"
              << shot_png.height << ")\n";

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
