#include "support/Browser.h"

#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

using BlockCount = BrowserTest;

TEST_F(BlockCount, FailedLoadsAreCountedPerDocumentAndTab)
{
    // Three images that fail (nothing answers them), an inline script that throws.
    server.page("/",
        "<title>Broken</title><img src='/gone1.png'><img src='/gone2.png'><img src='/gone3.png'>"
        "<script>throw new Error('page bug')</script>");
    server.page("/frame", "<title>Frame</title><img src='/frame-gone.png'>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    auto badge = [&]() -> std::string { return browser().blockedBadge().get_text(); };
    auto badgeShows = [&](int count) {
        return runUntil([&] { return badge() == "🛡️ " + std::to_string(count) + " blocked"; }, 5000);
    };
    EXPECT_TRUE(badgeShows(3)) << badge();

    // A fetch answered 404 adds nothing; one that rejects adds one and still rejects.
    EXPECT_EQ(evaluateAsync(activeView(), "const r = await fetch('/missing'); return r.status;"), "404");
    EXPECT_EQ(evaluateAsync(activeView(),
                  "try { await fetch('" + TestServer().url("/x")
                      + "'); return 'resolved'; } catch (e) { return 'rejected'; }"),
        "\"rejected\"");
    EXPECT_TRUE(badgeShows(4)) << badge();

    // A frame's failures add to the page's.
    evaluate(
        activeView(), "const f = document.createElement('iframe'); f.src = '/frame'; document.body.appendChild(f); 1");
    EXPECT_TRUE(badgeShows(5)) << badge();

    // A background tab's count is stored, and shown once it is activated.
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(badgeShows(3));
    browser().switchToTab(0);
    evaluate(tab(1).webView(), "const i = new Image(); i.src = '/z.png'; document.body.appendChild(i); 1");
    EXPECT_TRUE(runUntil([&] { return tab(1).blockedCount() == 4; }));
    EXPECT_EQ(badge(), "🛡️ 5 blocked");
    browser().switchToTab(1);
    EXPECT_EQ(badge(), "🛡️ 4 blocked");
}
