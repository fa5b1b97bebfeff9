#include "support/Browser.h"

#include "browser/WebViewFactory.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

using PageIdentity = BrowserTest;

TEST_F(PageIdentity, PagesSeeFirefoxAndNoScriptBridgeInEveryFrame)
{
    server.page("/", "<title>Main</title><iframe src='/frame'></iframe><img src='/pixel.png'>");
    server.page("/frame", "<title>Frame</title><p>inner</p>");
    server.route("/pixel.png", Response {200, "image/png", "", {}});
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    ASSERT_TRUE(runUntil(
        [&] { return evaluate(activeView(), "frames.length && frames[0].document.readyState") == "\"complete\""; }));
    // The main frame, a loaded child frame, and the empty document of a frame just made,
    // into which no script of a page's own was ever loaded.
    for (const std::string scope :
        {"window", "frames[0]", "document.body.appendChild(document.createElement('iframe')).contentWindow"}) {
        SCOPED_TRACE(scope);
        EXPECT_EQ(evaluate(activeView(),
                      "(w => [typeof w.webkit, w.navigator.vendor, typeof w.navigator.userAgentData, "
                      "w.navigator.userAgent, typeof w.__qwk])("
                          + scope + ")"),
            "[\"undefined\",\"\",\"undefined\",\"" + CUSTOM_UA + "\",\"undefined\"]");
        // Nothing on the window leads to a message handler.
        EXPECT_EQ(evaluate(activeView(),
                      "(w => Object.getOwnPropertyNames(w).filter(name => { try { const v = w[name]; return v && "
                      "(typeof v === 'object' || typeof v === 'function') && 'messageHandlers' in v; } catch (e) { "
                      "return false; } }))("
                          + scope + ")"),
            "[]");
    }
    // Every request carries exactly the Firefox user agent.
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/pixel.png") && server.sawPath("/frame"); }));
    for (const auto& request : server.requests())
        EXPECT_EQ(request.headers.at("User-Agent"), CUSTOM_UA) << request.path;
}
