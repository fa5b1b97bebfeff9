// The window's side of history: the profile database opens with the window, every page
// a tab shows is recorded, and the history window and "Clear History" work from here.
#include "browser/BrowserWindowController.h"

#include "history/HistoryStore.h"
#include "history/HistoryWindow.h"
#include "history/SiteIcons.h"
#include "platform/ProfileDatabase.h"

namespace quillmere {

void BrowserWindowController::startHistory()
{
    // Icons are kept from the first page on.
    SiteIcons::enable();
    profile_ = std::make_shared<ProfileDatabase>(ProfileDatabase::defaultPath());
    history_ = std::make_shared<HistoryStore>(profile_);
}

// What a finished load or a navigation inside the page adds to history: the page's own
// title, not the host name a tab shows for a page without one.
void BrowserWindowController::recordVisit(Tab& tab)
{
    if (tab.showsOwnPage() || !tab.webView())
        return;
    const char* title = webkit_web_view_get_title(tab.webView());
    if (!title || !*title)
        tab.untitledVisits().push_back(tab.uri());
    history_->recordVisit(tab.uri(), title ? title : "");
}

void BrowserWindowController::showHistory()
{
    if (!historyWindow_) {
        historyWindow_ = std::make_unique<HistoryWindow>(history_);
        application_->add_window(*historyWindow_);
        installKeyHandler(*historyWindow_);
        std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
        historyWindow_->onOpen = [weakSelf](const std::string& uri) {
            if (auto self = weakSelf.lock()) {
                self->openNewTab(uri);
                self->window_->present();
            }
        };
        historyWindow_->onClear = [weakSelf] {
            if (auto self = weakSelf.lock())
                self->clearHistory([weakSelf] {
                    if (auto self = weakSelf.lock(); self && self->historyWindow_)
                        self->historyWindow_->reload();
                });
        };
    }
    historyWindow_->present();
}

void BrowserWindowController::clearHistory(std::function<void()> completion)
{
    history_->clear();
    SiteIcons::clear();
    closedTabs_.clear();
    saveSessionSoon();
    profile_->afterWrites(std::move(completion));
}

} // namespace quillmere
