// What the window does when something happens in a tab's page: loads starting and
// finishing, load progress, titles, pages opening and closing tabs, and a web process
// that went away.
#include "browser/BrowserWindowController.h"
#include "devtools/DevToolsPanel.h"
#include "history/HistoryStore.h"
#include "platform/Log.h"
#include "platform/Resources.h"

namespace quillmere {

namespace {

std::string replaceAll(std::string text, const std::string& from, const std::string& to)
{
    for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
        text.replace(at, from.size(), to);
    return text;
}

} // namespace

bool BrowserWindowController::isActive(const Tab& tab) const
{
    return activeTab() == &tab;
}

void BrowserWindowController::tabDidStartLoading(Tab& tab)
{
    if (isActive(tab)) {
        devPanel_->clear();
        setBadgeCount(0);
    }
}

void BrowserWindowController::tabDidFinishLoading(Tab& tab, LoadOutcome outcome)
{
    const bool active = isActive(tab);
    if (active)
        showLoadProgress();
    startPendingCompile();
    if (outcome == LoadOutcome::Failed)
        return;
    saveSessionSoon();
    if (outcome == LoadOutcome::Page)
        recordVisit(tab);
    // Never pull the text from under a user who is typing a new address.
    if (active && !tab.uri().empty() && !isEditingAddress())
        showAddress(tab.uri());
    // The engine's error page shows the address that failed, but the failed navigation
    // leaves the tab's title as it was.
    if (outcome == LoadOutcome::ErrorPage)
        return;
    if (active) {
        window_->set_title(tab.title());
        devPanel_->pageDidFinishLoading(tab.webView());
    }
    refreshTabBar();
}

void BrowserWindowController::tabLoadProgressDidChange(Tab& tab)
{
    if (isActive(tab))
        showLoadProgress();
}

void BrowserWindowController::tabTitleDidChange(Tab& tab)
{
    if (isActive(tab))
        window_->set_title(tab.title());
    refreshTabBar();
    if (!tab.showsOwnPage()) {
        history_->updateTitle(tab.committedURI(), tab.title());
        for (const auto& uri : tab.untitledVisits())
            if (uri != tab.committedURI())
                history_->updateTitle(uri, tab.title());
    }
    tab.untitledVisits().clear();
    saveSessionSoon();
}

void BrowserWindowController::tabDidNavigateWithinPage(Tab& tab)
{
    if (isActive(tab) && !isEditingAddress())
        showAddress(tab.uri());
    recordVisit(tab);
    saveSessionSoon();
}

void BrowserWindowController::tabIconDidChange(Tab&)
{
    refreshTabBar();
}

// A page asked for a new window (a link with a target, window.open): it opens as a new
// tab, in the opener's web process so that the two pages can talk, and the engine
// loads it.
WebKitWebView* BrowserWindowController::tabWantsNewTab(Tab& opener)
{
    Tab& added = addTab(makeConfiguredWebView(opener.webView()));
    refreshTabBar();
    return added.webView();
}

void BrowserWindowController::tabWantsToClose(Tab& tab)
{
    closeTab(indexOfTab(tab));
}

void BrowserWindowController::showLoadProgress()
{
    WebKitWebView* view = webView();
    const bool loading = view && webkit_web_view_is_loading(view);
    addressField_.set_progress_fraction(loading ? webkit_web_view_get_estimated_load_progress(view) : 0.0);
}

void BrowserWindowController::tabWebProcessDidTerminate(Tab& tab, WebKitWebProcessTerminationReason reason)
{
    if (reason == WEBKIT_WEB_PROCESS_TERMINATED_BY_API)
        return;
    const std::string address = tab.uri();
    quillmereLog.error("The page of a tab stopped (%{public}s): %{public}s",
        reason == WEBKIT_WEB_PROCESS_EXCEEDED_MEMORY_LIMIT ? "memory limit" : "crash", address);
    g_autofree char* escaped = g_markup_escape_text(address.c_str(), -1);
    const std::string page = replaceAll(resourceText("pages/crashed.html"), "{{ADDRESS}}", escaped);
    tab.willShowInternalPage();
    webkit_web_view_load_alternate_html(tab.webView(), page.c_str(), address.c_str(), nullptr);
}

} // namespace quillmere
