#include "support/Browser.h"

#include "browser/WebViewFactory.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

class PageIdentity : public BrowserTest {
protected:
    void launchOn(const std::string& path)
    {
        setDefault(kHomepageKey, server.url(path));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
    }
};

// Records what arrives on one channel.
struct Recorder : ScriptMessageHandler {
    struct Message {
        WebKitWebView* sender;
        std::int64_t count;
    };
    std::vector<Message> messages;
    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override
    {
        messages.push_back({sender, body.integerMember("count").value_or(-1)});
    }
};

} // namespace

TEST_F(PageIdentity, PagesSeeFirefoxInEveryFrame)
{
    server.page("/", "<title>Main</title><iframe src='/frame'></iframe><img src='/pixel.png'>");
    server.page("/frame", "<title>Frame</title><p>inner</p>");
    server.route("/pixel.png", Response{200, "image/png", "", {}});
    launchOn("/");
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "frames.length && frames[0].document.readyState") == "\"complete\""; }));

    for (const std::string scope : {"window", "frames[0]"}) {
        SCOPED_TRACE(scope);
        EXPECT_EQ(evaluate(activeView(), "typeof " + scope + ".webkit"), "\"undefined\"");
        EXPECT_EQ(evaluate(activeView(), "Object.keys(" + scope + ").includes('__qwk')"), "false");
        EXPECT_EQ(evaluate(activeView(), "(() => { for (const k in " + scope + ") if (k === '__qwk') return true; return false; })()"), "false");
        EXPECT_EQ(evaluate(activeView(), scope + ".navigator.vendor"), "\"\"");
        EXPECT_EQ(evaluate(activeView(), "typeof " + scope + ".navigator.userAgentData"), "\"undefined\"");
        EXPECT_EQ(evaluate(activeView(), scope + ".navigator.userAgent"), "\"" + CUSTOM_UA + "\"");
        // The bridge is there for our own scripts, and page code cannot replace it.
        EXPECT_EQ(evaluate(activeView(), "typeof " + scope + ".__qwk.messageHandlers.quildev.postMessage"), "\"function\"");
        EXPECT_EQ(evaluate(activeView(), "(() => { const before = " + scope + ".__qwk; " + scope + ".__qwk = 5; "
                                         "delete " + scope + ".__qwk; return " + scope + ".__qwk === before; })()"), "true");
    }

    // Every request carries exactly the Firefox user agent.
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/pixel.png") && server.sawPath("/frame"); }));
    for (const auto& request : server.requests())
        EXPECT_EQ(request.headers.at("User-Agent"), CUSTOM_UA) << request.path;
    EXPECT_EQ(CUSTOM_UA, "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:155.0) Gecko/20100101 Firefox/155.0");
}

TEST_F(PageIdentity, ChannelMessagesNameTheirSendingTab)
{
    server.page("/", "<title>Page</title>");
    launchOn("/");
    Recorder counts, pip;
    browser().setMessageHandler("quilblockcount", &counts);
    browser().setMessageHandler("quilpip", &pip);
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(tab(1).webView.get(), server.url("/")));

    // The first tab is now in the background; its messages still arrive, marked as its own.
    evaluate(tab(0).webView.get(), "window.__qwk.messageHandlers.quilblockcount.postMessage({count: 5})");
    evaluate(tab(1).webView.get(), "window.__qwk.messageHandlers.quilblockcount.postMessage({count: 7})");
    evaluate(tab(1).webView.get(), "window.__qwk.messageHandlers.quilpip.postMessage({count: 9})");
    ASSERT_TRUE(runUntil([&] { return counts.messages.size() == 2 && pip.messages.size() == 1; }));
    EXPECT_EQ(counts.messages[0].sender, tab(0).webView.get());
    EXPECT_EQ(counts.messages[0].count, 5);
    EXPECT_EQ(counts.messages[1].sender, tab(1).webView.get());
    EXPECT_EQ(counts.messages[1].count, 7);
    EXPECT_EQ(pip.messages[0].sender, tab(1).webView.get());

    browser().setMessageHandler("quilblockcount", nullptr);
    browser().setMessageHandler("quilpip", nullptr);
}
