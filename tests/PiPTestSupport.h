// Shared by the picture-in-picture tests: pages with test videos, a recorder of the
// "quilpip" messages that passes each one on to the real controller, and frame images.
#pragma once

#include "support/Browser.h"

#include "pip/PiPController.h"
#include "pip/PiPPanel.h"

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

namespace quillmere::test {

// The test videos (tests/data), made with GStreamer:
//   pip-640x480.webm    3 s, 30 frames/s: videotestsrc pattern=ball ! timeoverlay ! vp8enc ! webmmux
//   pip-1920x1080.webm  1 s, 30 frames/s: videotestsrc pattern=colors ! timeoverlay ! vp8enc ! webmmux
//   pip-audio.webm      1 s of silence, Opus, no video track
struct PiPMessage {
    WebKitWebView* sender;
    gint64 at;              // monotonic microseconds at arrival
    nlohmann::json body;    // the posted object ("data" of frames included)
    std::string type() const { return body.is_object() && body.contains("type") && body["type"].is_string() ? body["type"].get<std::string>() : ""; }
};

class PiPRecorder : public ScriptMessageHandler {
public:
    explicit PiPRecorder(ScriptMessageHandler* next) : next_(next) {}
    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override;

    std::vector<PiPMessage> messages;
    std::vector<PiPMessage> ofType(const std::string& type) const;
    int count(const std::string& type) const { return static_cast<int>(ofType(type).size()); }

private:
    ScriptMessageHandler* next_;
};

// Width and height of the JPEG in a frame's data URL; 0 × 0 when it is none.
struct ImageSize {
    int width = 0;
    int height = 0;
};
ImageSize frameImageSize(const PiPMessage& frame);

// A page titled "Main" with one playing video, "main".
inline constexpr const char* kMainVideoPage =
    "<title>Main</title><video id=main src='/pip-640x480.webm' muted autoplay style='width: 640px; height: 480px'></video>";

class PiPTest : public BrowserTest {
protected:
    ~PiPTest() override;

    // Serves the test videos and `html` at "/", launches on it and records "quilpip".
    void launchOn(const std::string& html);
    // Another page at `path`, for further tabs.
    void servePage(const std::string& path, const std::string& html) { server.page(path, html); }

    PiPController& controller() { return browser().pipController(); }
    PiPPanel* panel() { return controller().panel(); }

    // Waits until the element `id` in `view` has at least `readyState`.
    bool waitForReadyState(WebKitWebView* view, const std::string& id, int readyState = 2);
    // Waits until `count` messages of `type` have arrived in all.
    bool waitForMessages(const std::string& type, int count = 1, int timeoutMs = 10000);
    std::string js(const std::string& script) { return evaluate(activeView(), script); }
    // Posts `object` (JavaScript source) on "quilpip" from the active page.
    void postFromPage(const std::string& object) { js("window.__qwk.messageHandlers.quilpip.postMessage(" + object + "); 1"); }
    std::string js(WebKitWebView* view, const std::string& script) { return evaluate(view, script); }

    std::unique_ptr<PiPRecorder> recorder;
};

} // namespace quillmere::test
