#include "support/Browser.h"

#include "platform/Resources.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

using BlockCount = BrowserTest;

TEST_F(BlockCount, FailedLoadsAreCountedPerDocumentAndTab)
{
    // Three images that fail (nothing answers them), an inline script that throws.
    server.page("/", "<title>Broken</title><img src='/gone1.png'><img src='/gone2.png'><img src='/gone3.png'>"
                     "<script>throw new Error('page bug')</script>");
    server.page("/frame", "<title>Frame</title><img src='/frame-gone.png'>");
    server.page("/clean", "<title>Clean</title>");
    server.page("/two", "<title>Two</title><img src='/x.png'><img src='/y.png'>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    auto badge = [&]() -> std::string { return browser().blockedBadge().get_text(); };
    auto badgeShows = [&](int count) { return runUntil([&] { return badge() == "🛡️ " + std::to_string(count) + " blocked"; }, 5000); };
    EXPECT_TRUE(badgeShows(3)) << badge();

    // A fetch answered 404 adds nothing; one that rejects adds one and still rejects.
    EXPECT_EQ(evaluateAsync(activeView(), "const r = await fetch('/missing'); return r.status;"), "404");
    const std::string closed = TestServer().url("/x");
    EXPECT_EQ(evaluateAsync(activeView(), "try { await fetch('" + closed + "'); return 'resolved'; } catch (e) { return 'rejected ' + e.name; }"),
              "\"rejected TypeError\"");
    EXPECT_TRUE(badgeShows(4)) << badge();

    // Malformed counts change nothing; injected again, the script adds no second listener.
    for (const char* body : {"'3'", "[3]", "{count: '3'}", "{count: 2.5}", "{count: true}", "{}", "{count: 2 ** 64}"})
        evaluate(activeView(), std::string("window.__qwk.messageHandlers.quilblockcount.postMessage(") + body + "); 1");
    runFor(300);
    EXPECT_EQ(badge(), "🛡️ 4 blocked");
    evaluate(activeView(), resourceText("scripts/counter.js") + "; 1");
    evaluate(activeView(), "const i = new Image(); i.src = '/gone-again.png'; document.body.appendChild(i); 1");
    EXPECT_TRUE(badgeShows(5)) << badge();
    runFor(300);
    EXPECT_EQ(badge(), "🛡️ 5 blocked");

    // The frame that reported last sets the count.
    evaluate(activeView(), "const f = document.createElement('iframe'); f.src = '/frame'; document.body.appendChild(f); 1");
    EXPECT_TRUE(badgeShows(1)) << badge();

    // A new page starts again from nothing.
    browser().loadURL(server.url("/clean"));
    ASSERT_TRUE(waitForTitle(0, "Clean"));
    EXPECT_EQ(badge(), "🛡️ 0 blocked");

    // A background tab keeps its count, stored and not shown, for when it is shown.
    browser().openNewTab(server.url("/two"));
    ASSERT_TRUE(badgeShows(2));
    browser().switchToTab(0);
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
    evaluate(tab(1).webView.get(), "const i = new Image(); i.src = '/z.png'; document.body.appendChild(i); 1");
    EXPECT_TRUE(runUntil([&] { return tab(1).blockedCount == 3; }));
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
    browser().switchToTab(1);
    EXPECT_EQ(badge(), "🛡️ 3 blocked");

    // A count from a tab that is closing is ignored, and lands on no other tab.
    evaluate(activeView(), "window.__qwk.messageHandlers.quilblockcount.postMessage({count: 9}); 1");
    browser().closeTab(1);
    runFor(300);
    EXPECT_EQ(badge(), "🛡️ 0 blocked");
}
