// The developer tools under a flood. A local page issues N fetches (fifty in flight at a
// time) and writes N console lines, in the real program with the panel open; the benchmark measures
// the time from the page's first call until the panel shows every message it keeps (the
// newest 5,000 entries with their responses and the newest 5,000 console lines) and has
// painted, and the longest stall of the main loop meanwhile (how late a 10 ms timer fires). It runs N = 1,000
// and N = 10,000, once with the network page showing and once with the console page,
// so that the growth from one size to the next can be read off.
//
// Run it through tests/isolate.sh (its own display, session bus and home), e.g.
//   tests/isolate.sh build/bench/devtools_bench
#include "BenchLoop.h"
#include "InProcessBrowser.h"
#include "browser/BrowserWindowController.h"
#include "browser/WebViewFactory.h"
#include "devtools/DevToolsPanel.h"

#include <libsoup/soup.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

const char* kPage = R"(<!DOCTYPE html><title>Flood</title><body>flood
<script>
window.flood = async function (n) {
    window.floodDone = false;
    // Fifty requests in flight at a time: more only measures the engine's own queue.
    for (let first = 0; first < n; first += 50) {
        const wave = [];
        for (let i = first; i < Math.min(n, first + 50); i++) {
            wave.push(fetch('/item?' + i).then(response => response.text()));
            console.log('line ' + i + ' of the flood, with some text to make it a realistic length');
        }
        await Promise.all(wave);
    }
    window.floodDone = true;
};
</script>)";

void run(WebKitWebView* view, const std::string& script)
{
    webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer)
{
    soup_server_message_set_status(message, 200, nullptr);
    if (g_str_equal(path, "/item")) {
        static const char body[] = "{\"item\":true,\"text\":\"a small answer\"}";
        soup_server_message_set_response(message, "application/json", SOUP_MEMORY_STATIC, body, sizeof body - 1);
        return;
    }
    soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, kPage, strlen(kPage));
}

// Counts what arrives on the channel before handing it to the panel.
class Counter : public ScriptMessageHandler {
public:
    explicit Counter(DevToolsPanel& panel)
        : panel_(panel)
    {
    }
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override
    {
        ++received;
        if (forward)
            panel_.didReceiveScriptMessage(sender, body);
    }
    size_t received = 0;
    bool forward = true; // off: the bridge alone, without the panel

private:
    DevToolsPanel& panel_;
};

// A 10 ms timer: how late it fires is how long the main loop was held up. On a busy
// machine part of that is the thread waiting for a core; the thread's own CPU time over
// the same stretch tells the work apart from the waiting: "most work" is the most CPU
// time the main thread spent between two ticks.
struct Ticker {
    double due = 0;
    double cpu = 0;
    double worstMs = 0;
    double worstWorkMs = 0;
};

struct Result {
    double shownSeconds = 0;
    double worstStallMs = 0;
    double worstWorkMs = 0;
    double mainCpuSeconds = 0;
};

Result flood(BrowserWindowController& browser, Counter& counter, size_t n)
{
    DevToolsPanel& panel = browser.devPanel();
    panel.clear();
    counter.received = 0;
    WebKitWebView* view = browser.webView();

    Ticker ticker;
    ticker.due = nowSeconds() + 0.01;
    ticker.cpu = threadCpuSeconds();
    const guint timer = g_timeout_add(
        10,
        +[](gpointer data) -> gboolean {
            auto* t = static_cast<Ticker*>(data);
            const double now = nowSeconds(), cpu = threadCpuSeconds();
            t->worstMs = std::max(t->worstMs, (now - t->due) * 1000);
            t->worstWorkMs = std::max(t->worstWorkMs, (cpu - t->cpu) * 1000);
            t->due = now + 0.01;
            t->cpu = cpu;
            return G_SOURCE_CONTINUE;
        },
        &ticker);

    const double start = nowSeconds(), cpuStart = threadCpuSeconds();
    run(view, "flood(" + std::to_string(n) + ")");
    // The panel keeps the newest kKeptNetworkEntries requests and kKeptConsoleLines lines;
    // when it falls that far behind, the page's oldest messages wait in vain and go.
    const size_t shown = std::min(n, kKeptNetworkEntries);
    const bool all = runUntil(
        [&] {
            if (!counter.forward)
                return counter.received == 3 * n;
            return panel.pendingMessages() == 0 && panel.entries().size() == shown
                && panel.consoleLineCount() == std::min(n, kKeptConsoleLines)
                && panel.entries().at(0).status != "pending";
        },
        300);
    // Shown means painted: wait for the frame that follows.
    bool painted = false;
    GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(panel.gobj()));
    const gulong handler =
        g_signal_connect(clock, "after-paint", G_CALLBACK(+[](GdkFrameClock*, bool* flag) { *flag = true; }), &painted);
    gtk_widget_queue_draw(GTK_WIDGET(panel.gobj()));
    runUntil([&] { return painted; }, 10);
    g_signal_handler_disconnect(clock, handler);

    Result result {
        nowSeconds() - start, ticker.worstMs, std::max(0.0, ticker.worstWorkMs), threadCpuSeconds() - cpuStart};
    g_source_remove(timer);
    if (!all)
        fprintf(stderr, "  (incomplete: %zu messages, %zu entries, %zu lines)\n", counter.received,
            panel.entries().size(), panel.consoleLineCount());
    return result;
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    CUSTOM_UA = kFirefoxUserAgent;
    g_log_set_writer_func(
        [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr, nullptr);

    const int port = serveOnOwnThread(handle);
    const std::string page = "http://127.0.0.1:" + std::to_string(port) + "/";

    InProcessBrowser program(page);
    BrowserWindowController& browser = program.browser();
    WebKitWebView* view = browser.webView();
    runUntil(
        [&] {
            return !webkit_web_view_is_loading(view) && g_strcmp0(webkit_web_view_get_uri(view), page.c_str()) == 0;
        },
        30);

    Counter counter(browser.devPanel());
    browser.setMessageHandler("quildev", &counter);
    browser.toggleDevTools();
    runUntil([] { return false; }, 1.0); // capture on, panel laid out

    printf("Developer tools under a flood of N fetches and N console lines\n");
    printf("%-8s %6s %14s %19s %19s %13s\n", "page", "N", "all shown (s)", "longest stall (ms)", "most work (ms)",
        "main CPU (s)");
    // Optionally one page and one size: devtools_bench network 10000
    std::vector<std::string> pages = {"bridge", "network", "console"};
    std::vector<size_t> sizes = {1000, 10000};
    if (argc > 2) {
        pages = {argv[1]};
        sizes = {static_cast<size_t>(atol(argv[2]))};
    }
    for (const std::string& name : pages) {
        // "bridge": the messages are counted but never reach the panel, for the cost of
        // the page, the engine and the bridge alone.
        counter.forward = name != "bridge";
        browser.devPanel().pages().set_visible_child(name == "bridge" ? "network" : name);
        flood(browser, counter, 200); // warm-up
        for (size_t n : sizes) {
            const Result r = flood(browser, counter, n);
            printf("%-8s %6zu %14.2f %19.1f %19.1f %13.2f\n", name.c_str(), n, r.shownSeconds, r.worstStallMs,
                r.worstWorkMs, r.mainCpuSeconds);
        }
    }
    return 0;
}
