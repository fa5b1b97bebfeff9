// Makes every tab's web view: its own settings and content manager, the shared default
// network session, the Firefox identity, the page scripts and the three message
// channels. The scripts are compiled once and shared by all views.
#pragma once

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

// Receives a message: the channel, the sending view and the posted value.
using ScriptMessageSink = std::function<void(const char* channel, WebKitWebView* sender, JSCValue* body)>;

struct UserScriptUnref {
    void operator()(WebKitUserScript* script) const { webkit_user_script_unref(script); }
};
using UserScriptPtr = std::unique_ptr<WebKitUserScript, UserScriptUnref>;

class WebViewFactory {
public:
    WebViewFactory();

    // A new, unloaded web view. `ruleList` (may be null) is attached at creation; a view
    // opened by a page shares the `opener`'s web process.
    GObjectPtr<WebKitWebView> makeWebView(
        const ScriptMessageSink& sink, WebKitUserContentFilter* ruleList, WebKitWebView* opener = nullptr) const;

private:
    std::vector<UserScriptPtr> scripts_; // in injection order
    bool accelerated_;
};

} // namespace quillmere

// The process-wide user agent: set once at entry to kFirefoxUserAgent, then read for
// every web view. Requests and navigator.userAgent carry exactly this string.
extern std::string CUSTOM_UA;
