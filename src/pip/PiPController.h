// Picture-in-picture: starts the frame stream of the active tab's largest video, takes
// the frames the page posts on "quilpip" and shows them in the floating panel.
#pragma once

#include "browser/ScriptMessageHandler.h"
#include "platform/GObjectPtr.h"

#include <memory>

namespace quillmere {

class PiPController : public ScriptMessageHandler, public std::enable_shared_from_this<PiPController> {
public:
    PiPController();
    ~PiPController() override;

    // The web view the next start addresses, held weakly; the window repoints it on
    // every tab switch.
    void setWebView(WebKitWebView* view) { webView_ = view; }

    void start();
    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override;

private:
    GWeak<WebKitWebView> webView_;
};

} // namespace quillmere
