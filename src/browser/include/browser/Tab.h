// One tab: its identity, its web view and what the strip and badge show for it.
#pragma once

#include "platform/GObjectPtr.h"

#include <webkit/webkit.h>

#include <cstdint>
#include <string>

namespace Gtk {
class Widget;
}

namespace quillmere {

struct Tab {
    Tab();
    ~Tab();
    Tab(const Tab&) = delete;
    Tab& operator=(const Tab&) = delete;

    const std::string id; // a random UUID; nothing looks tabs up by it
    GObjectPtr<WebKitWebView> webView; // owned by the tab for its whole life
    Gtk::Widget* widget = nullptr; // the view's place in the widget tree
    std::string title = "New Tab";
    std::int64_t blockedCount = 0;

    // A load that failed before it finished keeps the old title, also while the
    // engine's error page for it is shown.
    bool loadFailed = false;
    std::string failedURI;
    bool showingErrorPage = false;

    // The data pointer the view's signal handlers were connected with; they are cut
    // when the tab goes, even if something else keeps the view alive a while longer.
    gpointer signalOwner = nullptr;
};

} // namespace quillmere
