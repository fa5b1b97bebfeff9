// Pages as a hostile site writes them: they look for a way to post on the browser's
// channels from every frame they can make, and try to pass for another tab or frame.
// Nothing of theirs may reach the developer tools, the badge, the panel or the log; what
// the program's own scripts report must be credited to the tab and frame it came from.
#include "support/Browser.h"
#include "support/Input.h"

#include "devtools/DevToolsPanel.h"
#include "pip/PiPController.h"
#include "pip/PiPPanel.h"
#include "platform/UserDefaults.h"

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Searches every way to the browser's channels from this frame: the engine's bridge, the
// old hidden one, anything on the window with message handlers, and the same in the
// empty document of a frame just made, where no script of the page ever ran. Posts a
// forged request, console line, PiP error and counts on whatever it finds, tries to turn
// the developer tools' capture on and to inflate the blocked count, and answers what
// it found (nothing, if all is well).
const char* kForge = R"(<script>
window.forge = function () {
    const found = [];
    const messages = {
        quildev: [{ type: 'network', payload: { id: 'forged', method: 'POST', url: 'http://bank.example/transfer-1000',
                    headers: '{}', body: 'to=mallory', time: '' } },
                  { type: 'console', payload: { level: 'error', text: 'FORGED console line' } }],
        quilpip: [{ type: 'error', data: 'FORGED\nUpdate installed, relaunching' }],
        quilblockcount: [{ count: 999999 }, { count: -5 }],
    };
    const post = (where, handlers) => {
        for (const channel in messages)
            for (const message of messages[channel])
                try { handlers[channel].postMessage(message); found.push(where + ' ' + channel); } catch (e) {}
    };
    const bridges = [['webkit', window.webkit], ['__qwk', window.__qwk]];
    for (const name of Object.getOwnPropertyNames(window))
        try { const v = window[name]; if (v && typeof v === 'object' && 'messageHandlers' in v) bridges.push([name, v]); } catch (e) {}
    const fresh = document.documentElement.appendChild(document.createElement('iframe')).contentWindow;
    bridges.push(['empty frame webkit', fresh.webkit], ['empty frame __qwk', fresh.__qwk]);
    for (const [where, bridge] of bridges) {
        if (!bridge)
            continue;
        found.push(where);
        if (bridge.messageHandlers)
            post(where, bridge.messageHandlers);
    }
    const capturing = window.__quildevActive;
    try { window.__quildevActive = !capturing; } catch (e) {}
    try { Object.defineProperty(window, '__quildevActive', { value: !capturing }); } catch (e) {}
    if (window.__quildevActive !== capturing)
        found.push('capture switched');
    // Error events the page makes itself are no failed loads.
    for (let i = 0; i < 50; i++) {
        const img = document.documentElement.appendChild(document.createElement('img'));
        img.dispatchEvent(new Event('error'));
    }
    return found;
};
window.forged = forge();
window.thirdParty = () => document.querySelector('iframe[src]').contentWindow;
addEventListener('message', event => {
    if (event.data === 'forge')
        parent.postMessage({ found: forge() }, '*');
    else if (event.data && event.data.found)
        window.frameFound = event.data.found;
});
</script>)";

// Keeps what reaches the developer tools and the PiP controller, on the way to them.
struct Tap : ScriptMessageHandler {
    ScriptMessageHandler* next = nullptr;
    std::vector<std::pair<ScriptSender, std::string>> messages; // sender, JSON
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override
    {
        g_autofree char* json = jsc_value_to_json(body.get(), 0);
        messages.emplace_back(sender, json ? json : "");
        next->didReceiveScriptMessage(sender, body);
    }
    size_t containing(const std::string& text) const
    {
        return std::count_if(
            messages.begin(), messages.end(), [&](const auto& m) { return m.second.find(text) != std::string::npos; });
    }
};

class Containment : public BrowserTest {
protected:
    void SetUp() override
    {
        useServerAsProxy();
        for (const char* name : {"pip-640x480.webm"})
            server.route("hostile.example", std::string("/") + name,
                Response {200, "video/webm", testData(name), {{"Accept-Ranges", "bytes"}}});
        server.route("bank.example", "/", page("<title>Bank</title><p>balance</p>"));
        server.route("hostile.example", "/",
            page(
                std::string("<title>Hostile</title>") + kForge + "<iframe src='http://third.example/frame'></iframe>"));
        server.route("third.example", "/frame",
            page(std::string("<title>Third</title>") + kForge
                + "<script>parent.postMessage({ found: forged }, '*');</script>"));
        server.route("hostile.example", "/popup",
            page(std::string("<title>Popup</title>") + kForge
                + "<img src='/missing-1.png'><video id=v src='/pip-640x480.webm' muted autoplay "
                  "style='width: 320px; height: 240px'></video>"));
        server.route("hostile.example", "/ok", Response {200, "text/plain", "ok", {}});
        setDefault(kHomepageKey, "http://bank.example/");
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), "http://bank.example/"));
        devTools.next = &browser().devPanel();
        pip.next = &browser().pipController();
        browser().setMessageHandler("quildev", &devTools);
        browser().setMessageHandler("quilpip", &pip);
    }
    void TearDown() override
    {
        browser().setMessageHandler("quildev", &browser().devPanel());
        browser().setMessageHandler("quilpip", &browser().pipController());
    }
    static Response page(const std::string& html) { return Response {200, "text/html; charset=utf-8", html, {}}; }
    DevToolsPanel& panel() { return browser().devPanel(); }
    bool settled()
    {
        return runUntil([&] { return panel().pendingMessages() == 0; });
    }
    std::string everythingShown()
    {
        std::string text = panel().consoleText();
        for (size_t i = 0; i < panel().entries().size(); ++i)
            text += "\n" + panel().entries().at(i).detailText();
        return text + "\n" + browser().blockedBadge().get_text();
    }
    std::string forgedIn(WebKitWebView* view)
    {
        return evaluate(view, "JSON.stringify([window.forged, window.frameFound])");
    }

    Tap devTools, pip;
};

} // namespace

TEST_F(Containment, NoFrameTabOrPopupFindsAWayToTheBrowsersChannels)
{
    // A hostile page with a frame of another origin, in the background of the bank's tab,
    // whose developer tools are open.
    browser().openNewTab("http://hostile.example/");
    WebKitWebView* hostile = activeView();
    ASSERT_TRUE(waitForLoad(hostile, "http://hostile.example/"));
    ASSERT_TRUE(runUntil([&] { return evaluate(hostile, "!!window.frameFound") == "true"; }));
    EXPECT_EQ(forgedIn(hostile), "\"[[],[]]\"");
    browser().switchToTab(0);
    browser().toggleDevTools();
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "window.__quildevActive") == "true"; }));
    evaluate(hostile,
        "window.frameFound = null; forged = forge(); thirdParty().postMessage('forge', '*'); "
        "console.log('own line of a background tab'); fetch('/ok'); 1");
    ASSERT_TRUE(runUntil([&] { return evaluate(hostile, "!!window.frameFound") == "true"; }));
    EXPECT_EQ(forgedIn(hostile), "\"[[],[]]\"");
    runFor(300);
    ASSERT_TRUE(settled());
    // Nothing of the background tab reaches the bank's log, and nothing was forged anywhere.
    EXPECT_EQ(everythingShown(), "\n🛡️ 0 blocked");
    EXPECT_EQ(devTools.containing("FORGED") + devTools.containing("transfer") + pip.messages.size(), 0u);

    // The hostile tab in front, captured: its own console line shows, nothing forged does.
    browser().switchToTab(1);
    ASSERT_TRUE(runUntil([&] { return evaluate(hostile, "window.__quildevActive") == "true"; }));
    evaluate(hostile,
        "window.frameFound = null; forged = forge(); "
        "thirdParty().postMessage('forge', '*'); console.log('own line'); 1");
    ASSERT_TRUE(runUntil([&] { return evaluate(hostile, "!!window.frameFound") == "true"; }));
    EXPECT_EQ(forgedIn(hostile), "\"[[],[]]\"");
    ASSERT_TRUE(runUntil([&] { return panel().consoleText() == "[log] own line"; }) && settled());
    EXPECT_EQ(everythingShown(), "[log] own line\n🛡️ 0 blocked");

    // A popup's messages are its own: its failed load counts for it, not for its opener.
    evaluate(hostile, "window.open('/popup') && 1");
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    WebKitWebView* popup = tab(2).webView();
    ASSERT_TRUE(waitForLoad(popup, "http://hostile.example/popup"));
    EXPECT_EQ(forgedIn(popup), "\"[[],null]\"");
    ASSERT_TRUE(runUntil([&] { return tab(2).blockedCount() == 1; }));
    // A page that settles every promise it sees still cannot make a fetch fail.
    evaluate(popup,
        "const then = Promise.prototype.then; Promise.prototype.then = function (resolved, rejected) { "
        "if (rejected) for (let i = 0; i < 100; i++) try { rejected(new TypeError('forged')); } catch (e) {} "
        "return then.call(this, resolved, rejected); }; fetch('/ok'); 1");
    runFor(500);
    EXPECT_EQ(tab(1).blockedCount(), 0);
    EXPECT_EQ(tab(2).blockedCount(), 1);
    EXPECT_EQ(browser().blockedBadge().get_text(), "🛡️ 1 blocked");

    // Its opener gone, the popup still reports, as itself: a failed load, a PiP stream.
    browser().closeTab(1);
    ASSERT_EQ(tabCount(), 2);
    ASSERT_EQ(activeView(), popup);
    evaluate(popup, "document.body.appendChild(document.createElement('img')).src = '/missing-2.png'; 1");
    ASSERT_TRUE(runUntil([&] { return tab(1).blockedCount() == 2; }));
    ASSERT_TRUE(runUntil([&] { return evaluate(popup, "v.readyState >= 2") == "true"; }, 15000));
    browser().startPiP();
    PiPPanel* window = browser().pipController().panel();
    ASSERT_TRUE(window);
    EXPECT_TRUE(
        runUntil([&] { return window->imageView().get_paintable() && window->titleLabel().get_text() == "Popup"; }));
    for (const auto& [sender, json] : pip.messages)
        EXPECT_TRUE(sender.view == popup && sender.mainFrame) << json;
    window->closePiP();

    // Nothing forged was logged, and no page's text made a line of its own.
    for (const auto& entry : capturedLog())
        EXPECT_TRUE(entry.message.find("FORGED") == std::string::npos
            && entry.message.find("Update installed") == std::string::npos)
            << entry.message;
}

TEST_F(Containment, ResendRepeatsARequestFromTheFrameThatMadeItAndOnlyThere)
{
    server.route("news.example", "/", page("<title>News</title><iframe src='http://widget.example/frame'></iframe>"));
    server.route("widget.example", "/frame",
        page("<script>addEventListener('message', e => fetch('/vote', { method: 'POST', body: e.data }));</script>"));
    server.route("/vote", [](const SeenRequest& request) { // on either host
        return Response {200, "text/plain", "counted " + request.body, {{"Access-Control-Allow-Origin", "*"}}};
    });
    browser().loadURL("http://news.example/");
    ASSERT_TRUE(waitForLoad(activeView(), "http://news.example/"));
    ASSERT_TRUE(runUntil([&] {
        return evaluate(
                   activeView(), "(() => { try { return frames[0].document.title; } catch (e) { return 'other'; } })()")
            == "\"other\"";
    })) << "the frame is of another origin";
    browser().toggleDevTools();
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "window.__quildevActive") == "true"; }));

    // The frame's own request and one of the page's, with the same path.
    evaluate(activeView(), "frames[0].postMessage('from the frame', '*'); 1");
    ASSERT_TRUE(runUntil([&] { return server.saw("widget.example", "/vote"); }));
    evaluate(activeView(), "fetch('/vote', { method: 'POST', body: 'from the page' }); 1");
    ASSERT_TRUE(runUntil([&] {
        return panel().entries().size() == 2 && panel().entries().at(0).status == "200"
            && panel().entries().at(1).status == "200" && settled();
    }));
    const NetworkEntry fromPage = panel().entries().at(0), fromFrame = panel().entries().at(1);
    EXPECT_EQ(fromFrame.body + "|" + fromPage.body, "from the frame|from the page");
    EXPECT_NE(fromFrame.frame, fromPage.frame);

    // Resends the oldest entry with `body` from `frame`.
    auto resend = [&](const std::string& body, std::uint64_t frame) {
        for (size_t row = panel().entries().size(); row-- > 0;)
            if (panel().entries().at(row).body == body && panel().entries().at(row).frame == frame) {
                panel().networkTable().get_model()->select_item(static_cast<guint>(row), true);
                click(panel().resendButton());
                return;
            }
        ADD_FAILURE() << "no entry " << body;
    };
    auto seen = [&](const char* host) {
        std::vector<std::string> list;
        for (const auto& request : server.requests())
            if (request.host == host && request.path == "/vote")
                list.push_back(request.body + " from "
                    + (request.headers.count("Origin") ? request.headers.at("Origin") : std::string("?")));
        return list;
    };
    resend("from the frame", fromFrame.frame);
    ASSERT_TRUE(runUntil([&] { return seen("widget.example").size() == 2; }));
    EXPECT_EQ(seen("widget.example").back(), "from the frame from http://widget.example");
    // The repeat is captured too, as the frame's.
    ASSERT_TRUE(runUntil([&] { return panel().entries().size() == 3 && settled(); }));
    EXPECT_EQ(panel().entries().at(0).frame, fromFrame.frame);
    resend("from the page", fromPage.frame);
    ASSERT_TRUE(runUntil([&] { return seen("news.example").size() == 2; }));
    EXPECT_EQ(seen("news.example").back(), "from the page from http://news.example");

    // Once the frame shows another document, its requests are not repeated.
    ASSERT_TRUE(runUntil([&] { return panel().entries().size() >= 4 && settled(); }));
    evaluate(activeView(), "document.querySelector('iframe').src = 'http://widget.example/frame?next'; 1");
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/frame").size() == 2; }));
    runFor(300);
    resend("from the frame", fromFrame.frame);
    runFor(500);
    EXPECT_EQ(seen("widget.example").size(), 2u);

    // Another tab's log is its own: switching empties it, and a resend there goes nowhere else.
    browser().openNewTab("http://bank.example/");
    ASSERT_TRUE(waitForLoad(activeView(), "http://bank.example/"));
    EXPECT_EQ(panel().entries().size(), 0u);
    EXPECT_EQ(evaluate(tab(0).webView(), "window.__quildevActive"), "false");
}
