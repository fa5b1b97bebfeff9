#include "browser/Tab.h"

#include "browser/FindBar.h"
#include "browser/QuestionBar.h"
#include "platform/Accessibility.h"
#include "platform/Url.h"
#include "platform/Uuid.h"

#include <glibmm/main.h>
#include <gtkmm/box.h>
#include <gtkmm/widget.h>
#include <sigc++/adaptors/track_obj.h>

#include <algorithm>
#include <climits>

namespace quillmere {

namespace {

// Downloads a page starts closer together than this are asked for.
constexpr gint64 kDownloadBurstMicroseconds = 5 * G_USEC_PER_SEC;
// Decisions remembered per tab, enough for a page's frames and redirects.
constexpr std::size_t kRememberedDecisions = 64;

GQuark tabQuark()
{
    static const GQuark quark = g_quark_from_static_string("quillmere-tab");
    return quark;
}

} // namespace

Tab::Tab(TabDelegate& delegate, GObjectPtr<WebKitWebView> view)
    : delegate_(delegate)
    , id_(newUUID())
    , bars_(std::make_unique<Gtk::Box>(Gtk::Orientation::VERTICAL))
{
    bars_->add_css_class("tab-bars");
    setWebView(std::move(view));
}

Tab::~Tab()
{
    // The engine may keep the view a moment longer; nothing of it reaches us after this.
    disconnect();
    dropQuestions();
    if (auto* parent = dynamic_cast<Gtk::Box*>(bars_->get_parent()))
        parent->remove(*bars_);
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
    setTitle(title_);
    connect();
}

void Tab::setTitle(const std::string& title)
{
    title_ = title;
    if (widget_)
        setAccessibleName(*widget_, title_);
}

QuestionBar* Tab::ask(const std::string& text, std::function<void(std::optional<bool>)> answer)
{
    auto* bar = Gtk::make_managed<QuestionBar>(text);
    bars_->prepend(*bar);
    questions_.push_back({bar, std::move(answer)});
    bar->onAnswer = [this, bar](bool allowed) {
        auto found = std::find_if(questions_.begin(), questions_.end(), [bar](auto& q) { return q.bar == bar; });
        if (found == questions_.end())
            return;
        auto answer = std::move(found->answer);
        questions_.erase(found);
        // The bar goes once its button's click is over.
        bar->set_visible(false);
        Glib::signal_idle().connect_once(
            sigc::track_object([bars = bars_.get(), bar] { bars->remove(*bar); }, *bars_));
        answer(allowed);
    };
    return bar;
}

void Tab::withdraw(const QuestionBar* bar)
{
    auto found = std::find_if(questions_.begin(), questions_.end(), [bar](auto& q) { return q.bar == bar; });
    if (found == questions_.end())
        return;
    found->bar->onAnswer = nullptr;
    bars_->remove(*found->bar);
    questions_.erase(found);
}

std::vector<QuestionBar*> Tab::questions() const
{
    std::vector<QuestionBar*> bars;
    for (const auto& question : questions_)
        bars.push_back(question.bar);
    return bars;
}

void Tab::dropQuestions()
{
    auto dropped = std::move(questions_);
    questions_.clear();
    for (auto& question : dropped) {
        question.bar->onAnswer = nullptr;
        bars_->remove(*question.bar);
        question.answer(std::nullopt);
    }
}

bool Tab::downloadNeedsAsking(const std::string& uri)
{
    auto gesture = gestureByURI_.find(uri);
    auto mainFrame = mainFrameByURI_.find(uri);
    const gint64 now = g_get_monotonic_time();
    const bool burst = lastDownload_ != 0 && now - lastDownload_ < kDownloadBurstMicroseconds;
    lastDownload_ = now;
    return burst || gesture == gestureByURI_.end() || !gesture->second || mainFrame == mainFrameByURI_.end()
        || !mainFrame->second;
}

void Tab::recordPolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type)
{
    if (gestureByURI_.size() > kRememberedDecisions)
        gestureByURI_.clear();
    if (mainFrameByURI_.size() > kRememberedDecisions)
        mainFrameByURI_.clear();
    if (type == WEBKIT_POLICY_DECISION_TYPE_RESPONSE) {
        auto* response = WEBKIT_RESPONSE_POLICY_DECISION(decision);
        const bool main = webkit_response_policy_decision_is_main_frame_main_resource(response);
        if (const char* uri = webkit_uri_request_get_uri(webkit_response_policy_decision_get_request(response)))
            mainFrameByURI_[uri] = main;
        if (const char* uri = webkit_uri_response_get_uri(webkit_response_policy_decision_get_response(response)))
            mainFrameByURI_[uri] = main;
        return;
    }
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    if (const char* uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action))) {
        // A redirect keeps the gesture of the navigation it continues.
        const bool gesture = webkit_navigation_action_is_user_gesture(action)
            || (webkit_navigation_action_is_redirect(action) && !gestureByURI_.empty() && lastGesture_);
        gestureByURI_[uri] = gesture;
        lastGesture_ = gesture;
    }
}

FindBar& Tab::findBar()
{
    if (!findBar_) {
        findBar_ = Gtk::make_managed<FindBar>(webView_.get());
        bars_->append(*findBar_);
    }
    return *findBar_;
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
    // window.print(): our dialog instead of the engine's, which would block the main loop.
    on("print", G_CALLBACK(+[](WebKitWebView* view, WebKitPrintOperation* operation, Tab* tab) {
        tab->printer_.print(view, retain(operation));
        return TRUE;
    }));
    on("close", G_CALLBACK(+[](WebKitWebView*, Tab* tab) { tab->delegate_.tabWantsToClose(*tab); }));
    on("permission-request", G_CALLBACK(+[](WebKitWebView*, WebKitPermissionRequest* request, Tab* tab) {
        tab->delegate_.tabWantsPermission(*tab, request);
        return TRUE;
    }));
    on("query-permission-state", G_CALLBACK(+[](WebKitWebView*, WebKitPermissionStateQuery* query, Tab* tab) {
        return gboolean(tab->delegate_.tabQueriesPermission(*tab, query));
    }));
    on("show-notification", G_CALLBACK(+[](WebKitWebView*, WebKitNotification* notification, Tab* tab) {
        tab->delegate_.tabShowsNotification(*tab, notification);
        return TRUE;
    }));
    on("insecure-content-detected", G_CALLBACK(+[](WebKitWebView*, WebKitInsecureContentEvent, Tab* tab) {
        tab->insecureContent_ = true;
        tab->delegate_.tabSecurityDidChange(*tab);
    }));
    // The engine makes the window full screen itself; the window hides its controls.
    on("enter-fullscreen", G_CALLBACK(+[](WebKitWebView*, Tab* tab) {
        tab->delegate_.tabDidChangeFullscreen(*tab, true);
        return FALSE;
    }));
    on("leave-fullscreen", G_CALLBACK(+[](WebKitWebView*, Tab* tab) {
        tab->delegate_.tabDidChangeFullscreen(*tab, false);
        return FALSE;
    }));
    on("decide-policy",
        G_CALLBACK(+[](WebKitWebView*, WebKitPolicyDecision* decision, WebKitPolicyDecisionType type, Tab* tab) {
            return tab->decidePolicy(decision, type);
        }));
}

void Tab::print()
{
    if (webView_)
        printer_.print(webView_.get());
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

void Tab::setFrameBlockedCount(std::uint64_t frame, std::int64_t count)
{
    blockedByFrame_[frame] = count;
    std::int64_t sum = 0;
    for (const auto& [id, total] : blockedByFrame_)
        sum = total > INT64_MAX - sum ? INT64_MAX : sum + total;
    blockedCount_ = sum;
}

void Tab::loadChanged(WebKitLoadEvent event)
{
    if (event == WEBKIT_LOAD_STARTED) {
        blockedCount_ = 0;
        blockedByFrame_.clear();
        loadFailed_ = false;
        showingInternalPage_ = internalPageNext_;
        internalPageNext_ = false;
        // The engine follows a failed load with its error page for the same address.
        showingErrorPage_ = !failedURI_.empty() && failedURI_ == uri();
        failedURI_.clear();
        delegate_.tabDidStartLoading(*this);
    } else if (event == WEBKIT_LOAD_COMMITTED) {
        committedURI_ = uri();
        untitledVisits_.clear();
        // What the old page asked goes with it.
        dropQuestions();
        lastDownload_ = 0;
        insecureContent_ = false;
        delegate_.tabSecurityDidChange(*this);
        delegate_.tabDidCommitLoad(*this);
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
            setTitle(title && *title ? std::string(title) : !host.empty() ? host : std::string("New Tab"));
        }
        delegate_.tabDidFinishLoading(*this, outcome);
    }
}

// A link clicked with the middle button or with Control opens in a new tab behind this
// one, as in other browsers.
gboolean Tab::decidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type)
{
    // The engine's own decisions stand; downloads are matched against them later.
    recordPolicy(decision, type);
    if (type != WEBKIT_POLICY_DECISION_TYPE_NAVIGATION_ACTION && type != WEBKIT_POLICY_DECISION_TYPE_NEW_WINDOW_ACTION)
        return FALSE;
    WebKitNavigationAction* action =
        webkit_navigation_policy_decision_get_navigation_action(WEBKIT_NAVIGATION_POLICY_DECISION(decision));
    if (webkit_navigation_action_get_navigation_type(action) != WEBKIT_NAVIGATION_TYPE_LINK_CLICKED)
        return FALSE;
    const bool middle = webkit_navigation_action_get_mouse_button(action) == 2;
    const bool control = webkit_navigation_action_get_modifiers(action) & GDK_CONTROL_MASK;
    if (!middle && !control)
        return FALSE;
    const std::string uri = webkit_uri_request_get_uri(webkit_navigation_action_get_request(action));
    webkit_policy_decision_ignore(decision);
    delegate_.tabWantsBackgroundTab(*this, uri);
    return TRUE;
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
    setTitle(title);
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
