// Picture-in-picture throughput. A 1080p30 VP8 video, generated with GStreamer on the
// first run (and kept in the temporary directory), plays from a local server in the
// real program, which streams it into its panel; after a short warm-up the stream is
// measured for 10 seconds. Prints frames shown per second, bytes per frame, the
// program's CPU time per frame, and where the time goes: drawing and encoding in the
// page, the bridge, the program's message handling, decoding and painting.
//
// Run it through tests/isolate.sh (its own display, session bus and home), e.g.
//   tests/isolate.sh build/bench/pip_bench [seconds] [--loop]
// With --loop the page holds two muted, autoplaying videos with the `loop` attribute, a
// 3-second clip each, so that the measured seconds cross several wraps.
#include "BenchLoop.h"
#include "InProcessBrowser.h"
#include "browser/BrowserWindowController.h"
#include "browser/WebViewFactory.h"
#include "pip/FrameDecoder.h"
#include "pip/PiPController.h"
#include "pip/PiPPanel.h"
#include "platform/Base64.h"

#include <glib/gstdio.h>
#include <libsoup/soup.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <numeric>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

using namespace quillmere;
using namespace quillmere::bench;

namespace {

const char* kPage = R"(<!DOCTYPE html><title>PiP bench</title>
<body style="margin: 0; background: #222">
<video id=v src="/video.webm" muted autoplay style="width: 960px; height: 540px"></video>)";
const char* kLoopingPage = R"(<!DOCTYPE html><title>PiP bench, looping</title>
<body style="margin: 0; background: #222">
<video id=v src="/video.webm" muted autoplay loop style="width: 960px; height: 540px"></video>
<video src="/video.webm" muted autoplay loop style="width: 480px; height: 270px"></video>)";

// Times the page's share of every frame without touching the streaming script. It runs
// in the isolated world the stream runs in, whose canvas and animation-frame functions
// are that world's own.
const char* kTiming = R"(
(function () {
  const stats = window.benchStats = { draw: 0, draws: 0, encode: 0, encodes: 0, ticks: 0, encodedAt: [] };
  const drawImage = CanvasRenderingContext2D.prototype.drawImage;
  CanvasRenderingContext2D.prototype.drawImage = function () {
    const start = performance.now();
    const result = drawImage.apply(this, arguments);
    stats.draw += performance.now() - start;
    stats.draws++;
    return result;
  };
  const toDataURL = HTMLCanvasElement.prototype.toDataURL;
  HTMLCanvasElement.prototype.toDataURL = function () {
    const start = performance.now();
    const result = toDataURL.apply(this, arguments);
    const end = performance.now();
    stats.encode += end - start;
    stats.encodes++;
    stats.encodedAt.push([Date.now(), result.length]);
    const total = document.getElementById('v').getVideoPlaybackQuality().totalVideoFrames;
    if (total != lastTotal)
      stats.newPictures++;
    lastTotal = total;
    return result;
  };
  // Encodes of a picture the video had not shown before (its frame count moved on).
  stats.newPictures = 0;
  let lastTotal = -1;
  const requestAnimationFrame = window.requestAnimationFrame.bind(window);
  window.requestAnimationFrame = function (callback) {
    return requestAnimationFrame(function (time) { stats.ticks++; callback(time); });
  };
})();
)";

// CPU seconds of every process below ours, by command name.
std::map<std::string, double> childCpuSeconds()
{
    struct Stat {
        int parent;
        std::string name;
        double cpu;
    };
    std::map<int, Stat> all;
    GDir* dir = g_dir_open("/proc", 0, nullptr);
    const double ticks = sysconf(_SC_CLK_TCK);
    while (const char* entry = g_dir_read_name(dir)) {
        const int pid = atoi(entry);
        if (pid <= 0)
            continue;
        std::ifstream file(std::string("/proc/") + entry + "/stat");
        std::string line;
        if (!std::getline(file, line))
            continue;
        const auto open = line.find('('), close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::vector<std::string> fields;
        std::string field;
        for (char c : line.substr(close + 2)) {
            if (c == ' ') {
                fields.push_back(field);
                field.clear();
            } else {
                field += c;
            }
        }
        // After the name: state(0) ppid(1) ... utime(11) stime(12).
        if (fields.size() > 12)
            all[pid] = {std::stoi(fields[1]), line.substr(open + 1, close - open - 1),
                (std::stod(fields[11]) + std::stod(fields[12])) / ticks};
    }
    g_dir_close(dir);
    std::map<std::string, double> byName;
    const int self = getpid();
    for (const auto& [pid, stat] : all) {
        bool below = false;
        for (int parent = stat.parent; parent > 1 && !below; parent = all.count(parent) ? all[parent].parent : 0)
            below = parent == self;
        if (below)
            byName[stat.name] += stat.cpu;
    }
    return byName;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    return values[std::min(values.size() - 1, static_cast<size_t>(p * values.size()))];
}

double mean(const std::vector<double>& values)
{
    return values.empty() ? 0 : std::accumulate(values.begin(), values.end(), 0.0) / values.size();
}

std::string evaluate(WebKitWebView* view, const std::string& script, const char* world = nullptr)
{
    struct State {
        bool done = false;
        std::string json;
    };
    auto* state = new State;
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, world, nullptr, nullptr,
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
    runUntil([&] { return state->done; }, 30);
    std::string json = state->json;
    if (state->done)
        delete state;
    return json;
}

// The 1080p30 source: moving colour bars with a running clock, VP8 at 6 Mbit/s.
std::string ensureVideo(int seconds)
{
    const std::string path =
        std::string(g_get_tmp_dir()) + "/quillmere-pip-bench-1080p30-" + std::to_string(seconds) + "s.webm";
    if (g_file_test(path.c_str(), G_FILE_TEST_EXISTS))
        return path;
    fprintf(stderr, "Generating %s (a minute or two)...\n", path.c_str());
    const std::string partial = path + ".part";
    const std::string command = "gst-launch-1.0 -q videotestsrc num-buffers=" + std::to_string(seconds * 30)
        + " pattern=smpte horizontal-speed=8 ! video/x-raw,width=1920,height=1080,framerate=30/1"
          " ! timeoverlay font-desc=\"Sans 64\" ! vp8enc deadline=1 cpu-used=8 threads=2 end-usage=cbr"
          " target-bitrate=6000000 keyframe-max-dist=60 ! webmmux ! filesink location="
        + partial;
    if (system(command.c_str()) != 0 || g_rename(partial.c_str(), path.c_str()) != 0) {
        fprintf(stderr, "GStreamer could not make the test video\n");
        exit(1);
    }
    return path;
}

struct Server {
    SoupServer* soup = soup_server_new(nullptr, nullptr);
    std::string video;
    const char* page = kPage;
    int port = 0;
};

void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer data)
{
    auto* server = static_cast<Server*>(data);
    if (g_str_equal(path, "/video.webm")) {
        // Whole file or one byte range, as media servers answer.
        const auto size = static_cast<goffset>(server->video.size());
        goffset first = 0, last = size - 1;
        SoupRange* ranges = nullptr;
        int count = 0;
        SoupMessageHeaders* request = soup_server_message_get_request_headers(message);
        SoupMessageHeaders* response = soup_server_message_get_response_headers(message);
        soup_message_headers_replace(response, "Accept-Ranges", "bytes");
        int status = 200;
        if (soup_message_headers_get_ranges(request, size, &ranges, &count) && count > 0) {
            first = ranges[0].start;
            last = ranges[0].end;
            soup_message_headers_free_ranges(request, ranges);
            soup_message_headers_set_content_range(response, first, last, size);
            status = 206;
        }
        soup_server_message_set_status(message, status, nullptr);
        soup_server_message_set_response(
            message, "video/webm", SOUP_MEMORY_COPY, server->video.data() + first, last - first + 1);
        return;
    }
    soup_server_message_set_status(message, 200, nullptr);
    soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, server->page, strlen(server->page));
}

// Sits between the bridge and the controller: when each frame arrived, its size, and
// how long the controller's handler took.
class Tap : public ScriptMessageHandler {
public:
    explicit Tap(ScriptMessageHandler& next)
        : next_(next)
    {
    }
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override
    {
        const double arrived = g_get_real_time() / 1e3; // epoch milliseconds, as the page's Date.now()
        const auto start = std::chrono::steady_clock::now();
        next_.didReceiveScriptMessage(sender, body);
        const double handled =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
        if (!measuring || body.stringMember("type") != "frame")
            return;
        const std::string data = body.stringMember("data").value_or("");
        arrivals.push_back(arrived);
        handlerMs.push_back(handled);
        dataBytes.push_back(static_cast<double>(data.size()));
        if (data != lastData)
            ++distinct;
        lastData = data;
    }

    bool measuring = false;
    std::vector<double> arrivals, handlerMs, dataBytes;
    std::string lastData;
    int distinct = 0; // frames whose picture differs from the one before

private:
    ScriptMessageHandler& next_;
};

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    double seconds = 10.0;
    bool looping = false;
    for (int i = 1; i < argc; ++i) {
        if (g_str_equal(argv[i], "--loop"))
            looping = true;
        else
            seconds = atof(argv[i]);
    }
    CUSTOM_UA = kFirefoxUserAgent;
    // The program's own log lines would only get in the way of the figures.
    g_log_set_writer_func(
        [](GLogLevelFlags, const GLogField*, gsize, gpointer) { return G_LOG_WRITER_HANDLED; }, nullptr, nullptr);

    Server server;
    if (looping)
        server.page = kLoopingPage;
    {
        gchar* contents = nullptr;
        gsize length = 0;
        g_file_get_contents(ensureVideo(looping ? 3 : 14).c_str(), &contents, &length, nullptr);
        server.video.assign(contents, length);
        g_free(contents);
    }
    soup_server_add_handler(server.soup, nullptr, handle, &server, nullptr);
    soup_server_listen_local(server.soup, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
    GSList* uris = soup_server_get_uris(server.soup);
    server.port = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    const std::string page = "http://127.0.0.1:" + std::to_string(server.port) + "/";

    InProcessBrowser program(page);
    BrowserWindowController& browser = program.browser();
    WebKitWebView* view = browser.webView();
    if (!runUntil([&] { return evaluate(view, "v.readyState >= 3 && v.currentTime > 0.5") == "true"; }, 60)) {
        fprintf(stderr, "The video did not start playing\n");
        return 1;
    }

    evaluate(view, kTiming, kScriptWorldName);
    PiPController& pip = browser.pipController();
    Tap tap(pip);
    browser.setMessageHandler("quilpip", &tap);
    browser.startPiP();
    PiPPanel& panel = *pip.panel();
    runUntil([&] { return panel.get_mapped() && panel.imageView().get_paintable(); }, 20);
    runUntil([] { return false; }, 1.5); // warm-up

    // Paint timing: from the end of the panel's layout phase to the end of its paint.
    GdkFrameClock* clock = gtk_widget_get_frame_clock(GTK_WIDGET(panel.gobj()));
    struct Paints {
        PiPPanel* panel = nullptr;
        bool measuring = false;
        double laidOut = 0;
        Glib::RefPtr<Gdk::Paintable> shown;
        std::vector<double> newPictureMs;
        int all = 0;
    } paints;
    paints.panel = &panel;
    g_signal_connect(
        clock, "layout", G_CALLBACK(+[](GdkFrameClock*, Paints* p) { p->laidOut = nowSeconds(); }), &paints);
    g_signal_connect(clock, "after-paint", G_CALLBACK(+[](GdkFrameClock*, Paints* p) {
        if (!p->measuring)
            return;
        ++p->all;
        auto picture = p->panel->imageView().get_paintable();
        if (picture && picture != p->shown) {
            p->shown = picture;
            p->newPictureMs.push_back((nowSeconds() - p->laidOut) * 1000);
        }
    }),
        &paints);

    // Main-loop lateness: a 10 ms timer that notes how late each tick comes.
    struct Ticker {
        double due = 0;
        std::vector<double> lateMs;
    } ticker;
    ticker.due = nowSeconds() + 0.01;
    guint timer = g_timeout_add(
        10,
        +[](gpointer data) -> gboolean {
            auto* t = static_cast<Ticker*>(data);
            const double now = nowSeconds();
            t->lateMs.push_back(std::max(0.0, (now - t->due) * 1000));
            t->due = now + 0.01;
            return G_SOURCE_CONTINUE;
        },
        &ticker);

    const std::string pageBefore = evaluate(view,
        "JSON.stringify([benchStats.draw, benchStats.draws, benchStats.encode, benchStats.encodes, benchStats.ticks, "
        "benchStats.encodedAt.length, 0, 0, benchStats.newPictures])",
        kScriptWorldName);
    const auto childrenBefore = childCpuSeconds();
    const double cpuBefore = processCpuSeconds(), mainBefore = threadCpuSeconds(), start = nowSeconds();
    const auto counterBefore = pip.frameCounter();
    tap.measuring = paints.measuring = true;
    runUntil([] { return false; }, seconds);
    tap.measuring = paints.measuring = false;
    const double elapsed = nowSeconds() - start, cpu = processCpuSeconds() - cpuBefore,
                 mainCpu = threadCpuSeconds() - mainBefore;
    const auto childrenAfter = childCpuSeconds();
    const auto received = pip.frameCounter() - counterBefore;
    g_source_remove(timer);
    const std::string pageAfter = evaluate(view,
        "JSON.stringify([benchStats.draw, benchStats.draws, benchStats.encode, benchStats.encodes, benchStats.ticks, "
        "benchStats.encodedAt.length, v.currentTime, v.duration, benchStats.newPictures])",
        kScriptWorldName);
    auto before = nlohmann::json::parse(nlohmann::json::parse(pageBefore).get<std::string>());
    auto after = nlohmann::json::parse(nlohmann::json::parse(pageAfter).get<std::string>());

    // Bridge: the page's encode end of each frame against its arrival in the program.
    const size_t firstSent = before[5].get<size_t>();
    const std::string sentJson = evaluate(
        view, "JSON.stringify(benchStats.encodedAt.slice(" + std::to_string(firstSent) + "))", kScriptWorldName);
    auto sent = nlohmann::json::parse(nlohmann::json::parse(sentJson).get<std::string>());
    // Frames in flight at either end belong to one list only: line the two up where
    // the most frame sizes agree.
    std::vector<double> bridgeMs;
    int bestShift = 0, bestMatches = -1;
    for (int shift = -30; shift <= 30; ++shift) {
        int matches = 0;
        for (size_t i = 0; i < tap.arrivals.size(); ++i) {
            const long j = static_cast<long>(i) + shift;
            matches += j >= 0 && j < static_cast<long>(sent.size()) && sent[j][1].get<double>() == tap.dataBytes[i];
        }
        if (matches > bestMatches) {
            bestMatches = matches;
            bestShift = shift;
        }
    }
    for (size_t i = 0; i < tap.arrivals.size(); ++i) {
        const long j = static_cast<long>(i) + bestShift;
        if (j >= 0 && j < static_cast<long>(sent.size()) && sent[j][1].get<double>() == tap.dataBytes[i])
            bridgeMs.push_back(tap.arrivals[i] - sent[j][0].get<double>());
    }

    // Decoding one frame, on its own, as often as it takes to time it.
    const std::string base64 = tap.lastData.substr(tap.lastData.find(',') + 1);
    std::vector<std::uint8_t> jpeg;
    auto timeIt = [](int runs, const std::function<void()>& work) {
        const auto t0 = std::chrono::steady_clock::now();
        for (int i = 0; i < runs; ++i)
            work();
        return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - t0).count() / runs;
    };
    const double base64Ms = timeIt(50, [&] { jpeg = *decodeBase64(base64); });
    int panelWidth = 0, panelHeight = 0;
    panel.pictureSize(panelWidth, panelHeight);
    int width = 0, height = 0, scaledWidth = 0, scaledHeight = 0;
    const double scaledDecodeMs = timeIt(20, [&] {
        auto texture = FrameDecoder::decodeImage(jpeg.data(), jpeg.size(), panelWidth, panelHeight);
        scaledWidth = gdk_texture_get_width(texture.get());
        scaledHeight = gdk_texture_get_height(texture.get());
    });
    const double fullDecodeMs = timeIt(20, [&] {
        GBytes* bytes = g_bytes_new_static(jpeg.data(), jpeg.size());
        GdkTexture* texture = gdk_texture_new_from_bytes(bytes, nullptr);
        width = gdk_texture_get_width(texture);
        height = gdk_texture_get_height(texture);
        g_object_unref(texture);
        g_bytes_unref(bytes);
    });

    const auto diff = [&](int index) { return after[index].get<double>() - before[index].get<double>(); };
    const double shown = static_cast<double>(paints.newPictureMs.size());
    const double webCpu = childrenAfter.count("WebKitWebProces")
        ? childrenAfter.at("WebKitWebProces") - childrenBefore.at("WebKitWebProces")
        : 0;
    double otherCpu = 0;
    for (const auto& [name, total] : childrenAfter)
        if (name != "WebKitWebProces")
            otherCpu += total - (childrenBefore.count(name) ? childrenBefore.at(name) : 0);

    double load[3] = {0, 0, 0};
    getloadavg(load, 3);
    printf("Picture-in-picture, 1080p30 VP8 source, %.1f s measured, panel picture %d x %d, load average %.2f\n",
        elapsed, panelWidth, panelHeight, load[0]);
    printf("  frames shown           %6.1f /s   (received %.1f /s; page animation frames %.1f /s, frames encoded %.1f "
           "/s)\n",
        shown / elapsed, received / elapsed, diff(4) / elapsed, diff(3) / elapsed);
    printf("  distinct pictures      %6.1f /s   received (encodes of a new video picture %.1f /s)\n",
        tap.distinct / elapsed, diff(8) / elapsed);
    printf("  bytes per frame        %6.1f kB JPEG, %.1f kB as a data URL\n", mean(tap.dataBytes) * 3 / 4 / 1000,
        mean(tap.dataBytes) / 1000);
    printf("  program CPU per frame  %6.1f ms   (main thread %.1f ms; %.0f%% of a core in all)\n",
        cpu * 1000 / std::max(1.0, shown), mainCpu * 1000 / std::max(1.0, shown), cpu / elapsed * 100);
    printf("  web process CPU        %6.1f ms per frame (%.0f%% of a core); other helpers %.0f%%\n",
        webCpu * 1000 / std::max(1.0, shown), webCpu / elapsed * 100, otherCpu / elapsed * 100);
    printf("  main-loop lateness     %6.1f ms at the 99th percentile, %.1f ms at most\n",
        percentile(ticker.lateMs, 0.99),
        ticker.lateMs.empty() ? 0 : *std::max_element(ticker.lateMs.begin(), ticker.lateMs.end()));
    printf("Where the time goes, per frame\n");
    printf("  page: draw video       %6.1f ms\n", diff(1) ? diff(0) / diff(1) : 0);
    printf("  page: encode JPEG      %6.1f ms\n", diff(3) ? diff(2) / diff(3) : 0);
    printf("  bridge: to handler     %6.1f ms median, %.1f ms at the 90th percentile\n", percentile(bridgeMs, 0.5),
        percentile(bridgeMs, 0.9));
    printf(
        "  program: handler       %6.1f ms   (read the message, Base64, hand on; main thread)\n", mean(tap.handlerMs));
    printf("     of which Base64     %6.1f ms\n", base64Ms);
    printf("  program: JPEG decode   %6.1f ms   (to %d x %d for the panel, off the main thread; GTK's loader at full "
           "%d x %d: %.1f ms)\n",
        scaledDecodeMs, scaledWidth, scaledHeight, width, height, fullDecodeMs);
    printf("  program: paint         %6.1f ms   (panel frames with a new picture; %d panel frames in all)\n",
        mean(paints.newPictureMs), paints.all);
    printf("  program: the rest      %6.1f ms   (main thread: the engine handing over the message, layout, the browser "
           "window)\n",
        std::max(0.0, mainCpu * 1000 / std::max(1.0, shown) - mean(tap.handlerMs) - mean(paints.newPictureMs)));
    if (after[6].get<double>() >= after[7].get<double>() - 0.1)
        printf("Note: the video reached its end during the measurement; the figures are too low.\n");

    browser.setMessageHandler("quilpip", &pip);
    return 0;
}
