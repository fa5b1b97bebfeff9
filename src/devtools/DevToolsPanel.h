// The in-window developer tools: a panel docked under the page with the network log,
// the console and the HTML editor. It receives the "quildev" messages of every web
// view of the window; its page operations go to the active tab's web view.
#pragma once

#include "browser/ScriptMessageHandler.h"
#include "platform/GObjectPtr.h"

#include <gtkmm/box.h>

#include <functional>

namespace quillmere {

class DevToolsPanel : public Gtk::Box, public ScriptMessageHandler {
public:
    static constexpr int headerHeight = 36;

    DevToolsPanel();
    ~DevToolsPanel() override;

    // The active tab's web view, held weakly; the window repoints it on every switch.
    void setWebView(WebKitWebView* view) { webView_ = view; }
    GObjectPtr<WebKitWebView> webView() const { return webView_.peek(); }

    // Run by the panel's close button.
    void setOnClose(std::function<void()> onClose) { onClose_ = std::move(onClose); }

    // Empties the network log and the console and blanks the detail text.
    void clear();

    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override;

private:
    GWeak<WebKitWebView> webView_;
    std::function<void()> onClose_;
};

} // namespace quillmere
