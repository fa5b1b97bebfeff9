// Makes every tab's web view: its own settings and content manager, the shared default
// network session and the Firefox identity. The page scripts and their three channels
// come from the web process extension, which the factory has the engine load into every
// web process; each view hands on the messages of its own page.
#pragma once

#include "adblock/QuilBlock.h"
#include "platform/GObjectPtr.h"
#include "platform/ScriptMessageHandler.h"

#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

inline constexpr const char* kFirefoxUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:155.0) Gecko/20100101 Firefox/155.0";

// Receives a message: the channel, the sending view and frame, and the posted value.
using ScriptMessageSink = std::function<void(const char* channel, const ScriptSender& sender, JSCValue* body)>;

class WebViewFactory {
public:
    WebViewFactory();

    // A new, unloaded web view. `ruleList` (may be null) is attached at creation; a view
    // opened by a page shares the `opener`'s web process and content manager.
    GObjectPtr<WebKitWebView> makeWebView(
        const ScriptMessageSink& sink, const QuilBlock::RuleSet* ruleList, WebKitWebView* opener = nullptr) const;

private:
    bool accelerated_;
};

} // namespace quillmere

// The process-wide user agent: set once at entry to kFirefoxUserAgent, then read for
// every web view. Requests and navigator.userAgent carry exactly this string.
extern std::string CUSTOM_UA;
