#include "support/Browser.h"

#include "devtools/DevToolsPanel.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

using AdSkipper = BrowserTest;

TEST_F(AdSkipper, ClicksTheSkipButtonAndRunsShortAdsToTheirEndButLeavesLongOnesAlone)
{
    server.page("/",
        "<title>Skip</title><button class='ytp-skip-ad-button' onclick='window.clicks = (window.clicks || 0) + "
        "1'>Skip</button>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    // Clicked on every tick, each time with a notice in the console.
    EXPECT_TRUE(runUntil(
        [&] {
            return evaluate(activeView(), "window.clicks >= 3") == "true"
                && browser().devPanel().consoleLineCount() >= 2;
        },
        3000));
    EXPECT_TRUE(browser().devPanel().consoleText().starts_with("[info] [quilblock] auto-skipped YouTube ad\n"))
        << browser().devPanel().consoleText();

    // A fake player: YouTube's ad marker around a real video of the given length, at 2 s.
    auto video = [&](const std::string& property) { return evaluate(activeView(), "v." + property); };
    for (int seconds : {15, 120}) {
        const std::string file = "video-" + std::to_string(seconds) + "s.webm", path = "/player-" + file;
        server.route("/" + file, Response {200, "video/webm", testData(file), {}});
        server.page(path,
            "<title>Player</title><div class='html5-video-player ad-showing'><video id='v' src='/" + file
                + "' preload='auto'></video></div>");
        browser().loadURL(server.url(path));
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
        ASSERT_TRUE(runUntil([&] { return video("readyState >= 1 && v.duration") == std::to_string(seconds); }));
        evaluate(activeView(), "v.currentTime = 2; 1");
        if (seconds == 15) // muted and run to its end
            EXPECT_TRUE(runUntil([&] { return video("muted") == "true" && video("currentTime") == "15"; }, 2000))
                << video("currentTime");
        else {
            runFor(1000);
            EXPECT_EQ(video("currentTime") + video("muted"), "2false");
        }
    }
}
