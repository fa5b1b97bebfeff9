// Keeping the tab record, toolbar, window title and strip in step with each web view:
// loads starting and finishing, load progress, and a web process that went away.
#include "browser/BrowserWindowController.h"

#include "devtools/DevToolsPanel.h"
#include "platform/Log.h"
#include "platform/Resources.h"

namespace quillmere {

namespace {

std::string hostOf(const char* uri)
{
    if (!uri)
        return {};
    GUri* parsed = g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr);
    if (!parsed)
        return {};
    const char* host = g_uri_get_host(parsed);
    std::string result = host ? host : "";
    g_uri_unref(parsed);
    return result;
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

} // namespace

void BrowserWindowController::connectViewSignals(Tab& tab)
{
    WebKitWebView* view = tab.webView.get();
    tab.signalOwner = this;
    g_signal_connect(view, "load-changed", G_CALLBACK(onLoadChanged), this);
    g_signal_connect(view, "load-failed", G_CALLBACK(onLoadFailed), this);
    g_signal_connect(view, "notify::estimated-load-progress", G_CALLBACK(onProgress), this);
    g_signal_connect(view, "web-process-terminated", G_CALLBACK(onWebProcessTerminated), this);
    g_signal_connect(view, "notify::title", G_CALLBACK(onTitleChanged), this);
    g_signal_connect(view, "create", G_CALLBACK(onCreate), this);
    g_signal_connect(view, "close", G_CALLBACK(onClose), this);
}

GtkWidget* BrowserWindowController::onCreate(WebKitWebView* view, WebKitNavigationAction*, gpointer self)
{
    WebKitWebView* opened = static_cast<BrowserWindowController*>(self)->openTabForPage(view);
    return opened ? GTK_WIDGET(opened) : nullptr;
}

// A page closing its own window (window.close()) closes its tab.
void BrowserWindowController::onClose(WebKitWebView* view, gpointer self)
{
    auto* controller = static_cast<BrowserWindowController*>(self);
    controller->closeTab(controller->indexOfTab(view));
}

void BrowserWindowController::onLoadChanged(WebKitWebView* view, WebKitLoadEvent event, gpointer self)
{
    auto* controller = static_cast<BrowserWindowController*>(self);
    if (event == WEBKIT_LOAD_STARTED)
        controller->didStartProvisionalNavigation(view);
    else if (event == WEBKIT_LOAD_FINISHED)
        controller->didFinishNavigation(view);
}

gboolean BrowserWindowController::onLoadFailed(
    WebKitWebView* view, WebKitLoadEvent, char* uri, GError* error, gpointer self)
{
    static_cast<BrowserWindowController*>(self)->didFailNavigation(view, uri, error);
    return FALSE; // the engine shows its own error page
}

void BrowserWindowController::onProgress(WebKitWebView* view, GParamSpec*, gpointer self)
{
    auto* controller = static_cast<BrowserWindowController*>(self);
    if (view == controller->webView())
        controller->showLoadProgress();
}

void BrowserWindowController::onTitleChanged(WebKitWebView* view, GParamSpec*, gpointer self)
{
    static_cast<BrowserWindowController*>(self)->titleChanged(view);
}

void BrowserWindowController::onWebProcessTerminated(
    WebKitWebView* view, WebKitWebProcessTerminationReason reason, gpointer self)
{
    static_cast<BrowserWindowController*>(self)->webProcessTerminated(view, reason);
}

void BrowserWindowController::didStartProvisionalNavigation(WebKitWebView* view)
{
    const int index = indexOfTab(view);
    if (index < 0)
        return;
    Tab& tab = *tabs_[index];
    tab.blockedCount = 0;
    tab.loadFailed = false;
    const char* uri = webkit_web_view_get_uri(view);
    tab.showingErrorPage = !tab.failedURI.empty() && uri && tab.failedURI == uri;
    tab.failedURI.clear();
    if (index == activeTabIndex_) {
        devPanel_->clear();
        setBadgeCount(0);
    }
}

void BrowserWindowController::didFinishNavigation(WebKitWebView* view)
{
    const int index = indexOfTab(view);
    if (index < 0)
        return;
    Tab& tab = *tabs_[index];
    if (index == activeTabIndex_)
        showLoadProgress();
    startPendingCompile();
    if (tab.loadFailed) {
        tab.loadFailed = false;
        return;
    }
    const char* uri = webkit_web_view_get_uri(view);
    // The engine's error page for a failed load: it shows the address that failed,
    // but the failed navigation leaves the tab's title as it was.
    if (tab.showingErrorPage) {
        if (index == activeTabIndex_ && uri && !isEditingAddress())
            showAddress(uri);
        return;
    }

    const char* title = webkit_web_view_get_title(view);
    const std::string host = hostOf(uri);
    tab.title = title && *title ? std::string(title) : !host.empty() ? host : std::string("New Tab");

    if (index == activeTabIndex_) {
        // Never pull the text from under a user who is typing a new address.
        if (uri && !isEditingAddress())
            showAddress(uri);
        window_->set_title(tab.title);
        devPanel_->pageDidFinishLoading(view);
    }
    refreshTabBar();
}

// The engine reports a page's title separately from the load, often after the load
// has finished; a page may also change its title later. A non-empty title is taken at
// once. The host-name fallback is for finished loads only (didFinishNavigation).
void BrowserWindowController::titleChanged(WebKitWebView* view)
{
    const int index = indexOfTab(view);
    const char* title = webkit_web_view_get_title(view);
    if (index < 0 || !title || !*title || tabs_[index]->title == title)
        return;
    Tab& tab = *tabs_[index];
    tab.title = title;
    if (index == activeTabIndex_)
        window_->set_title(tab.title);
    refreshTabBar();
}

void BrowserWindowController::didFailNavigation(WebKitWebView* view, const char* uri, GError* error)
{
    const int index = indexOfTab(view);
    if (index < 0)
        return;
    Tab& tab = *tabs_[index];
    tab.loadFailed = true;
    // The engine follows every failure but a cancelled one with an error page load of
    // the same address.
    const bool cancelled = g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)
        || g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
    tab.failedURI = cancelled || !uri ? "" : uri;
}

void BrowserWindowController::showLoadProgress()
{
    WebKitWebView* view = webView();
    const bool loading = view && webkit_web_view_is_loading(view);
    addressField_.set_progress_fraction(loading ? webkit_web_view_get_estimated_load_progress(view) : 0.0);
}

void BrowserWindowController::webProcessTerminated(WebKitWebView* view, WebKitWebProcessTerminationReason reason)
{
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API || indexOfTab(view) < 0)
        return;
    const char* uri = webkit_web_view_get_uri(view);
    const std::string address = uri ? uri : "";
    quillmereLog.error("The page of a tab stopped (%{public}s): %{public}s",
        reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "memory limit" : "crash", address);
    char* escaped = g_markup_escape_text(address.c_str(), -1);
    const std::string page = replaceAll(resourceText("pages/crashed.html"), "{{ADDRESS}}", escaped);
    g_free(escaped);
    webkit_web_view_load_alternate_html(view, page.c_str(), address.c_str(), nullptr);
}

} // namespace quillmere
