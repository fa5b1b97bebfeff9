// The receiving end of one page channel. Features implement the handler; the browser
// takes the messages of every web view off the web process extension and routes each
// to the handler of its channel, naming the view and the frame that sent it.
#pragma once

#include "platform/PageBridge.h"
#include "platform/ScriptValue.h"

#include <webkit/webkit.h>

#include <cstdint>

namespace quillmere {

// Who posted a message: the tab's web view (a view opened by a page is a sender of its
// own), and the frame within that view's page. The extension fills these in; no page
// can choose them.
struct ScriptSender {
    WebKitWebView* view = nullptr;
    std::uint64_t frame = 0;
    bool mainFrame = false;
};

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) = 0;
};

} // namespace quillmere
