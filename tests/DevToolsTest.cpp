// The developer tools against real pages: what the page instrumentation reports for
// fetch, XMLHttpRequest, WebSocket, passive resources and the console, and what the
// panel makes of it.
#include "support/Browser.h"
#include "support/Input.h"

#include "devtools/DevToolsPanel.h"
#include "platform/Resources.h"
#include "platform/UserDefaults.h"

#include <gtkmm/singleselection.h>

#include <regex>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// `text` as encodeURIComponent writes it, to compare strings with a page without
// trusting any escaping of the program's.
std::string uriEscaped(const std::string& text)
{
    char* escaped = g_uri_escape_string(text.c_str(), "!*'()", FALSE);
    std::string out = escaped;
    g_free(escaped);
    return out;
}

// Sits between the pages and the panel on the "quildev" channel and keeps every
// message as JSON text, so that each event of a request can be checked, not only the
// latest one the panel shows.
struct Tap : ScriptMessageHandler {
    struct Reply {
        std::string id, status, preview;
    };
    DevToolsPanel* panel = nullptr;
    std::vector<std::string> messages;
    std::vector<Reply> responses; // the "network_response" payloads, in order

    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override
    {
        char* json = jsc_value_to_json(body.get(), 0);
        messages.push_back(json ? json : "");
        g_free(json);
        if (body.stringMember("type") == "network_response") {
            const auto payload = body.member("payload");
            responses.push_back({payload->stringMember("id").value_or("?"), payload->stringMember("status").value_or("?"),
                                 payload->stringMember("preview").value_or("?")});
        }
        if (panel)
            panel->didReceiveScriptMessage(sender, body);
    }
    bool has(const std::string& fragment) const
    {
        for (const auto& message : messages)
            if (message.find(fragment) != std::string::npos)
                return true;
        return false;
    }
    int count(const std::string& fragment) const
    {
        int n = 0;
        for (const auto& message : messages)
            n += message.find(fragment) != std::string::npos;
        return n;
    }
};

class DevTools : public BrowserTest {
protected:
    void SetUp() override
    {
        server.page("/", "<!DOCTYPE html><html><head><title>Start</title></head><body><p id=p>start</p></body></html>");
        server.route("/data", Response{200, "text/plain", "data body", {}});
        server.route("/json", Response{201, "application/json", "{\"ok\":true}", {}});
        server.route("/long", Response{200, "text/plain", std::string(450, 'a') + std::string(150, 'b'), {}});
        server.route("/echo", [](const SeenRequest& request) {
            return Response{200, "text/plain", request.method + ":" + request.body, {}};
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

    void openPanel()
    {
        ASSERT_FALSE(browser().devPanelVisible());
        browser().toggleDevTools();
        ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "window.__quildevActive") == "true"; }));
    }

    // Waits until every queued message has reached the panel.
    bool settle(int timeoutMs = 10000)
    {
        return runUntil([&] { return panel().pendingMessages() == 0; }, timeoutMs);
    }

    // Runs `script` in the page and waits until the panel shows the console line
    // "[log] done", the page's signal that it has finished.
    void runAndWait(const std::string& body)
    {
        const size_t before = panel().consoleLineCount();
        evaluateAsync(activeView(), body + "\nconsole.log('done'); return true;");
        ASSERT_TRUE(runUntil([&] { return panel().consoleLineCount() > before && settle(); }));
    }

    // The newest entry with this URL, or null.
    const NetworkEntry* entryFor(const std::string& url)
    {
        for (size_t i = 0; i < panel().entries().size(); ++i)
            if (panel().entries().at(i).url == url)
                return &panel().entries().at(i);
        return nullptr;
    }

    // Text shown in the network table's cell at `row`, `column`: the table's rows are
    // the children of its list, in order.
    std::string cellText(int row, int column)
    {
        std::vector<std::string> texts;
        Gtk::Widget* listView = panel().networkTable().get_last_child();
        int r = 0;
        for (Gtk::Widget* rowWidget = listView ? listView->get_first_child() : nullptr; rowWidget;
             rowWidget = rowWidget->get_next_sibling()) {
            if (r++ != row)
                continue;
            int c = 0;
            for (Gtk::Widget* cell = rowWidget->get_first_child(); cell; cell = cell->get_next_sibling(), ++c) {
                if (c == column) {
                    auto* label = dynamic_cast<Gtk::Label*>(cell->get_first_child());
                    return label ? std::string(label->get_text()) : "<no label>";
                }
            }
        }
        return "<no cell>";
    }

    void selectRow(int row)
    {
        panel().networkTable().get_model()->select_item(row, true);
    }

    void post(const std::string& body)
    {
        evaluate(activeView(), "window.__qwk.messageHandlers.quildev.postMessage(" + body + ")");
    }

    Tap tap;
};

} // namespace

TEST_F(DevTools, NothingIsReportedWhileTheSwitchIsOffAndTheWrappersStayOneLayer)
{
    // Capture starts off: the page's calls reach the real functions and nothing is posted.
    const std::string used = evaluateAsync(activeView(), R"(
        const response = await fetch('/data');
        const text = await response.text();
        console.log('quiet');
        const xhr = new XMLHttpRequest();
        xhr.open('GET', '/json');
        await new Promise(done => { xhr.onloadend = done; xhr.send(); });
        const socket = new WebSocket('ws://' + location.host + '/socket');
        await new Promise(done => socket.onopen = done);
        socket.send('quiet frame');
        await new Promise(done => socket.onmessage = done);
        return [text, xhr.responseText, typeof xhr.__quildevId, xhr.__quildevMethod, xhr.__quildevUrl,
                socket instanceof WebSocket, WebSocket.OPEN, socket.readyState === WebSocket.OPEN,
                typeof socket.send, window.__quildevActive];)");
    EXPECT_EQ(used, "[\"data body\",\"{\\\"ok\\\":true}\",\"string\",\"GET\",\"/json\",true,1,true,\"function\",false]");
    runFor(300);
    EXPECT_TRUE(tap.messages.empty()) << tap.messages.front();

    // A second injection into the same document adds no second layer of wrappers.
    evaluate(activeView(), resourceText("scripts/instrument.js"));
    openPanel();
    runAndWait("await fetch('/data');");
    EXPECT_EQ(tap.count("\"type\":\"network\","), 1);
    EXPECT_EQ(tap.count("\"type\":\"network_response\""), 1);
    EXPECT_EQ(panel().entries().size(), 1u);

    // The socket made while capture was off reports its later events under an id the
    // panel never saw: they change nothing.
    runAndWait("window.quietSocket = new WebSocket('ws://' + location.host + '/socket');"
               "await new Promise(done => quietSocket.onopen = done);");
    EXPECT_EQ(panel().entries().size(), 2u);

    // Closing the panel switches capture off again.
    browser().toggleDevTools();
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "false");
    const size_t before = tap.messages.size();
    evaluateAsync(activeView(), "await fetch('/data'); console.log('off again'); return 1;");
    runFor(300);
    EXPECT_EQ(tap.messages.size(), before);
}

TEST_F(DevTools, FetchAndXhrReportMethodUrlHeadersBodyStatusAndPreview)
{
    openPanel();
    const std::string base = server.url("");
    runAndWait(R"(
        window.results = [];
        const plain = await fetch('/data');
        results.push(await plain.text(), plain instanceof Response);
        await fetch(new Request(')" + base + R"(/json'));
        await fetch('/echo', { method: 'POST', headers: { 'X-Test': 'yes' }, body: 'hello body' });
        await fetch('/echo', { method: 'PUT', headers: new Headers({ 'X-Test': 'no' }), body: 'x' });
        await fetch('/long');
        try { await fetch('http://127.0.0.1:1/refused'); } catch (e) { results.push('rejected ' + e.name); }

        const xhr = new XMLHttpRequest();
        xhr.open('POST', '/echo');
        await new Promise(done => { xhr.onloadend = done; xhr.send('xhr body'); });
        const longXhr = new XMLHttpRequest();
        longXhr.open('GET', '/long');
        await new Promise(done => { longXhr.onloadend = done; longXhr.send(); });
        const binary = new XMLHttpRequest();
        binary.open('GET', '/data?binary');
        binary.responseType = 'arraybuffer';
        await new Promise(done => { binary.onloadend = done; binary.send(); });
        results.push(binary.response.byteLength);
    )");
    // The page got its own response objects and saw the failure.
    EXPECT_EQ(evaluate(activeView(), "results"), "[\"data body\",true,\"rejected TypeError\",9]");

    const NetworkEntry* plain = entryFor("/data");
    ASSERT_TRUE(plain);
    EXPECT_EQ(plain->method, "GET");
    EXPECT_EQ(plain->headers, "{}");
    EXPECT_EQ(plain->body, "");
    EXPECT_EQ(plain->status, "200");
    EXPECT_EQ(plain->responsePreview, "data body");
    EXPECT_TRUE(std::regex_match(plain->time, std::regex(R"(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z)"))) << plain->time;
    EXPECT_FALSE(plain->id.empty());
    EXPECT_TRUE(std::regex_match(plain->id, std::regex("[0-9a-z]+"))) << plain->id;

    const NetworkEntry* request = entryFor(base + "/json");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->method, "GET");
    EXPECT_EQ(request->headers, "{}");
    EXPECT_EQ(request->status, "201");
    EXPECT_EQ(request->responsePreview, "{\"ok\":true}");

    // Newest first: the two fetches to /echo, then the XHR to it, are told apart by body.
    std::vector<const NetworkEntry*> echoes;
    for (size_t i = 0; i < panel().entries().size(); ++i)
        if (panel().entries().at(i).url == "/echo")
            echoes.push_back(&panel().entries().at(i));
    ASSERT_EQ(echoes.size(), 3u);
    EXPECT_EQ(echoes[0]->method, "POST");
    EXPECT_EQ(echoes[0]->body, "xhr body");
    EXPECT_EQ(echoes[0]->headers, "{}");
    EXPECT_EQ(echoes[0]->responsePreview, "POST:xhr body");
    EXPECT_EQ(echoes[1]->method, "PUT");
    EXPECT_EQ(echoes[1]->headers, "{}"); // a Headers object has no members of its own
    EXPECT_EQ(echoes[2]->method, "POST");
    EXPECT_EQ(echoes[2]->headers, "{\"X-Test\":\"yes\"}");
    EXPECT_EQ(echoes[2]->body, "hello body");
    EXPECT_EQ(echoes[2]->status, "200");
    EXPECT_EQ(echoes[2]->responsePreview, "POST:hello body");

    // Previews stop at 500 characters, for fetch and XHR alike.
    int longOnes = 0;
    for (size_t i = 0; i < panel().entries().size(); ++i) {
        const NetworkEntry& entry = panel().entries().at(i);
        if (entry.url != "/long")
            continue;
        ++longOnes;
        EXPECT_EQ(entry.responsePreview, std::string(450, 'a') + std::string(50, 'b'));
    }
    EXPECT_EQ(longOnes, 2);

    const NetworkEntry* refused = entryFor("http://127.0.0.1:1/refused");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, "error");
    EXPECT_EQ(refused->responsePreview.rfind("TypeError", 0), 0u) << refused->responsePreview;

    // A binary response cannot be read as text: its entry stays pending.
    const NetworkEntry* binary = entryFor("/data?binary");
    ASSERT_TRUE(binary);
    EXPECT_EQ(binary->status, "pending");

    // The table shows method, URL and status, newest first.
    ASSERT_TRUE(runUntil([&] { return cellText(0, 1) == "/data?binary"; }));
    EXPECT_EQ(cellText(0, 0), "GET");
    EXPECT_EQ(cellText(0, 2), "pending");
    EXPECT_EQ(cellText(1, 1), "/long");
    EXPECT_EQ(cellText(1, 2), "200");
}

TEST_F(DevTools, SocketsReportEveryEventWithItsPreviewAndStayReal)
{
    openPanel();
    const std::string url = "ws://127.0.0.1:" + std::to_string(server.port()) + "/socket";
    runAndWait(R"(
        const socket = new WebSocket(')" + url + R"(');
        const received = [];
        socket.onmessage = event => received.push(event.data);
        await new Promise(done => socket.onopen = done);
        socket.send('hello ' + 'x'.repeat(400));
        socket.send(new Uint8Array([1, 2, 3]));
        while (received.length < 2) await new Promise(done => setTimeout(done, 10));
        const closed = new Promise(done => socket.onclose = done);
        socket.send('close');
        const event = await closed;
        window.socketResult = [received[0].length, received[1] instanceof Blob, event.code];
    )");
    EXPECT_EQ(evaluate(activeView(), "socketResult"), "[406,true,1000]");
    EXPECT_EQ(server.socketFrames(), (std::vector<std::string>{"hello " + std::string(400, 'x'), "[binary 3 bytes]", "close"}));

    // Every event, in order, under the socket's one id.
    const std::string sent = "↑ hello " + std::string(294, 'x');
    const std::string echoed = "↓ hello " + std::string(294, 'x');
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"connecting", ""},
        {"open", "connection established"},
        {"sent", sent},
        {"sent", "↑ [binary frame]"},
        {"message", echoed},
        {"message", "↓ [binary frame]"},
        {"sent", "↑ close"},
        {"closed", "code 1000"},
    };
    ASSERT_EQ(tap.responses.size(), expected.size());
    const NetworkEntry* socket = entryFor(url);
    ASSERT_TRUE(socket);
    for (size_t i = 0; i < expected.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(tap.responses[i].id, socket->id);
        EXPECT_EQ(tap.responses[i].status, expected[i].first);
        EXPECT_EQ(tap.responses[i].preview, expected[i].second);
    }

    // The panel keeps one entry for the socket, showing its latest event.
    EXPECT_EQ(socket->method, "WS");
    EXPECT_EQ(socket->status, "closed");
    EXPECT_EQ(socket->responsePreview, "code 1000");
    EXPECT_EQ(panel().entries().size(), 1u);

    // A socket that cannot connect reports its error.
    runAndWait(R"(
        const failing = new WebSocket('ws://127.0.0.1:1/none');
        await new Promise(done => failing.addEventListener('error', done));
    )");
    const NetworkEntry* failing = entryFor("ws://127.0.0.1:1/none");
    ASSERT_TRUE(failing);
    EXPECT_EQ(tap.responses.back().id, failing->id);
    EXPECT_EQ(tap.responses.back().status, "error");
    EXPECT_EQ(tap.responses.back().preview, "websocket error");
}

TEST_F(DevTools, PassiveResourcesAreReportedOnceWithTheirTiming)
{
    server.route("/pixel.png", Response{200, "image/png", std::string("\x89PNG\r\n\x1a\n", 8), {}});
    server.route("/early.png", Response{200, "image/png", std::string("\x89PNG\r\n\x1a\n", 8), {}});
    server.route("/script.js", Response{200, "text/javascript", "window.scriptRan = true;", {}});
    server.route("/style.css", Response{200, "text/css", "p { color: red; }", {}});
    // Loaded before capture: never reported, even when loaded again later.
    evaluateAsync(activeView(), "const img = new Image(); img.src = '/early.png'; await new Promise(d => { img.onload = img.onerror = d; });"
                                "await new Promise(d => setTimeout(d, 100)); return 1;");
    openPanel();
    runAndWait(R"(
        const load = (tag, attributes) => new Promise(done => {
            const element = document.createElement(tag);
            element.onload = element.onerror = done;
            Object.assign(element, attributes);
            document.head.appendChild(element);
        });
        await load('img', { src: '/pixel.png' });
        await load('img', { src: '/pixel.png?again' });
        await load('img', { src: '/early.png' });
        await load('script', { src: '/script.js' });
        await load('link', { rel: 'stylesheet', href: '/style.css' });
        await fetch('/data');
        // Observer callbacks come after the loads; wait for the stylesheet's entry.
        while (!performance.getEntriesByType('resource').some(e => e.name.endsWith('/style.css')))
            await new Promise(done => setTimeout(done, 10));
        await new Promise(done => setTimeout(done, 200));
    )");
    const std::regex timing(R"(\d+ms, \d+B)");
    for (const auto& [path, method] : std::vector<std::pair<std::string, std::string>>{
             {"/pixel.png", "IMG"}, {"/pixel.png?again", "IMG"}, {"/script.js", "SCRIPT"}, {"/style.css", "LINK"}}) {
        SCOPED_TRACE(path);
        const NetworkEntry* entry = entryFor(server.url(path));
        ASSERT_TRUE(entry);
        EXPECT_EQ(entry->method, method);
        EXPECT_EQ(entry->status, "loaded");
        EXPECT_TRUE(std::regex_match(entry->responsePreview, timing)) << entry->responsePreview;
        EXPECT_EQ(tap.count("\"url\":\"" + server.url(path) + "\""), 1);
    }
    EXPECT_FALSE(entryFor(server.url("/early.png")));
    // fetch and XHR are reported by their own wrappers, not again as resources.
    EXPECT_FALSE(entryFor(server.url("/data")));
    EXPECT_TRUE(entryFor("/data"));
}

TEST_F(DevTools, ConsoleLinesShowEveryKindOfArgument)
{
    openPanel();
    runAndWait(R"(
        console.log(undefined);
        console.log('text', 42, { a: [1, 'b'] });
        const cyclic = { name: 'loop' }; cyclic.self = cyclic;
        console.warn('cyclic', cyclic);
        console.error('first line\nsecond line');
        console.info(null, true, 'x"y');
        console.debug('not wrapped');
        window.consoleReturns = console.log('returns');
    )");
    EXPECT_EQ(panel().consoleText(),
              "[log] \n"
              "[log] text 42 {\"a\":[1,\"b\"]}\n"
              "[warn] cyclic [object Object]\n"
              "[error] first line\nsecond line\n"
              "[info] null true x\"y\n"
              "[log] returns\n"
              "[log] done");
    EXPECT_EQ(evaluate(activeView(), "window.consoleReturns === undefined"), "true");
    EXPECT_EQ(panel().consoleLineCount(), 7u);
}

TEST_F(DevTools, MalformedMessagesAreDroppedAndResponsesFindTheNewestEntry)
{
    openPanel();
    for (const char* body : {"5", "'text'", "[1, 2]", "null", "{}", "{ type: 5, payload: {} }", "{ type: 'other', payload: {} }",
                             "{ type: 'network' }", "{ type: 'network', payload: 'x' }", "{ type: 'network', payload: [1] }",
                             "{ type: 'network_response', payload: { status: '200' } }",
                             "{ type: 'network_response', payload: { id: 7, status: '200' } }",
                             "{ type: 'network_response', payload: { id: 'nomatch', status: '200' } }",
                             "{ type: 'console', payload: null }", "{ type: 'console' }"})
        post(body);
    runAndWait("");
    EXPECT_EQ(panel().entries().size(), 0u);
    EXPECT_EQ(panel().consoleText(), "[log] done");

    // Members that are not strings count as absent.
    post("{ type: 'network', payload: { id: 'twice', method: 5, url: {}, headers: null, body: 3 } }");
    post("{ type: 'network', payload: { id: 'twice', method: 'POST', url: '/newer' } }");
    post("{ type: 'network_response', payload: { id: 'twice', preview: 'no status' } }");
    post("{ type: 'console', payload: { text: 'no level' } }");
    post("{ type: 'console', payload: { level: 'warn' } }");
    runAndWait("");
    ASSERT_EQ(panel().entries().size(), 2u);
    const NetworkEntry& newer = panel().entries().at(0);
    const NetworkEntry& older = panel().entries().at(1);
    EXPECT_EQ(newer.url, "/newer");
    EXPECT_EQ(newer.status, "");
    EXPECT_EQ(newer.responsePreview, "no status");
    EXPECT_EQ(older.method, "GET");
    EXPECT_EQ(older.url, "");
    EXPECT_EQ(older.headers, "{}");
    EXPECT_EQ(older.body, "");
    EXPECT_EQ(older.status, "pending");
    EXPECT_EQ(panel().consoleText(), "[log] done\n[log] no level\n[warn] \n[log] done");
}

TEST_F(DevTools, SelectionShowsTheDetailAndResendRepeatsTheRequest)
{
    openPanel();
    runAndWait("await fetch('/echo', { method: 'POST', headers: { 'X-Test': 'yes' }, body: 'resend me' });");
    ASSERT_EQ(panel().entries().size(), 1u);
    selectRow(0);
    EXPECT_EQ(panel().selectedRow(), 0);
    EXPECT_EQ(panel().detailText(), "URL: /echo\nMethod: POST\nHeaders: {\"X-Test\":\"yes\"}\nBody: resend me\nStatus: 200\nResponse: POST:resend me");

    click(panel().resendButton());
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/echo").size() == 2 && panel().entries().size() == 2 && settle(); }));
    const SeenRequest again = server.requestsFor("/echo").back();
    EXPECT_EQ(again.method, "POST");
    EXPECT_EQ(again.body, "resend me");
    EXPECT_EQ(again.headers.count("X-Test"), 0u); // headers are not sent again
    // The repeat is captured like any request of the page.
    ASSERT_TRUE(runUntil([&] { return panel().entries().at(0).status == "200"; }));
    EXPECT_EQ(panel().entries().at(0).body, "resend me");

    // Nothing selected: the button does nothing.
    std::dynamic_pointer_cast<Gtk::SingleSelection>(panel().networkTable().get_model())->set_selected(GTK_INVALID_LIST_POSITION);
    EXPECT_EQ(panel().selectedRow(), -1);
    EXPECT_EQ(panel().detailText(), "");
    click(panel().resendButton());
    runFor(300);
    EXPECT_EQ(server.requestsFor("/echo").size(), 2u);
}

TEST_F(DevTools, ResendOfAPlantedEntrySendsItsStringsAndRunsNothing)
{
    openPanel();
    // Any page can post entries; what they hold must travel as data, never as code.
    const std::vector<std::string> hostile = {
        "\"); window.pwned = 1; (\"",
        "\", body: window.pwned = 2, x: \"",
        "back\\slash\\\"); window.pwned = 3; //",
        "line\nfeed\"); window.pwned = 4; //",
        "carriage\rreturn\"); window.pwned = 5; //",
        "sep\u2028\"); window.pwned = 6; //\u2029",
        "</script><script>window.pwned = 7</script>",
    };
    evaluate(activeView(), "window.sent = []; window.fetch = (url, init) => { sent.push([url, init.method, init.body]); };");
    for (const auto& text : hostile) {
        const std::string value = "decodeURIComponent('" + uriEscaped(text) + "')";
        post("{ type: 'network', payload: { id: 'p', method: " + value + ", url: " + value + ", body: " + value + " } }");
    }
    runAndWait("");
    ASSERT_EQ(panel().entries().size(), hostile.size());
    for (size_t row = 0; row < hostile.size(); ++row) {
        selectRow(static_cast<int>(row));
        click(panel().resendButton());
        ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "sent.length") == std::to_string(row + 1); }));
    }
    EXPECT_EQ(evaluate(activeView(), "window.pwned"), "undefined");
    for (size_t row = 0; row < hostile.size(); ++row) {
        SCOPED_TRACE(row);
        const std::string planted = uriEscaped(hostile[hostile.size() - 1 - row]); // newest first
        const std::string i = std::to_string(row);
        EXPECT_EQ(evaluate(activeView(), "sent[" + i + "].map(encodeURIComponent)"),
                  "[\"" + planted + "\",\"" + planted + "\",\"" + planted + "\"]");
    }
}

TEST_F(DevTools, TheHtmlPageShowsAndWritesTheLiveDocument)
{
    openPanel();
    panel().htmlView().get_buffer()->set_text("unsaved edits");
    panel().pages().set_visible_child("html");
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("<p id=\"p\">start</p>") != std::string::npos; }));
    EXPECT_EQ(evaluate(activeView(), "encodeURIComponent(document.documentElement.outerHTML)"), "\"" + uriEscaped(panel().htmlText()) + "\"");
    ASSERT_TRUE(runUntil([&] { return panel().htmlScroll().get_mapped(); }));
    EXPECT_TRUE(panel().toggleEditButton().get_mapped());
    EXPECT_FALSE(panel().resendButton().get_mapped());

    // Refresh follows the live document.
    evaluate(activeView(), "document.getElementById('p').textContent = 'changed by the page'");
    click(panel().refreshHtmlButton());
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("changed by the page") != std::string::npos; }));

    // Apply hands the editor's text to the page exactly, quotes, backslashes, line
    // feeds and all; what the engine then does with the root's outerHTML is its own.
    evaluate(activeView(), "window.applied = []; Object.defineProperty(document.documentElement, 'outerHTML', "
                           "{ set(value) { applied.push(value); }, configurable: true });");
    const std::string edited = "<html><body title=\"q\">back\\slash\nline \u2028 </script> 'single'</body></html>";
    panel().htmlView().get_buffer()->set_text(edited);
    click(panel().applyHtmlButton());
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "applied.length") == "1"; }));
    EXPECT_EQ(evaluate(activeView(), "encodeURIComponent(applied[0])"), "\"" + uriEscaped(edited) + "\"");

    // Live edit switches the page's design mode and the button's title.
    click(panel().toggleEditButton());
    EXPECT_EQ(panel().toggleEditButton().get_label(), "Live Edit: On");
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "document.designMode") == "\"on\""; }));
    click(panel().toggleEditButton());
    EXPECT_EQ(panel().toggleEditButton().get_label(), "Live Edit: Off");
    ASSERT_TRUE(runUntil([&] { return evaluate(activeView(), "document.designMode") == "\"off\""; }));

    // A navigation clears the logs but leaves the editor and the live-edit title alone.
    click(panel().toggleEditButton());
    panel().htmlView().get_buffer()->set_text("kept");
    runAndWait("await fetch('/data');");
    ASSERT_FALSE(panel().entries().empty());
    webkit_web_view_load_uri(activeView(), server.url("/?next").c_str());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/?next")));
    EXPECT_TRUE(panel().entries().empty());
    EXPECT_EQ(panel().consoleText(), "");
    EXPECT_EQ(panel().htmlText(), "kept");
    EXPECT_EQ(panel().toggleEditButton().get_label(), "Live Edit: On");
    // The new page starts with capture on again, since the panel is open.
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "true");
}

TEST_F(DevTools, ThePanelFillsTheWindowWidthAndFollowsTheActiveTab)
{
    openPanel();
    const auto expectLayout = [&] {
        Gtk::Box& content = browser().contentView();
        ASSERT_TRUE(runUntil([&] { return panel().get_width() == content.get_width() && panel().headerBar().get_width() == content.get_width(); }));
        const int W = content.get_width();
        DevToolsPanel& p = panel();
        auto rect = [&](Gtk::Widget& widget) { return allocationIn(widget, p); };
        EXPECT_EQ(p.get_height(), 280);
        EXPECT_EQ(rect(p.accentLine()), Gdk::Rectangle(0, 0, W, 2));
        EXPECT_EQ(rect(p.headerBar()), Gdk::Rectangle(0, 2, W, 36));
        const Gdk::Rectangle close = rect(p.closeButton());
        EXPECT_EQ(close.get_x() + close.get_width(), W - 10);
        EXPECT_EQ(close.get_width(), 24);
        const Gdk::Rectangle switcher = rect(p.pageSwitcher());
        EXPECT_EQ(switcher.get_x(), 100);
        EXPECT_EQ(switcher.get_width(), 240);
        EXPECT_EQ(rect(p.pages()), Gdk::Rectangle(0, 38, W, 242));
        if (p.pages().get_visible_child_name() == "network") {
            EXPECT_EQ(rect(p.networkScroll()), Gdk::Rectangle(0, 38, W, 152));
            EXPECT_EQ(rect(p.detailScroll()), Gdk::Rectangle(0, 194, W, 46));
            EXPECT_EQ(rect(p.resendButton()), Gdk::Rectangle(8, 246, 100, 26));
        }
    };
    expectLayout();

    // The close button hides the panel like the toolbar button and switches capture off.
    click(panel().closeButton());
    ASSERT_TRUE(runUntil([&] { return !browser().devPanelVisible(); }));
    EXPECT_FALSE(panel().get_visible());
    EXPECT_EQ(evaluate(activeView(), "window.__quildevActive"), "false");
    browser().toggleDevTools();

    resizeWindow(browser().window(), 1500, 900);
    expectLayout();
    resizeWindow(browser().window(), 800, 600);
    expectLayout();

    // The three pages show one at a time.
    panel().pages().set_visible_child("console");
    ASSERT_TRUE(runUntil([&] { return panel().consoleScroll().get_mapped() && panel().consoleScroll().get_width() > 0; }));
    EXPECT_FALSE(panel().networkScroll().get_mapped());
    EXPECT_FALSE(panel().htmlScroll().get_mapped());
    EXPECT_EQ(allocationIn(panel().consoleScroll(), panel()), Gdk::Rectangle(0, 38, 800, 242));
    browser().toggleDevTools();

    // The panel's page operations follow the active tab.
    server.page("/second", "<html><body>second tab</body></html>");
    browser().openNewTab(server.url("/second"));
    ASSERT_TRUE(waitForLoad(tab(1).webView.get(), server.url("/second")));
    EXPECT_EQ(panel().webView().get(), tab(1).webView.get());
    browser().toggleDevTools();
    EXPECT_EQ(evaluate(tab(1).webView.get(), "window.__quildevActive"), "true");
    EXPECT_EQ(evaluate(tab(0).webView.get(), "window.__quildevActive"), "false");
    panel().pages().set_visible_child("html");
    ASSERT_TRUE(runUntil([&] { return panel().htmlText().find("second tab") != std::string::npos; }));

    // A finished navigation in a background tab leaves its switch alone.
    webkit_web_view_load_uri(tab(0).webView.get(), server.url("/?background").c_str());
    ASSERT_TRUE(waitForLoad(tab(0).webView.get(), server.url("/?background")));
    EXPECT_EQ(evaluate(tab(0).webView.get(), "window.__quildevActive"), "false");
}
