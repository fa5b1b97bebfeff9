// What pages can make the browser's main process hold and do. Two runs in the real
// program, each on a fresh page from a local server:
//   flood   with the developer tools open, the page logs 48 lines of 1 MiB and makes
//           2,000 fetches (fifty in flight): the growth of the main process (resident
//           memory, highest sample against the one before), the longest stall of its
//           main loop (how late a 10 ms timer fires), and the time until every line and
//           every request with its response is shown and painted;
//   hostile a page looks for every way to post (window.webkit, window.__qwk, every
//           property of window, the empty documents of fresh frames) and posts 100
//           messages of 1 MiB on each channel through whatever it finds, then logs 100
//           lines of 1 MiB in the background: the same growth and stall, and how many
//           messages reached the browser.
//
// Run it through tests/isolate.sh (its own display, session bus and home), e.g.
//   tests/isolate.sh build/bench/containment_bench
#include "BenchLoop.h"
#include "InProcessBrowser.h"
#include "browser/BrowserWindowController.h"
#include "browser/WebViewFactory.h"
#include "devtools/DevToolsPanel.h"
#include "pip/PiPController.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <string>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

const char* kFloodPage = R"(<!DOCTYPE html><title>Flood</title><body>flood
<script>
window.flood = async function () {
    window.floodDone = false;
    const line = 'x'.repeat(1 << 20);
    for (let i = 0; i < 48; i++)
        console.log('line ' + i + ' ' + line);
    for (let first = 0; first < 2000; first += 50) {
        const wave = [];
        for (let i = first; i < first + 50; i++)
            wave.push(fetch('/item?' + i).then(response => response.text()));
        await Promise.all(wave);
    }
    window.floodDone = true;
};
</script>)";

const char* kHostilePage = R"(<!DOCTYPE html><title>Hostile</title><body>hostile
<script>
window.attack = function () {
    const big = 'x'.repeat(1 << 20);
    const bridges = [window.webkit, window.__qwk];
    for (const name of Object.getOwnPropertyNames(window))
        try { const v = window[name]; if (v && typeof v === 'object' && 'messageHandlers' in v) bridges.push(v); } catch (e) {}
    for (let i = 0; i < 10; i++) {
        const fresh = document.body.appendChild(document.createElement('iframe')).contentWindow;
        bridges.push(fresh.webkit, fresh.__qwk);
    }
    let posted = 0;
    for (const bridge of bridges) {
        if (!bridge || !bridge.messageHandlers)
            continue;
        for (const channel of ['quildev', 'quilpip', 'quilblockcount'])
            for (let i = 0; i < 100; i++)
                try {
                    bridge.messageHandlers[channel].postMessage({ type: 'console', payload: { level: 'log', text: big },
                        data: big, count: i });
                    posted++;
                } catch (e) {}
    }
    for (let i = 0; i < 100; i++)
        console.log(big);
    return posted;
};
</script>)";

void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer)
{
    soup_server_message_set_status(message, 200, nullptr);
    if (g_str_equal(path, "/item")) {
        static const char body[] = "{\"item\":true,\"text\":\"a small answer\"}";
        soup_server_message_set_response(message, "application/json", SOUP_MEMORY_STATIC, body, sizeof body - 1);
        return;
    }
    const char* page = g_str_equal(path, "/hostile") ? kHostilePage : kFloodPage;
    soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, page, strlen(page));
}

long residentKiB()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return 0;
}

// Counts what arrives on a channel before handing it on.
class Counter : public ScriptMessageHandler {
public:
    explicit Counter(ScriptMessageHandler* next)
        : next_(next)
    {
    }
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override
    {
        ++received;
        if (next_)
            next_->didReceiveScriptMessage(sender, body);
    }
    size_t received = 0;

private:
    ScriptMessageHandler* next_;
};

// A 10 ms timer: how late it fires is how long the main loop was held up; it also samples
// the resident memory. On a busy machine part of a stall is the thread waiting for a
// core; "most work" is the most CPU time the main thread spent between two ticks.
struct Watch {
    double due = 0;
    double cpu = 0;
    double worstStallMs = 0;
    double worstWorkMs = 0;
    long baseKiB = 0;
    long peakKiB = 0;
    guint timer = 0;

    void start()
    {
        baseKiB = peakKiB = residentKiB();
        due = nowSeconds() + 0.01;
        cpu = threadCpuSeconds();
        timer = g_timeout_add(
            10,
            +[](gpointer data) -> gboolean {
                auto* w = static_cast<Watch*>(data);
                const double now = nowSeconds(), cpu = threadCpuSeconds();
                w->worstStallMs = std::max(w->worstStallMs, (now - w->due) * 1000);
                w->worstWorkMs = std::max(w->worstWorkMs, (cpu - w->cpu) * 1000);
                w->cpu = cpu;
                w->peakKiB = std::max(w->peakKiB, residentKiB());
                w->due = now + 0.01;
                return G_SOURCE_CONTINUE;
            },
            this);
    }
    void stop() { g_source_remove(timer); }
};

std::string run(WebKitWebView* view, const std::string& script)
{
    struct State {
        bool done = false;
        std::string json;
    };
    auto* state = new State;
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* state = static_cast<State*>(data);
            if (JSCValue* value =
                    webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, nullptr)) {
                char* json = jsc_value_to_json(value, 0);
                state->json = json ? json : "null";
                g_free(json);
                g_object_unref(value);
            }
            state->done = true;
        },
        state);
    runUntil([&] { return state->done; }, 60);
    std::string json = state->json;
    if (state->done)
        delete state;
    return json;
}

void paint(Gtk::Widget& widget)
{
    bool painted = false;
    GdkFrameClock* clock = gtk_widget_get_frame_clock(widget.gobj());
    const gulong handler =
        g_signal_connect(clock, "after-paint", G_CALLBACK(+[](GdkFrameClock*, bool* flag) { *flag = true; }), &painted);
    widget.queue_draw();
    runUntil([&] { return painted; }, 10);
    g_signal_handler_disconnect(clock, handler);
}

} // namespace

int main()
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    CUSTOM_UA = kFirefoxUserAgent;
    g_log_set_writer_func(
        [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr, nullptr);

    const std::string base = "http://127.0.0.1:" + std::to_string(serveOnOwnThread(handle));

    InProcessBrowser program(base + "/flood");
    BrowserWindowController& browser = program.browser();
    DevToolsPanel& panel = browser.devPanel();
    WebKitWebView* view = browser.webView();
    runUntil([&] { return !webkit_web_view_is_loading(view); }, 30);
    Counter devtools(&panel), pip(&browser.pipController()), counts(nullptr);
    browser.setMessageHandler("quildev", &devtools);
    browser.setMessageHandler("quilpip", &pip);
    browser.setMessageHandler("quilblockcount", &counts);

    // The flood, with the panel open on the console.
    browser.toggleDevTools();
    panel.pages().set_visible_child("console"); // the dearer page to keep up to date
    runUntil([] { return false; }, 1.0); // capture on, panel laid out
    Watch flood;
    flood.start();
    const double start = nowSeconds();
    run(view, "flood(); 1");
    const bool all = runUntil(
        [&] {
            if (panel.pendingMessages() > 0 || panel.entries().size() < 2000 || panel.consoleLineCount() < 48)
                return false;
            for (size_t i = 0; i < panel.entries().size(); ++i)
                if (panel.entries().at(i).status == "pending")
                    return false;
            return true;
        },
        120);
    paint(panel);
    const double shown = nowSeconds() - start;
    runUntil([] { return false; }, 1.0);
    flood.stop();
    printf("flood: 48 lines of 1 MiB and 2,000 fetches, panel open%s\n", all ? "" : " (not all shown)");
    printf("  main process growth     %8.1f MiB (%.1f -> %.1f)\n", (flood.peakKiB - flood.baseKiB) / 1024.0,
        flood.baseKiB / 1024.0, flood.peakKiB / 1024.0);
    printf("  longest main-loop stall %8.1f ms (most work %.1f ms)\n", flood.worstStallMs, flood.worstWorkMs);
    printf("  all shown after         %8.2f s (%zu entries, %zu lines, longest line %zu characters)\n", shown,
        panel.entries().size(), panel.consoleLineCount(), panel.consoleText().find('\n'));

    // The hostile page, in a background tab, with the panel still open on the flood's tab.
    browser.openNewTab(base + "/hostile");
    WebKitWebView* hostile = browser.webView();
    runUntil([&] { return !webkit_web_view_is_loading(hostile); }, 30);
    browser.switchToTab(0);
    runUntil([] { return false; }, 1.0);
    devtools.received = pip.received = counts.received = 0;
    Watch attack;
    attack.start();
    const std::string posted = run(hostile, "attack()");
    runUntil([] { return false; }, 3.0);
    attack.stop();
    printf("hostile: 100 messages of 1 MiB on each channel by every route found, then 100 lines of 1 MiB\n");
    printf("  routes' posts accepted  %8s\n", posted.c_str());
    printf("  messages received       %8zu (quildev %zu, quilpip %zu, quilblockcount %zu)\n",
        devtools.received + pip.received + counts.received, devtools.received, pip.received, counts.received);
    printf("  main process growth     %8.1f MiB\n", (attack.peakKiB - attack.baseKiB) / 1024.0);
    printf("  longest main-loop stall %8.1f ms (most work %.1f ms)\n", attack.worstStallMs, attack.worstWorkMs);
    return 0;
}
