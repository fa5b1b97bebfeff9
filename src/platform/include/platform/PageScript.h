// Running a statement in a web view's main frame when nothing waits for its result:
// in the page's own world, or in the isolated world of the program's scripts.
#pragma once

#include "platform/PageBridge.h"

#include <webkit/webkit.h>

#include <string>

namespace quillmere {

inline void runScript(WebKitWebView* view, const std::string& statement)
{
    if (view)
        webkit_web_view_evaluate_javascript(view, statement.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

inline void runPrivateScript(WebKitWebView* view, const std::string& statement)
{
    if (view)
        webkit_web_view_evaluate_javascript(
            view, statement.c_str(), -1, kScriptWorldName, nullptr, nullptr, nullptr, nullptr);
}

// Sends `name` with `parameters` (a floating GVariant, or null) to the extension in the
// view's page; nothing is expected back.
inline void sendToPage(WebKitWebView* view, const char* name, GVariant* parameters)
{
    if (!view) {
        g_autoptr(GVariant) unsent = parameters ? g_variant_ref_sink(parameters) : nullptr;
        return;
    }
    webkit_web_view_send_message_to_page(view, webkit_user_message_new(name, parameters), nullptr, nullptr, nullptr);
}

} // namespace quillmere
