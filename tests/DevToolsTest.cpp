// The developer tools against real pages: what the page instrumentation reports and
// what the panel makes of it.
#include "support/Browser.h"
#include "support/Input.h"

#include "devtools/DevToolsPanel.h"
#include "platform/UserDefaults.h"

#include <glibmm/uriutils.h>

#include <algorithm>
#include <map>
#include <regex>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// As encodeURIComponent writes it, to compare strings with a page without trusting the program's escaping.
std::string uriEscaped(const std::string& text)
{
    return Glib::uri_escape_string(text, "!*'()", false);
}

// Sits between the pages and the panel and keeps every message, so that each event of a
// request can be checked, not only the latest one the panel shows.
struct Tap : ScriptMessageHandler {
    DevToolsPanel* panel = nullptr;
    std::vector<std::string> messages; // as JSON
    std::map<std::string, std::string> responses; // id -> a "status|preview" line for each of its responses
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override
    {
        g_autofree char* json = jsc_value_to_json(body.get(), 0);
        messages.push_back(json ? json : "");
        if (const auto p = body.member("payload"); body.stringMember("type") == "network_response")
            responses[p->stringMember("id").value_or("?")] +=
                p->stringMember("status").value_or("?") + "|" + p->stringMember("preview").value_or("?") + "\n";
        panel->didReceiveScriptMessage(sender, body);
    }
    long count(const std::string& part) const
    {
        return std::count_if(
            messages.begin(), messages.end(), [&](auto& m) { return m.find(part) != std::string::npos; });
    }
};

class DevTools : public BrowserTest {
protected:
    void SetUp() override
    {
        server.page("/", "<!DOCTYPE html><html><head><title>Start</title></head><body><p id=p>start</p></body></html>");
        server.route("/data", Response {200, "text/plain", "data body", {}});
        server.route("/json", Response {201, "application/json", "{\"ok\":true}", {}});
        server.route("/long", Response {200, "text/plain", std::string(450, 'a') + std::string(150, 'b'), {}});
        server.route("/echo", [](const SeenRequest& request) {
            return Response {200, "text/plain", request.method + ":" + request.body, {}};
        });
        server.echoWebSocket("/socket");
        setDefault(kHomepageKey, server.url("/"));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
        tap.panel = &panel();
        browser().setMessageHandler("quildev", &tap);
    }
    void TearDown() override { browser().setMessageHandler("quildev", &panel()); }

    DevToolsPanel& panel() { return browser().devPanel(); }
    std::string capturing(WebKitWebView* view) { return evaluate(view, "window.__quildevActive"); }
    void openPanel()
    {
        browser().toggleDevTools();
        ASSERT_TRUE(browser().devPanelVisible() && runUntil([&] { return capturing(activeView()) == "true"; }));
    }
    // Waits until every queued message has reached the panel.
    bool settle()
    {
        return runUntil([&] { return panel().pendingMessages() == 0; });
    }
    // Runs `body` in the page and waits until its closing "[log] done" has reached the panel.
    void runAndWait(const std::string& body)
    {
        const size_t before = panel().consoleLineCount();
        evaluateAsync(activeView(), body + "\nconsole.log('done'); return true;");
        ASSERT_TRUE(runUntil([&] { return panel().consoleLineCount() > before && settle(); }));
    }
    // Hands the panel a message as if the active page's main frame had posted `body`
    // (JavaScript source): pages themselves have no way to post.
    void post(const std::string& body)
    {
        auto value = adopt(jsc_context_evaluate(context.get(), ("(" + body + ")").c_str(), -1));
        tap.didReceiveScriptMessage(ScriptSender {activeView(), 0, true}, ScriptValue(value.get()));
    }
    void selectRow(int row) { panel().networkTable().get_model()->select_item(row, true); }

    static std::string row(const NetworkEntry& e)
    {
        return e.method + "|" + e.url + "|" + e.headers + "|" + e.body + "|" + e.status + "|" + e.responsePreview;
    }
    // Every entry for `url` (all when empty) as method|url|headers|body|status|preview, newest first.
    std::string rows(const std::string& url = "")
    {
        std::string out;
        for (size_t i = 0; i < panel().entries().size(); ++i)
            if (const NetworkEntry& e = panel().entries().at(i); url.empty() || e.url == url)
                out += (out.empty() ? "" : " / ") + row(e);
        return out;
    }
    // The text of a cell of the network table, whose rows are the children of its list.
    std::string cellText(int r, int c)
    {
        const auto child = [](Gtk::Widget* w, int n) {
            for (w = w ? w->get_first_child() : nullptr; w && n-- > 0;)
                w = w->get_next_sibling();
            return w;
        };
        auto* label = dynamic_cast<Gtk::Label*>(child(child(child(panel().networkTable().get_last_child(), r), c), 0));
        return label ? std::string(label->get_text()) : "<none>";
    }

    Tap tap;
    GObjectPtr<JSCContext> context = adopt(jsc_context_new());
};

} // namespace

TEST_F(DevTools, CaptureFollowsTheSwitchAndReportsEveryKindOfRequestAndConsoleLine)
{
    for (const char* path : {"/pixel.png", "/early.png"})
        server.route(path, Response {200, "image/png", std::string("\x89PNG\r\n\x1a\n", 8), {}});
    server.route("/script.js", Response {200, "text/javascript", "window.scriptRan = true;", {}});
    server.route("/style.css", Response {200, "text/css", "p { color: red; }", {}});
    // Capture starts off: the page's calls reach the real functions and nothing is posted.
    // /early.png is observed now, so it is never reported, even when loaded again later.
    EXPECT_EQ(evaluateAsync(activeView(), R"(
        const text = await (await fetch('/data')).text(); console.log('quiet');
        const xhr = new XMLHttpRequest(); xhr.open('GET', '/json'); await new Promise(done => { xhr.onloadend = done; xhr.send(); });
        const socket = new WebSocket('ws://' + location.host + '/socket'); await new Promise(done => socket.onopen = done);
        socket.send('quiet frame'); await new Promise(done => socket.onmessage = done);
        const img = new Image(); img.src = '/early.png'; await new Promise(d => { img.onload = img.onerror = d; });
        await new Promise(d => setTimeout(d, 100));
        return [text, xhr.responseText, socket instanceof WebSocket, socket.readyState === WebSocket.OPEN, window.__quildevActive];)"),
        R"(["data body","{\"ok\":true}",true,true,false])");
    runFor(300);
    EXPECT_TRUE(tap.messages.empty()) << tap.messages.front();

    openPanel();
    runAndWait("await fetch('/json');");
    EXPECT_EQ(std::make_pair(tap.count("\"type\":\"network\","), tap.count("\"type\":\"network_response\"")),
        std::make_pair(1L, 1L));

    // fetch and XHR entries with their statuses and previews; console lines of every kind of argument (debug is not
    // wrapped).
    const std::string base = server.url(""), console = panel().consoleText();
    const size_t lines = panel().consoleLineCount();
    runAndWait(R"(
        window.results = []; const plain = await fetch('/data'); results.push(await plain.text(), plain instanceof Response);
        await fetch(new Request(')"
        + base + R"(/json'));
        await fetch('/echo', { method: 'POST', headers: { 'X-Test': 'yes' }, body: 'hello body' });
        await fetch('/echo', { method: 'PUT', headers: new Headers({ 'X-Test': 'no' }), body: 'x' });
        await fetch('/long'); try { await fetch('http://127.0.0.1:1/refused'); } catch (e) { results.push('rejected ' + e.name); }
        const send = (method, url, body, type) => new Promise(done => {
            const xhr = new XMLHttpRequest(); xhr.open(method, url); xhr.responseType = type; xhr.onloadend = () => done(xhr); xhr.send(body); });
        await send('POST', '/echo', 'xhr body', ''); await send('GET', '/long', undefined, '');
        results.push((await send('GET', '/data?binary', undefined, 'arraybuffer')).response.byteLength);
        console.log(undefined); console.log('text', 42, { a: [1, 'b'] });
        const cyclic = { name: 'loop' }; cyclic.self = cyclic; console.warn('cyclic', cyclic);
        console.error('first line\nsecond line'); console.info(null, true, 'x"y'); console.debug('not wrapped');
        results.push(console.log('returns') === undefined);)");
    EXPECT_EQ(panel().consoleText(),
        console
            + "\n[log] \n[log] text 42 {\"a\":[1,\"b\"]}\n[warn] cyclic [object Object]\n"
              "[error] first line\nsecond line\n[info] null true x\"y\n[log] returns\n[log] done");
    EXPECT_EQ(panel().consoleLineCount(), lines + 7);
    // The page got its own response objects, saw the failure, and console.log still answers undefined.
    EXPECT_EQ(evaluate(activeView(), "results"), "[\"data body\",true,\"rejected TypeError\",9,true]");
    EXPECT_EQ(rows("/data") + " / " + rows(base + "/json"),
        "GET|/data|{}||200|data body / GET|" + base + "/json|{}||201|{\"ok\":true}");
    // A Headers object has no members of its own.
    EXPECT_EQ(rows("/echo"),
        "POST|/echo|{}|xhr body|200|POST:xhr body / PUT|/echo|{}|x|200|PUT:x / "
        "POST|/echo|{\"X-Test\":\"yes\"}|hello body|200|POST:hello body");
    // Previews stop at 500 characters, for fetch and XHR alike.
    const std::string longRow = "GET|/long|{}||200|" + std::string(450, 'a') + std::string(50, 'b');
    EXPECT_EQ(rows("/long"), longRow + " / " + longRow);
    EXPECT_EQ(rows("http://127.0.0.1:1/refused").substr(0, 50), "GET|http://127.0.0.1:1/refused|{}||error|TypeError");
    // A binary response cannot be read as text: its entry stays pending.
    EXPECT_EQ(rows("/data?binary"), "GET|/data?binary|{}||pending|");
    // The table shows method, URL and status, newest first.
    ASSERT_TRUE(runUntil([&] { return cellText(0, 1) == "/data?binary"; }));
    EXPECT_EQ(
        cellText(0, 0) + " " + cellText(0, 2) + " " + cellText(1, 1) + " " + cellText(1, 2), "GET pending /long 200");

    // A socket stays real and reports every event, in order, under its one id, in one entry.
    const std::string url = "ws://127.0.0.1:" + std::to_string(server.port()) + "/socket";
    const size_t before = panel().entries().size();
    runAndWait(R"(
        const socket = new WebSocket(')"
        + url + R"('); const received = []; socket.onmessage = event => received.push(event.data);
        await new Promise(done => socket.onopen = done); socket.send('hello ' + 'x'.repeat(400)); socket.send(new Uint8Array([1, 2, 3]));
        while (received.length < 2) await new Promise(done => setTimeout(done, 10));
        const closed = new Promise(done => socket.onclose = done); socket.send('close'); const event = await closed;
        window.socketResult = [received[0] === 'hello ' + 'x'.repeat(400), received[1] instanceof Blob && received[1].size, event.code];)");
    EXPECT_EQ(evaluate(activeView(), "socketResult"), "[true,3,1000]");
    ASSERT_EQ(panel().entries().size(), before + 1);
    EXPECT_EQ(row(panel().entries().at(0)), "WS|" + url + "|{}||closed|code 1000");
    const std::string x294(294, 'x');
    EXPECT_EQ(tap.responses[panel().entries().at(0).id],
        "connecting|\nopen|connection established\nsent|↑ hello " + x294
            + "\nsent|↑ [binary frame]\n"
              "message|↓ hello "
            + x294 + "\nmessage|↓ [binary frame]\nsent|↑ close\nclosed|code 1000\n");
    runAndWait("const failing = new WebSocket('ws://127.0.0.1:1/none'); await new Promise(done => "
               "failing.addEventListener('error', done));");
    EXPECT_EQ(panel().entries().at(0).url, "ws://127.0.0.1:1/none");
    EXPECT_EQ(tap.responses[panel().entries().at(0).id], "connecting|\nerror|websocket error\n");

    // Passive resources are reported once each, with their timing; fetch and XHR only by their own wrappers.
    runAndWait(R"(
        const load = (tag, attributes) => new Promise(done => {
            const element = document.createElement(tag); element.onload = element.onerror = done;
            Object.assign(element, attributes); document.head.appendChild(element); });
        await load('img', { src: '/pixel.png' }); await load('img', { src: '/pixel.png?again' }); await load('img', { src: '/early.png' });
        await load('script', { src: '/script.js' }); await load('link', { rel: 'stylesheet', href: '/style.css' }); await fetch('/data');
        // Observer callbacks come after the loads; wait for the stylesheet's entry.
        while (!performance.getEntriesByType('resource').some(e => e.name.endsWith('/style.css')))
            await new Promise(done => setTimeout(done, 10));
        await new Promise(done => setTimeout(done, 200));)");
    for (const auto& [path, method] : {std::pair {"/pixel.png", "IMG"}, {"/pixel.png?again", "IMG"},
             {"/script.js", "SCRIPT"}, {"/style.css", "LINK"}}) {
        const std::regex expected(std::string(method) + "\\|[^|]*\\|\\{\\}\\|\\|loaded\\|\\d+ms, \\d+B");
        EXPECT_TRUE(std::regex_match(rows(server.url(path)), expected)) << rows(server.url(path));
        EXPECT_EQ(tap.count("\"url\":\"" + server.url(path) + "\""), 1) << path;
    }
    EXPECT_EQ(rows(server.url("/early.png")) + rows(server.url("/data")), "");
}

TEST_F(DevTools, MalformedMessagesAreDroppedAndResendRepeatsExactlyTheSelectedStrings)
{
    openPanel();
    for (const char* body : {"5", "'text'", "[1, 2]", "null", "{}", "{ type: 5, payload: {} }",
             "{ type: 'other', payload: {} }", "{ type: 'network' }", "{ type: 'network', payload: 'x' }",
             "{ type: 'network', payload: [1] }", "{ type: 'network_response', payload: { status: '200' } }",
             "{ type: 'network_response', payload: { id: 7, status: '200' } }",
             "{ type: 'network_response', payload: { id: 'nomatch', status: '200' } }",
             "{ type: 'console', payload: null }", "{ type: 'console' }"})
        post(body);
    runAndWait("");
    EXPECT_EQ(rows() + panel().consoleText(), "[log] done");
    // Members that are not strings count as absent; a response goes to the newest entry with its id.
    for (const char* body :
        {"{ type: 'network', payload: { id: 'twice', method: 5, url: {}, headers: null, body: 3 } }",
            "{ type: 'network', payload: { id: 'twice', method: 'POST', url: '/newer' } }",
            "{ type: 'network_response', payload: { id: 'twice', preview: 'no status' } }",
            "{ type: 'console', payload: { text: 'no level' } }", "{ type: 'console', payload: { level: 'warn' } }"})
        post(body);
    runAndWait("");
    EXPECT_EQ(rows(), "POST|/newer|{}|||no status / GET||{}||pending|");
    EXPECT_EQ(panel().consoleText(), "[log] done\n[log] no level\n[warn] \n[log] done");

    // Resend repeats the selected request without its headers, and the repeat is captured too.
    runAndWait("await fetch('/echo', { method: 'POST', headers: { 'X-Test': 'yes' }, body: 'resend me' });");
    ASSERT_TRUE(runUntil(
        [&] { return panel().entries().at(0).status == "200" && settle(); })); // the body is read after fetch resolves
    selectRow(0);
    EXPECT_EQ(panel().detailText(),
        "URL: /echo\nMethod: POST\nHeaders: {\"X-Test\":\"yes\"}\nBody: resend me\nStatus: 200\nResponse: POST:resend "
        "me");
    click(panel().resendButton());
    ASSERT_TRUE(
        runUntil([&] { return server.requestsFor("/echo").size() == 2 && panel().entries().size() == 4 && settle(); }));
    const SeenRequest again = server.requestsFor("/echo").back();
    EXPECT_EQ(
        again.method + ":" + again.body + ":" + std::to_string(again.headers.count("X-Test")), "POST:resend me:0");
    ASSERT_TRUE(runUntil([&] { return row(panel().entries().at(0)) == "POST|/echo|{}|resend me|200|POST:resend me"; }));
    // Nothing selected: the button does nothing.
    std::dynamic_pointer_cast<Gtk::SingleSelection>(panel().networkTable().get_model())
        ->set_selected(GTK_INVALID_LIST_POSITION);
    EXPECT_EQ(panel().detailText(), "");
    click(panel().resendButton());
    runFor(300);
    EXPECT_EQ(server.requestsFor("/echo").size(), 2u);

    // Whatever a request held goes out again as data, never as code: the page makes requests
    // with hostile strings, then swaps its fetch for one that records what it is given.
    const std::vector<std::string> hostile = {"\"); window.pwned = 1; (\"", "\", body: window.pwned = 2, x: \"",
        "back\\slash\\\"); window.pwned = 3; //", "line\nfeed\"); window.pwned = 4; //",
        "carriage\rreturn\"); window.pwned = 5; //", "sep\u2028\"); window.pwned = 6; //\u2029",
        "</script><script>window.pwned = 7</script>"};
    const size_t planted = panel().entries().size();
    std::string calls;
    for (const auto& text : hostile) {
        const std::string value = "decodeURIComponent('" + uriEscaped(text) + "')";
        calls += "try { await fetch(" + value + ", { method: " + value + ", body: " + value + " }); } catch (e) {}\n";
    }
    runAndWait(calls);
    ASSERT_EQ(panel().entries().size(), planted + hostile.size());
    evaluate(
        activeView(), "window.sent = []; window.fetch = (url, init) => { sent.push([url, init.method, init.body]); };");
    for (size_t r = 0; r < hostile.size(); ++r) {
        selectRow(static_cast<int>(r));
        click(panel().resendButton());
        ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "sent.length") == std::to_string(r + 1); }));
        const std::string expected = "\"" + uriEscaped(hostile[hostile.size() - 1 - r]) + "\""; // newest first
        EXPECT_EQ(evaluate(activeView(), "sent[" + std::to_string(r) + "].map(encodeURIComponent)"),
            "[" + expected + "," + expected + "," + expected + "]");
    }
    EXPECT_EQ(evaluate(activeView(), "window.pwned"), "undefined");
}

TEST_F(DevTools, TheHtmlPageWritesTheLiveDocumentAndThePanelFollowsTheWindowAndTheActiveTab)
{
    openPanel();
    panel().htmlView().get_buffer()->set_text("unsaved edits");
    panel().pages().set_visible_child("html");
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("<p id=\"p\">start</p>") != std::string::npos; }));
    EXPECT_EQ(evaluate(activeView(), "encodeURIComponent(document.documentElement.outerHTML)"),
        "\"" + uriEscaped(panel().htmlText()) + "\"");
    ASSERT_TRUE(runUntil([&] { return panel().htmlScroll().get_mapped(); }) && !panel().resendButton().get_mapped());
    // Refresh follows the live document.
    evaluate(activeView(), "document.getElementById('p').textContent = 'changed by the page'");
    click(panel().refreshHtmlButton());
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("changed by the page") != std::string::npos; }));
    // Apply hands the editor's text to the page exactly; what the engine then does with it is its own.
    evaluate(activeView(),
        "window.applied = []; Object.defineProperty(document.documentElement, 'outerHTML', "
        "{ set(value) { applied.push(value); }, configurable: true });");
    const std::string edited = "<html><body title=\"q\">back\\slash\nline \u2028 </script> 'single'</body></html>";
    panel().htmlView().get_buffer()->set_text(edited);
    click(panel().applyHtmlButton());
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "applied.length") == "1"; }));
    EXPECT_EQ(evaluate(activeView(), "encodeURIComponent(applied[0])"), "\"" + uriEscaped(edited) + "\"");
    // Refresh reads the document itself, past the page's own accessors, and only up to 8 Mi
    // characters: past that the editor stays as it is.
    click(panel().refreshHtmlButton());
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("changed by the page") != std::string::npos; }));
    // A comment, so that the engine does not spend seconds laying out 9 Mi characters.
    evaluate(activeView(), "window.big = document.createComment('x'.repeat(9 * 1024 * 1024)); "
                           "document.body.appendChild(big); 1");
    panel().htmlView().get_buffer()->set_text("kept while too large");
    click(panel().refreshHtmlButton());
    runFor(1000);
    EXPECT_EQ(panel().htmlText(), "kept while too large");
    evaluate(activeView(), "big.remove(); 1");
    // Live edit switches the page's design mode and the button's title.
    for (const std::string state : {"On", "Off", "On"}) {
        click(panel().toggleEditButton());
        EXPECT_EQ(std::string(panel().toggleEditButton().get_label()), "Live Edit: " + state);
        ASSERT_TRUE(runUntil(
            [&] { return evaluate(activeView(), "document.designMode") == (state == "On" ? "\"on\"" : "\"off\""); }));
    }
    // A navigation clears the logs but leaves the editor and the live-edit title alone, and capture on.
    panel().htmlView().get_buffer()->set_text("kept");
    runAndWait("await fetch('/data');");
    ASSERT_FALSE(panel().entries().empty());
    webkit_web_view_load_uri(activeView(), server.url("/?next").c_str());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/?next")));
    EXPECT_EQ(rows() + panel().consoleText() + "|" + panel().htmlText() + "|" + panel().toggleEditButton().get_label(),
        "|kept|Live Edit: On");
    EXPECT_EQ(capturing(activeView()), "true");

    // The panel spans the window's width at a fixed height, whatever the window's size.
    panel().pages().set_visible_child("network");
    const auto expectLayout = [&] {
        Gtk::Box& content = browser().contentView();
        DevToolsPanel& p = panel();
        ASSERT_TRUE(runUntil([&] {
            return p.get_width() == content.get_width() && p.headerBar().get_width() == content.get_width()
                && p.networkScroll().get_width() == content.get_width();
        }));
        const int W = content.get_width();
        EXPECT_EQ(p.get_height(), 280);
        for (const auto& [widget, frame] :
            std::vector<std::pair<Gtk::Widget*, Gdk::Rectangle>> {{&p.accentLine(), {0, 0, W, 2}},
                {&p.headerBar(), {0, 2, W, 36}}, {&p.pages(), {0, 38, W, 242}}, {&p.networkScroll(), {0, 38, W, 152}},
                {&p.detailScroll(), {0, 194, W, 46}}, {&p.resendButton(), {8, 246, 100, 26}}})
            EXPECT_EQ(allocationIn(*widget, p), frame) << G_OBJECT_TYPE_NAME(widget->gobj());
        const Gdk::Rectangle close = allocationIn(p.closeButton(), p), switcher = allocationIn(p.pageSwitcher(), p);
        EXPECT_EQ(std::vector<int>(
                      {close.get_x() + close.get_width(), close.get_width(), switcher.get_x(), switcher.get_width()}),
            std::vector<int>({W - 10, 24, 100, 240}));
    };
    expectLayout();
    // The close button hides the panel like the toolbar button and switches capture off.
    click(panel().closeButton());
    ASSERT_TRUE(runUntil([&] { return !browser().devPanelVisible(); }) && !panel().get_visible());
    EXPECT_EQ(capturing(activeView()), "false");
    browser().toggleDevTools();
    resizeWindow(browser().window(), 1500, 900);
    expectLayout();
    resizeWindow(browser().window(), 800, 600);
    expectLayout();
    browser().toggleDevTools();

    // The panel's page operations and the capture switch follow the active tab.
    server.page("/second", "<html><body>second tab</body></html>");
    browser().openNewTab(server.url("/second"));
    ASSERT_TRUE(waitForLoad(tab(1).webView(), server.url("/second")));
    browser().toggleDevTools();
    EXPECT_EQ(capturing(tab(1).webView()) + capturing(tab(0).webView()), "truefalse");
    panel().pages().set_visible_child("html");
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("second tab") != std::string::npos; }));
    // A finished navigation in a background tab leaves its switch alone.
    webkit_web_view_load_uri(tab(0).webView(), server.url("/?background").c_str());
    ASSERT_TRUE(waitForLoad(tab(0).webView(), server.url("/?background")));
    EXPECT_EQ(capturing(tab(0).webView()), "false");
}
