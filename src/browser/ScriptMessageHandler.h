// The receiving end of one message channel: every web view of the window posts to the
// same handler, which tells tabs apart by the sending view.
#pragma once

#include "platform/ScriptValue.h"

#include <webkit/webkit.h>

namespace quillmere {

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) = 0;
};

} // namespace quillmere
