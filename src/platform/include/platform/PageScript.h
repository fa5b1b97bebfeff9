// Running a statement in a web view's main frame when nothing waits for its result.
#pragma once

#include <webkit/webkit.h>

#include <string>

namespace quillmere {

inline void runScript(WebKitWebView* view, const std::string& statement)
{
    if (view)
        webkit_web_view_evaluate_javascript(view, statement.c_str(), -1, nullptr, nullptr, nullptr, nullptr, nullptr);
}

} // namespace quillmere
