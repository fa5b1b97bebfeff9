// The window's session: at launch the previous session's tabs come back (or, after a
// session kept crashing the browser, a bar offers them); from then on what is open is
// saved shortly after every change, written off the main thread, so that a crash or a
// kill loses at most the last moment. Restored tabs other than the active one get their
// web view only when first shown.
#include "browser/BrowserWindowController.h"

#include "platform/Dispatch.h"
#include "platform/GObjectPtr.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

namespace quillmere {

namespace {

// How long changes gather before the session is written; well under the second a kill
// may lose.
constexpr unsigned kSaveDelayMs = 400;

// The engine's saved state of a view, in Base64.
std::string stateOf(WebKitWebView* view)
{
    WebKitWebViewSessionState* state = webkit_web_view_get_session_state(view);
    if (!state)
        return "";
    BytesPtr bytes(webkit_web_view_session_state_serialize(state));
    webkit_web_view_session_state_unref(state);
    gsize size = 0;
    const auto* data = static_cast<const guchar*>(g_bytes_get_data(bytes.get(), &size));
    return size ? GCharPtr(g_base64_encode(data, size)).get() : "";
}

// Restores the saved back and forward history into a new view; false when the engine
// rejects it (another engine version wrote it) or there is none.
bool restoreState(WebKitWebView* view, const std::string& encoded)
{
    if (encoded.empty())
        return false;
    gsize size = 0;
    GCharPtr data(reinterpret_cast<char*>(g_base64_decode(encoded.c_str(), &size)));
    BytesPtr bytes(g_bytes_new(data.get(), size));
    WebKitWebViewSessionState* state = webkit_web_view_session_state_new(bytes.get());
    if (!state)
        return false;
    webkit_web_view_restore_session_state(view, state);
    webkit_web_view_session_state_unref(state);
    return webkit_back_forward_list_get_current_item(webkit_web_view_get_back_forward_list(view)) != nullptr;
}

} // namespace

void BrowserWindowController::buildRestoreBar()
{
    restoreBar_.add_css_class("restore-bar");
    restoreBar_.set_spacing(8);
    restoreLabel_.set_xalign(0);
    restoreLabel_.set_hexpand(true);
    restoreLabel_.set_wrap(true);
    restoreButton_.add_css_class("restore-button");
    dismissRestoreButton_.add_css_class("restore-dismiss");
    dismissRestoreButton_.set_tooltip_text("Dismiss");
    restoreBar_.append(restoreLabel_);
    restoreBar_.append(restoreButton_);
    restoreBar_.append(dismissRestoreButton_);
    restoreBar_.set_visible(false);
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    restoreButton_.signal_clicked().connect([weakSelf] {
        if (auto self = weakSelf.lock())
            self->restoreOfferedSession();
    });
    dismissRestoreButton_.signal_clicked().connect([weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->offeredSession_.reset();
            self->restoreBar_.set_visible(false);
        }
    });
}

void BrowserWindowController::openFirstTabs()
{
    sessionWriter_ = std::make_unique<SessionWriter>(SessionFile::defaultPath());
    launch_.id = SessionFile::currentLaunchId();
    Session previous;
    if (SessionFile::read(sessionWriter_->path(), previous) == SessionFile::ReadOutcome::Read) {
        // A launch that is still running is one that started us and is about to end (an
        // update's relaunch), not one that crashed.
        const bool stillRunning = previous.launch.id != launch_.id && SessionFile::isRunning(previous.launch.id);
        launch_.crashStreak = SessionFile::crashStreakAfter(previous.launch, stillRunning);
        closedTabs_ = previous.closed;
        if (!previous.tabs.empty() && restoreTabsAtLaunch()) {
            if (!SessionFile::shouldOfferInsteadOfRestoring(launch_.crashStreak)) {
                restoreTabs(previous);
                writeSession(false);
                return;
            }
            quillmereLog.error("The previous %ld launches crashed soon after restoring their tabs; offering them "
                               "instead of restoring",
                launch_.crashStreak);
            offeredSession_ = std::move(previous);
            restoreBar_.set_visible(true);
        }
    }
    openNewTab(homepage());
    writeSession(false);
}

void BrowserWindowController::restoreTabs(const Session& session)
{
    const size_t first = tabs_.size();
    for (const auto& saved : session.tabs) {
        tabs_.push_back(std::make_unique<Tab>(*this, nullptr));
        tabs_.back()->setPendingPage({saved.uri, saved.title, saved.state});
    }
    quillmereLog.info("Restored %ld tab(s) of the previous session", session.tabs.size());
    launch_.restored = true;
    launch_.settled = false;
    // A session that runs this long is no longer suspected of crashing the browser.
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    dispatchAfter(SessionFile::kSettleSeconds * 1000, [weakSelf] {
        if (auto self = weakSelf.lock()) {
            self->launch_.settled = true;
            self->saveSessionSoon();
        }
    });
    switchToTab(static_cast<int>(first) + session.active);
}

void BrowserWindowController::restoreOfferedSession()
{
    restoreBar_.set_visible(false);
    if (!offeredSession_)
        return;
    Session session = std::move(*offeredSession_);
    offeredSession_.reset();
    // The homepage tab opened instead goes, unless the user has used it meanwhile.
    const bool replaceHomepageTab = tabs_.size() == 1 && tabs_[0]->webView()
        && !webkit_web_view_can_go_back(tabs_[0]->webView()) && tabs_[0]->uri() == homepage();
    restoreTabs(session);
    if (replaceHomepageTab) {
        std::unique_ptr<Tab> homepageTab = std::move(tabs_[0]);
        tabs_.erase(tabs_.begin());
        if (Gtk::Widget* widget = homepageTab->widget())
            pageArea_.remove(*widget);
        activeTabIndex_ = std::max(activeTabIndex_ - 1, 0);
        switchToTab(activeTabIndex_);
    }
    saveSessionSoon();
}

void BrowserWindowController::ensureWebView(Tab& tab)
{
    if (tab.webView())
        return;
    auto page = tab.takePendingPage();
    tab.setWebView(makeConfiguredWebView());
    placeWebView(tab);
    WebKitWebView* view = tab.webView();
    if (page && restoreState(view, page->state))
        loadInView(view, "");
    else
        loadInView(view, page && !page->uri.empty() ? page->uri : homepage());
}

void BrowserWindowController::rememberClosedTab(const Tab& tab)
{
    const std::string uri = tab.uri();
    if (uri.empty())
        return;
    closedTabs_.push_back({uri, tab.title(),
        tab.webView()           ? stateOf(tab.webView())
            : tab.pendingPage() ? tab.pendingPage()->state
                                : ""});
    if (closedTabs_.size() > SessionFile::kMaxClosedTabs)
        closedTabs_.erase(closedTabs_.begin());
}

void BrowserWindowController::reopenClosedTab()
{
    if (closedTabs_.empty())
        return;
    SavedTab saved = std::move(closedTabs_.back());
    closedTabs_.pop_back();
    tabs_.push_back(std::make_unique<Tab>(*this, nullptr));
    tabs_.back()->setPendingPage({saved.uri, saved.title, saved.state});
    switchToTab(static_cast<int>(tabs_.size()) - 1);
}

Session BrowserWindowController::currentSession() const
{
    Session session;
    for (const auto& tab : tabs_) {
        SavedTab saved {tab->uri(), tab->title(), ""};
        if (tab->webView())
            saved.state = stateOf(tab->webView());
        else if (tab->pendingPage())
            saved.state = tab->pendingPage()->state;
        session.tabs.push_back(std::move(saved));
    }
    session.active = activeTabIndex_;
    session.closed = closedTabs_;
    session.launch = launch_;
    return session;
}

void BrowserWindowController::saveSessionSoon()
{
    // Before the first tabs are open there is nothing to save, and nothing must be
    // written over the previous session.
    if (sessionSaveScheduled_ || sessionEnded_ || !sessionWriter_)
        return;
    sessionSaveScheduled_ = true;
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    dispatchAfter(kSaveDelayMs, [weakSelf] {
        if (auto self = weakSelf.lock(); self && self->sessionSaveScheduled_)
            self->writeSession(false);
    });
}

void BrowserWindowController::writeSession(bool wait)
{
    sessionSaveScheduled_ = false;
    if (!sessionWriter_)
        return;
    sessionWriter_->save(SessionFile::serialize(currentSession()));
    if (wait)
        sessionWriter_->flush();
}

void BrowserWindowController::saveSessionNow()
{
    if (!sessionEnded_)
        writeSession(true);
}

void BrowserWindowController::sessionDidEnd()
{
    if (sessionEnded_ || !sessionWriter_)
        return;
    sessionEnded_ = true;
    sessionWriter_->flush();
    // After an update's relaunch the new copy owns the file already; leave it to it.
    gchar* contents = nullptr;
    gsize length = 0;
    if (g_file_get_contents(sessionWriter_->path().c_str(), &contents, &length, nullptr)) {
        GCharPtr text(contents);
        auto onDisk = SessionFile::parse(std::string(text.get(), length));
        if (onDisk && onDisk->launch.id != launch_.id && SessionFile::isRunning(onDisk->launch.id))
            return;
    }
    launch_.clean = true;
    writeSession(true);
}

} // namespace quillmere
