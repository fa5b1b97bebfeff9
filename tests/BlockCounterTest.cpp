#include "support/Browser.h"

#include "platform/Resources.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

class BlockCount : public BrowserTest {
protected:
    void launchOn(const std::string& path)
    {
        setDefault(kHomepageKey, server.url(path));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
    }
    std::string badge() { return browser().blockedBadge().get_text(); }
    bool badgeShows(int count)
    {
        return runUntil([&] { return badge() == "🛡️ " + std::to_string(count) + " blocked"; }, 5000);
    }
};

} // namespace

TEST_F(BlockCount, FailedResourcesAreCountedButFetchesOnlyWhenTheyReject)
{
    // Three images that fail (nothing answers them), an inline script that throws.
    server.page("/", "<title>Broken</title><img src='/gone1.png'><img src='/gone2.png'><img src='/gone3.png'>"
                     "<script>throw new Error('page bug')</script>");
    launchOn("/");
    EXPECT_TRUE(badgeShows(3)) << badge();
    EXPECT_EQ(tab(0).blockedCount, 3);

    // A fetch answered 404 adds nothing; one that rejects adds one and still rejects.
    EXPECT_EQ(evaluateAsync(activeView(), "const r = await fetch('/missing'); return r.status;"), "404");
    std::string closed;
    {
        TestServer gone;
        closed = gone.url("/x");
    }
    EXPECT_EQ(evaluateAsync(activeView(), "try { await fetch('" + closed + "'); return 'resolved'; } "
                                          "catch (e) { return 'rejected ' + e.name; }"),
              "\"rejected TypeError\"");
    EXPECT_TRUE(badgeShows(4)) << badge();

    // A new page starts again from nothing.
    server.page("/clean", "<title>Clean</title>");
    browser().loadURL(server.url("/clean"));
    ASSERT_TRUE(waitForTitle(0, "Clean"));
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
    EXPECT_EQ(tab(0).blockedCount, 0);
}

TEST_F(BlockCount, TheFrameThatReportedLastSetsTheCount)
{
    server.page("/frame", "<title>Frame</title><img src='/frame-gone.png'>");
    server.page("/", "<title>Main</title>" + std::string(5 * 0, ' ') +
                     "<img src='/a.png'><img src='/b.png'><img src='/c.png'><img src='/d.png'><img src='/e.png'>");
    launchOn("/");
    ASSERT_TRUE(badgeShows(5));
    evaluate(activeView(), "const f = document.createElement('iframe'); f.src = '/frame'; document.body.appendChild(f); 1");
    EXPECT_TRUE(badgeShows(1)) << badge();
}

TEST_F(BlockCount, ABackgroundTabKeepsItsCountForWhenItIsShown)
{
    server.page("/two", "<title>Two</title><img src='/x.png'><img src='/y.png'>");
    server.page("/none", "<title>None</title>");
    launchOn("/none");
    browser().openNewTab(server.url("/two"));
    ASSERT_TRUE(badgeShows(2));
    browser().switchToTab(0);
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
    // A failure in the background tab is stored, not shown.
    evaluate(tab(1).webView.get(), "const i = new Image(); i.src = '/z.png'; document.body.appendChild(i); 1");
    EXPECT_TRUE(runUntil([&] { return tab(1).blockedCount == 3; }));
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
    browser().switchToTab(1);
    EXPECT_EQ(badge(), "🛡️ 3 blocked");
}

TEST_F(BlockCount, MalformedCountsAndASecondInstallChangeNothing)
{
    server.page("/", "<title>Page</title><img src='/gone.png'>");
    launchOn("/");
    ASSERT_TRUE(badgeShows(1));
    for (const char* body : {"'3'", "[3]", "{count: '3'}", "{count: 2.5}", "{count: true}", "{}", "{count: 2 ** 64}"})
        evaluate(activeView(), std::string("window.__qwk.messageHandlers.quilblockcount.postMessage(") + body + "); 1");
    runFor(300);
    EXPECT_EQ(badge(), "🛡️ 1 blocked");

    // Injected again into the same document, the script adds no second listener.
    evaluate(activeView(), resourceText("scripts/counter.js") + "; 1");
    evaluate(activeView(), "const i = new Image(); i.src = '/gone-again.png'; document.body.appendChild(i); 1");
    EXPECT_TRUE(badgeShows(2)) << badge();
    runFor(300);
    EXPECT_EQ(badge(), "🛡️ 2 blocked");
}

TEST_F(BlockCount, ACountFromAClosedTabIsIgnored)
{
    server.page("/", "<title>Page</title>");
    launchOn("/");
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    WebKitWebView* closing = activeView();
    evaluate(closing, "window.__qwk.messageHandlers.quilblockcount.postMessage({count: 9}); 1");
    browser().closeTab(1);
    runFor(300);
    EXPECT_EQ(tabCount(), 1);
    EXPECT_EQ(tab(0).blockedCount, 0);
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
}
