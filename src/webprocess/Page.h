// One page of a tab, as the web process extension keeps it: the documents its frames
// show, the capture switch of the developer tools, and the outbox that carries what the
// page scripts post to the page's web view in the browser.
//
// The outbox keeps a window per channel: a few messages sent and not yet answered. The
// browser answers once its main loop has gone idle, so a page that posts without pause
// waits here, in its own process, instead of filling the browser. What waits is bounded
// too: past the limit the oldest waiting message goes (the developer tools keep only the
// newest lines and requests anyway), a picture-in-picture frame makes way for the next
// one, and a frame's failed-load total replaces the one still waiting.
#pragma once

#include "platform/GObjectPtr.h"
#include "platform/PageBridge.h"

#include <webkit/webkit-web-process-extension.h>

#include <array>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <unordered_map>

namespace quillmere::webprocess {

class Page;

// A request the instrumentation captured, whole, for "↻ Resend".
struct CapturedRequest {
    std::string method;
    std::string url;
    std::string body;
};

// What one document of one frame reports to. The scripts' native functions hold it;
// the page holds the current document of each frame.
struct Document {
    std::weak_ptr<Page> page;
    GWeak<WebKitFrame> frame;
    std::uint64_t frameId = 0;
    bool mainFrame = false;
    bool pageWorldInstalled = false;
    bool privateWorldInstalled = false;

    // Failed loads counted in this document so far.
    std::int64_t failedLoads = 0;

    // The requests captured here, the newest kKeptNetworkEntries, by their ids.
    std::unordered_map<std::string, CapturedRequest> requests;
    std::deque<std::string> requestOrder; // oldest first
    std::size_t requestBytes = 0;

    void remember(std::string id, CapturedRequest request);
};

class Page : public std::enable_shared_from_this<Page> {
public:
    // The state of `page`, made on first use; it lives as long as the page.
    static Page& of(WebKitWebPage* page);

    // The document that `frame` shows for a script world that is now being set up: the
    // current one if that world has not been set up in it yet, otherwise a new one. A new
    // document in the main frame starts the page with capture off.
    std::shared_ptr<Document> documentFor(WebKitFrame* frame, bool pageWorld);

    bool capturing() const { return capturing_; }

    // Posts `json` (a message as JSON text, at most kMaxMessageBytes) on `channel`.
    void post(std::size_t channel, const Document& from, std::string json);
    // A PiP frame: makes way for a newer one while it waits.
    void postFrame(const Document& from, std::string json);
    // The document's failed-load total; replaces a total of the same frame still waiting.
    void postFailedLoads(const Document& from);

    explicit Page(WebKitWebPage* page);

private:
    enum class Kind { Plain, Frame, Count };
    struct Waiting {
        std::string json;
        std::uint64_t frameId;
        bool mainFrame;
        Kind kind;
    };
    struct Limits {
        std::size_t inFlightMessages, inFlightBytes, waitingMessages, waitingBytes;
    };
    struct Outbox {
        std::deque<Waiting> waiting;
        std::size_t waitingBytes = 0;
        std::size_t inFlight = 0;
        std::size_t inFlightBytes = 0;
    };

    void enqueue(std::size_t channel, Waiting message);
    void pump(std::size_t channel);
    void answered(std::size_t channel, std::size_t bytes);
    bool receive(WebKitUserMessage* message);
    void resend(std::uint64_t frameId, const std::string& id);

    static const Limits kLimits[kMessageChannelCount];

    WebKitWebPage* page_; // owns this
    bool capturing_ = false;
    std::unordered_map<std::uint64_t, std::shared_ptr<Document>> documents_; // frame id -> what it shows
    std::array<Outbox, kMessageChannelCount> outboxes_;
};

} // namespace quillmere::webprocess
