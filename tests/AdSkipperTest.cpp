#include "support/Browser.h"

#include "devtools/DevToolsPanel.h"
#include "platform/UserDefaults.h"

#include <sstream>

using namespace quillmere;
using namespace quillmere::test;

using AdSkipper = BrowserTest;

TEST_F(AdSkipper, ClicksTheSkipButtonAndRunsShortAdsToTheirEndButLeavesTheRestAlone)
{
    server.page("/", "<title>Skip</title><button class='ytp-skip-ad-button' onclick='window.clicks = (window.clicks || 0) + 1'>Skip</button>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    // The button is clicked on every tick, each time with a notice in the console.
    EXPECT_TRUE(runUntil([&] { return evaluate(activeView(), "window.clicks >= 3") == "true" && browser().devPanel().consoleLineCount() >= 2; }, 3000));
    std::istringstream console(browser().devPanel().consoleText());
    for (std::string line; std::getline(console, line);)
        EXPECT_EQ(line, "[info] [quilblock] auto-skipped YouTube ad");

    // A fake player: YouTube's ad marker (or none) around a real video of the given length, at `startAt`.
    auto play = [&](int seconds, bool adShowing, double startAt) {
        const std::string video = "video-" + std::to_string(seconds) + "s.webm", path = "/player-" + std::to_string(startAt) + (adShowing ? "-ad-" : "-") + video;
        server.route("/" + video, Response{200, "video/webm", testData(video), {}});
        server.page(path, std::string("<title>Player</title><div class='html5-video-player") + (adShowing ? " ad-showing" : "") +
                              "'><video id='v' src='/" + video + "' preload='auto'></video></div>");
        browser().loadURL(server.url(path));
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
        ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "v.readyState >= 1 && v.duration") == std::to_string(seconds); }));
        evaluate(activeView(), "v.currentTime = " + std::to_string(startAt) + "; 1");
    };
    auto video = [&](const std::string& property) { return evaluate(activeView(), "v." + property); };

    // A short ad is muted and run to its end; within its last moment, it is not moved again.
    play(15, true, 2);
    EXPECT_TRUE(runUntil([&] { return video("muted") == "true" && video("currentTime") == "15"; }, 2000)) << video("currentTime");
    play(15, true, 14.8);
    EXPECT_TRUE(runUntil([&] { return video("muted") == "true"; }, 2000));
    runFor(700);
    EXPECT_EQ(video("currentTime"), "14.8");
    // Long ads and videos that are not ads stay where they are.
    for (auto [seconds, adShowing] : {std::pair{120, true}, std::pair{15, false}}) {
        play(seconds, adShowing, 2);
        runFor(1000);
        EXPECT_EQ(video("currentTime") + video("muted"), "2false") << seconds;
    }
}
