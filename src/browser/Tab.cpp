#include "browser/Tab.h"

#include "platform/Uuid.h"

#include <gtkmm/widget.h>

namespace quillmere {

namespace {

GQuark tabQuark()
{
    static const GQuark quark = g_quark_from_static_string("quillmere-tab");
    return quark;
}

std::string hostOf(const char* uri)
{
    g_autoptr(GUri) parsed = uri ? g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr) : nullptr;
    const char* host = parsed ? g_uri_get_host(parsed) : nullptr;
    return host ? host : "";
}

} // namespace

Tab::Tab(TabDelegate& delegate, GObjectPtr<WebKitWebView> view)
    : delegate_(delegate)
    , id_(newUUID())
{
    setWebView(std::move(view));
}

Tab::~Tab()
{
    // The engine may keep the view a moment longer; nothing of it reaches us after this.
    disconnect();
}

Tab* Tab::fromView(WebKitWebView* view)
{
    return view ? static_cast<Tab*>(g_object_get_qdata(G_OBJECT(view), tabQuark())) : nullptr;
}

void Tab::setWebView(GObjectPtr<WebKitWebView> view)
{
    disconnect();
    webView_ = std::move(view);
    widget_ = webView_ ? Glib::wrap(GTK_WIDGET(webView_.get())) : nullptr;
    connect();
}

std::string Tab::uri() const
{
    if (!webView_)
        return pendingPage_ ? pendingPage_->uri : "";
    const char* uri = webkit_web_view_get_uri(webView_.get());
    return uri ? uri : "";
}

void Tab::setPendingPage(PendingPage page)
{
    if (!page.title.empty())
        title_ = page.title;
    pendingPage_ = std::move(page);
}

std::optional<Tab::PendingPage> Tab::takePendingPage()
{
    auto page = std::move(pendingPage_);
    pendingPage_.reset();
    return page;
}

void Tab::setIcon(GdkTexture* icon)
{
    if (icon == icon_.get())
        return;
    icon_ = icon ? retain(icon) : nullptr;
    delegate_.tabIconDidChange(*this);
}

void Tab::connect()
{
    WebKitWebView* view = webView_.get();
    if (!view)
        return;
    g_object_set_qdata(G_OBJECT(view), tabQuark(), this);
    auto on = [&](const char* signal, GCallback callback) {
        handlers_.push_back(g_signal_connect(view, signal, callback, this));
    };
    on("load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, Tab* tab) { tab->loadChanged(event); }));
    on("load-failed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent, char* uri, GError* error, Tab* tab) {
        tab->loadFailed(uri, error);
        return FALSE; // the engine shows its own error page
    }));
    on("notify::estimated-load-progress",
        G_CALLBACK(+[](WebKitWebView*, GParamSpec*, Tab* tab) { tab->delegate_.tabLoadProgressDidChange(*tab); }));
    on("notify::title", G_CALLBACK(+[](WebKitWebView*, GParamSpec*, Tab* tab) { tab->titleChanged(); }));
    on("notify::uri", G_CALLBACK(+[](WebKitWebView*, GParamSpec*, Tab* tab) { tab->uriChanged(); }));
    on("notify::favicon", G_CALLBACK(+[](WebKitWebView*, GParamSpec*, Tab* tab) { tab->faviconChanged(); }));
    on("web-process-terminated", G_CALLBACK(+[](WebKitWebView*, WebKitWebProcessTerminationReason reason, Tab* tab) {
        tab->delegate_.tabWebProcessDidTerminate(*tab, reason);
    }));
    on("create", G_CALLBACK(+[](WebKitWebView*, WebKitNavigationAction*, Tab* tab) -> GtkWidget* {
        WebKitWebView* opened = tab->delegate_.tabWantsNewTab(*tab);
        return opened ? GTK_WIDGET(opened) : nullptr;
    }));
    on("close", G_CALLBACK(+[](WebKitWebView*, Tab* tab) { tab->delegate_.tabWantsToClose(*tab); }));
}

void Tab::disconnect()
{
    if (!webView_)
        return;
    for (gulong handler : handlers_)
        g_signal_handler_disconnect(webView_.get(), handler);
    handlers_.clear();
    g_object_set_qdata(G_OBJECT(webView_.get()), tabQuark(), nullptr);
}

void Tab::loadChanged(WebKitLoadEvent event)
{
    if (event == WEBKIT_LOAD_STARTED) {
        blockedCount_ = 0;
        loadFailed_ = false;
        showingInternalPage_ = internalPageNext_;
        internalPageNext_ = false;
        // The engine follows a failed load with its error page for the same address.
        showingErrorPage_ = !failedURI_.empty() && failedURI_ == uri();
        failedURI_.clear();
        delegate_.tabDidStartLoading(*this);
    } else if (event == WEBKIT_LOAD_COMMITTED) {
        committedURI_ = uri();
    } else if (event == WEBKIT_LOAD_FINISHED) {
        LoadOutcome outcome = LoadOutcome::Page;
        if (loadFailed_) {
            loadFailed_ = false;
            outcome = LoadOutcome::Failed;
        } else if (showingErrorPage_) {
            outcome = LoadOutcome::ErrorPage;
        } else {
            const char* title = webkit_web_view_get_title(webView_.get());
            const std::string host = hostOf(webkit_web_view_get_uri(webView_.get()));
            title_ = title && *title ? std::string(title) : !host.empty() ? host : std::string("New Tab");
        }
        delegate_.tabDidFinishLoading(*this, outcome);
    }
}

void Tab::loadFailed(const char* uri, GError* error)
{
    loadFailed_ = true;
    // Every failure but a cancelled one is followed by the engine's error page.
    const bool cancelled = g_error_matches(error, WEBKIT_NETWORK_ERROR, WEBKIT_NETWORK_ERROR_CANCELLED)
        || g_error_matches(error, WEBKIT_POLICY_ERROR, WEBKIT_POLICY_ERROR_FRAME_LOAD_INTERRUPTED_BY_POLICY_CHANGE);
    failedURI_ = cancelled || !uri ? "" : uri;
}

// The engine reports a page's title separately from the load, often after it finished;
// a page may also change its title later. A non-empty title is taken at once; the
// host-name fallback is for finished loads only.
void Tab::titleChanged()
{
    const char* title = webkit_web_view_get_title(webView_.get());
    if (!title || !*title || title_ == title)
        return;
    title_ = title;
    delegate_.tabTitleDidChange(*this);
}

// The engine changes the address together with its loading state, so an address that
// changes while nothing loads is a navigation inside the page.
void Tab::uriChanged()
{
    // A failed load also puts the shown page's address back without loading.
    if (webkit_web_view_is_loading(webView_.get()) || uri().empty() || uri() == committedURI_)
        return;
    committedURI_ = uri();
    delegate_.tabDidNavigateWithinPage(*this);
}

void Tab::faviconChanged()
{
    setIcon(webkit_web_view_get_favicon(webView_.get()));
}

} // namespace quillmere
