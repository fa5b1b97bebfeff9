#include "support/Browser.h"

#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Records the console notices that pages post on the developer-tools channel.
struct ConsoleRecorder : ScriptMessageHandler {
    std::vector<std::string> texts;
    void didReceiveScriptMessage(WebKitWebView*, const ScriptValue& body) override
    {
        if (body.stringMember("type") != "console")
            return;
        if (auto payload = body.member("payload"))
            texts.push_back("[" + payload->stringMember("level").value_or("?") + "] " + payload->stringMember("text").value_or(""));
    }
};

class AdSkipper : public BrowserTest {
protected:
    // A fake player: YouTube's ad marker around a real video of the given length.
    void launchPlayer(int seconds, bool adShowing, double startAt)
    {
        server.route("/video.webm", Response{200, "video/webm", testData("video-" + std::to_string(seconds) + "s.webm"), {}});
        server.page("/", std::string("<title>Player</title><div class='html5-video-player") + (adShowing ? " ad-showing" : "") +
                             "'><video id='v' src='/video.webm' preload='auto'></video></div>");
        setDefault(kHomepageKey, server.url("/"));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
        ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "v.readyState >= 1 && v.duration") == std::to_string(seconds); }));
        evaluate(activeView(), "v.currentTime = " + std::to_string(startAt) + "; 1");
    }
    std::string video(const std::string& property) { return evaluate(activeView(), "v." + property); }
};

} // namespace

TEST_F(AdSkipper, AShortAdIsMutedAndRunToItsEnd)
{
    launchPlayer(15, true, 2);
    EXPECT_TRUE(runUntil([&] { return video("muted") == "true" && video("currentTime") == "15"; }, 2000))
        << video("currentTime");
}

TEST_F(AdSkipper, LongAdsAndAdsNearTheirEndAreLeftWhereTheyAre)
{
    launchPlayer(120, true, 2);
    runFor(1000);
    EXPECT_EQ(video("currentTime"), "2");
    EXPECT_EQ(video("muted"), "false");
}

TEST_F(AdSkipper, AnAdWithinItsLastMomentIsNotMovedAgain)
{
    launchPlayer(15, true, 14.8);
    EXPECT_TRUE(runUntil([&] { return video("muted") == "true"; }, 2000));
    runFor(700);
    EXPECT_EQ(video("currentTime"), "14.8");
}

TEST_F(AdSkipper, AVideoThatIsNotAnAdIsLeftAlone)
{
    launchPlayer(15, false, 2);
    runFor(1000);
    EXPECT_EQ(video("currentTime"), "2");
    EXPECT_EQ(video("muted"), "false");
}

TEST_F(AdSkipper, TheSkipButtonIsClickedOnEveryTickWithANotice)
{
    ConsoleRecorder console;
    server.page("/", "<title>Skip</title><button class='ytp-skip-ad-button' onclick='window.clicks = (window.clicks || 0) + 1'>Skip</button>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    browser().setMessageHandler("quildev", &console);
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_TRUE(runUntil([&] { return evaluate(activeView(), "window.clicks >= 3") == "true"; }, 3000));
    EXPECT_GE(console.texts.size(), 2u);
    for (const auto& text : console.texts)
        EXPECT_EQ(text, "[info] [quilblock] auto-skipped YouTube ad");
    browser().setMessageHandler("quildev", nullptr);
}
