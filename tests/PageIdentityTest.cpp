#include "support/Browser.h"

#include "browser/WebViewFactory.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Records the sender and the "count" member of what arrives on one channel.
struct Recorder : ScriptMessageHandler {
    std::vector<std::pair<WebKitWebView*, std::int64_t>> messages;
    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override
    {
        messages.emplace_back(sender, body.integerMember("count").value_or(-1));
    }
};

} // namespace

using PageIdentity = BrowserTest;

TEST_F(PageIdentity, PagesSeeFirefoxInEveryFrameAndChannelMessagesNameTheirSendingTab)
{
    server.page("/", "<title>Main</title><iframe src='/frame'></iframe><img src='/pixel.png'>");
    server.page("/frame", "<title>Frame</title><p>inner</p>");
    server.route("/pixel.png", Response {200, "image/png", "", {}});
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    ASSERT_TRUE(runUntil(
        [&] { return evaluate(activeView(), "frames.length && frames[0].document.readyState") == "\"complete\""; }));
    for (const std::string scope : {"window", "frames[0]"}) {
        SCOPED_TRACE(scope);
        // No trace of WebKit, the Firefox user agent, and a bridge for our own scripts that page code cannot replace or
        // see.
        EXPECT_EQ(evaluate(activeView(),
                      "[typeof " + scope + ".webkit, " + scope + ".navigator.vendor, typeof " + scope
                          + ".navigator.userAgentData, " + scope + ".navigator.userAgent, typeof " + scope
                          + ".__qwk.messageHandlers.quildev.postMessage]"),
            "[\"undefined\",\"\",\"undefined\",\"" + CUSTOM_UA + "\",\"function\"]");
        EXPECT_EQ(evaluate(activeView(),
                      "(() => { const keys = []; for (const k in " + scope + ") keys.push(k); const before = " + scope
                          + ".__qwk; " + scope + ".__qwk = 5; delete " + scope + ".__qwk; return [Object.keys(" + scope
                          + ").includes('__qwk'), "
                            "keys.includes('__qwk'), "
                          + scope + ".__qwk === before]; })()"),
            "[false,false,true]");
    }
    // Every request carries exactly the Firefox user agent.
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/pixel.png") && server.sawPath("/frame"); }));
    for (const auto& request : server.requests())
        EXPECT_EQ(request.headers.at("User-Agent"), CUSTOM_UA) << request.path;

    // A background tab's messages still arrive, marked as its own.
    Recorder counts, pip;
    browser().setMessageHandler("quilblockcount", &counts);
    browser().setMessageHandler("quilpip", &pip);
    browser().openNewTab(server.url("/frame"));
    ASSERT_TRUE(waitForLoad(tab(1).webView(), server.url("/frame")));
    for (const auto& [index, channel, count] :
        {std::tuple {0, "quilblockcount", 5}, {1, "quilblockcount", 7}, {1, "quilpip", 9}})
        evaluate(tab(index).webView(),
            std::string("window.__qwk.messageHandlers.") + channel + ".postMessage({count: " + std::to_string(count)
                + "})");
    ASSERT_TRUE(runUntil([&] { return counts.messages.size() == 2 && pip.messages.size() == 1; }));
    EXPECT_EQ(counts.messages,
        (std::vector<std::pair<WebKitWebView*, std::int64_t>> {{tab(0).webView(), 5}, {tab(1).webView(), 7}}));
    EXPECT_EQ(pip.messages.at(0).first, tab(1).webView());
    for (const char* channel : {"quilblockcount", "quilpip"})
        browser().setMessageHandler(channel, nullptr);
}
