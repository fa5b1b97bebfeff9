// Opening, closing and switching tabs, and handing their titles to the strip.
#include "browser/BrowserWindowController.h"

#include "devtools/DevToolsPanel.h"
#include "pip/PiPController.h"

#include <glibmm/main.h>

namespace quillmere {

Tab& BrowserWindowController::openNewTab(const std::optional<std::string>& url)
{
    Tab& added = addTab(makeConfiguredWebView());
    loadURL(url ? *url : homepage());
    refreshTabBar();
    return added;
}

Tab& BrowserWindowController::addTab(GObjectPtr<WebKitWebView> view)
{
    auto tab = std::make_unique<Tab>();
    tab->webView = std::move(view);
    tab->widget = Glib::wrap(GTK_WIDGET(tab->webView.get()));
    tab->widget->set_vexpand(true);
    tab->widget->set_hexpand(true);
    tab->widget->set_visible(false);
    pageArea_.prepend(*tab->widget);
    connectViewSignals(*tab);

    tabs_.push_back(std::move(tab));
    Tab& added = *tabs_.back();
    switchToTab(static_cast<int>(tabs_.size()) - 1);
    return added;
}

// A page asked for a new window (a link with a target, window.open): it opens as a new
// tab, in the opener's web process so that the two pages can talk, and the engine
// loads it.
WebKitWebView* BrowserWindowController::openTabForPage(WebKitWebView* opener)
{
    if (indexOfTab(opener) < 0)
        return nullptr;
    Tab& added = addTab(makeConfiguredWebView(opener));
    refreshTabBar();
    return added.webView.get();
}

void BrowserWindowController::closeTab(int index)
{
    if (index < 0 || index >= static_cast<int>(tabs_.size()))
        return;
    std::unique_ptr<Tab> closed = std::move(tabs_[index]);
    tabs_.erase(tabs_.begin() + index);
    pageArea_.remove(*closed->widget);
    closed.reset();

    if (tabs_.empty())
        openNewTab();
    else
        switchToTab(std::min(index, static_cast<int>(tabs_.size()) - 1));
}

void BrowserWindowController::switchToTab(int index)
{
    if (index < 0 || index >= static_cast<int>(tabs_.size()))
        return;
    for (const auto& tab : tabs_)
        tab->widget->set_visible(false);
    activeTabIndex_ = index;
    Tab& tab = *tabs_[index];
    tab.widget->set_visible(true);
    devPanel_->setWebView(tab.webView.get());
    pipController_->setWebView(tab.webView.get());

    setBadgeCount(tab.blockedCount);
    const char* uri = webkit_web_view_get_uri(tab.webView.get());
    showAddress(uri ? uri : "");
    window_->set_title(tab.title.empty() ? "Quillmere" : tab.title);
    showLoadProgress();
    refreshTabBar();
}

void BrowserWindowController::refreshTabBar()
{
    std::vector<std::string> titles;
    titles.reserve(tabs_.size());
    for (const auto& tab : tabs_)
        titles.push_back(tab->title.empty() ? "New Tab" : tab->title);
    tabBar_->rebuild(titles, activeTabIndex_);
}

Gdk::Rectangle BrowserWindowController::webViewFrame() const
{
    const int panel = devPanelVisible_ ? devPanelHeight : 0;
    const int width = contentView_.get_width();
    const int height = contentView_.get_height();
    return Gdk::Rectangle(0, tabBarHeight + toolbarHeight, width, height - toolbarHeight - tabBarHeight - panel);
}

int BrowserWindowController::indexOfTab(WebKitWebView* view) const
{
    for (size_t i = 0; i < tabs_.size(); ++i)
        if (tabs_[i]->webView.get() == view)
            return static_cast<int>(i);
    return -1;
}

} // namespace quillmere
