// Picture-in-picture: starts the frame stream of the active tab's largest video, takes
// the frames the page's stream posts on "quilpip" and shows them in the floating panel.
// One per browser window, the "quilpip" handler of all its web views; the window
// repoints it at the active tab's view on every switch. It owns the panel from the first
// start on. Frames count only from the main frame of the view the panel is bound to;
// anything else is dropped before a byte of it is decoded. What a page writes into the
// log (its error texts, its diagnostics) is cut, escaped, marked as the page's and
// limited to a few lines per tab and minute.
#pragma once

#include "platform/GObjectPtr.h"
#include "platform/ScriptMessageHandler.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

namespace Gtk {
class Window;
}

namespace quillmere {

class FrameDecoder;
class PiPPanel;

class PiPController : public ScriptMessageHandler, public std::enable_shared_from_this<PiPController> {
public:
    PiPController();
    ~PiPController() override;

    // The web view the next start addresses, held weakly; the window repoints it on
    // every tab switch.
    void setWebView(WebKitWebView* view) { webView_ = view; }

    // Runs once on the panel when the first start creates it, so that the window can
    // give it the application's keys.
    void setPanelSetup(std::function<void(Gtk::Window&)> setup) { panelSetup_ = std::move(setup); }

    // Shows the panel bound to the current web view and starts streaming there.
    void start();
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override;

    // The panel, once the first start made it.
    PiPPanel* panel() const { return panel_.get(); }
    // "frame" messages received since creation, over all streams.
    std::int64_t frameCounter() const { return frameCounter_; }

private:
    // Page log lines allowed per tab: a few at once, then one more every 10 seconds.
    struct LogBudget {
        GWeak<WebKitWebView> view;
        double tokens;
        std::chrono::steady_clock::time_point updated;
    };

    void receiveFrame(const ScriptSender& sender, const ScriptValue& body);
    void logDiag(const ScriptValue& body);
    bool mayLogFor(WebKitWebView* view);

    GWeak<WebKitWebView> webView_;
    std::unique_ptr<PiPPanel> panel_;
    std::unique_ptr<FrameDecoder> decoder_; // made with the panel
    std::function<void(Gtk::Window&)> panelSetup_;
    std::optional<std::chrono::steady_clock::time_point> lastFrameLogTime_; // none: never logged
    std::int64_t frameCounter_ = 0;
    std::vector<LogBudget> logBudgets_;
};

} // namespace quillmere
