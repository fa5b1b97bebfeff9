// Opening, closing and switching tabs, and handing their titles to the strip.
#include "browser/BrowserWindowController.h"
#include "devtools/DevToolsPanel.h"
#include "pip/PiPController.h"

#include <algorithm>

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
    return insertTab(std::move(view), static_cast<int>(tabs_.size()), true);
}

Tab& BrowserWindowController::insertTab(GObjectPtr<WebKitWebView> view, int position, bool activate)
{
    position = std::clamp(position, 0, static_cast<int>(tabs_.size()));
    Tab& added = **tabs_.insert(tabs_.begin() + position, std::make_unique<Tab>(*this, std::move(view)));
    placeWebView(added);
    if (activate)
        switchToTab(position);
    else if (position <= activeTabIndex_)
        ++activeTabIndex_;
    refreshTabBar();
    saveSessionSoon();
    return added;
}

void BrowserWindowController::placeWebView(Tab& tab)
{
    Gtk::Widget& widget = *tab.widget();
    widget.set_vexpand(true);
    widget.set_hexpand(true);
    widget.set_visible(false);
    pageArea_.prepend(widget);
}

// Behind the opener, after the tabs already opened from it, and not shown.
void BrowserWindowController::tabWantsBackgroundTab(Tab& opener, const std::string& uri)
{
    int position = indexOfTab(opener) + 1;
    while (position < static_cast<int>(tabs_.size()) && tabs_[position]->openerId() == opener.id())
        ++position;
    Tab& added = insertTab(makeConfiguredWebView(), position, false);
    added.setOpenerId(opener.id());
    loadInView(added.webView(), uri);
}

void BrowserWindowController::closeTab(int index)
{
    if (index < 0 || index >= static_cast<int>(tabs_.size()))
        return;
    if (index == activeTabIndex_)
        endPageFullscreen();
    std::unique_ptr<Tab> closed = std::move(tabs_[index]);
    tabs_.erase(tabs_.begin() + index);
    rememberClosedTab(*closed);
    if (Gtk::Widget* widget = closed->widget())
        pageArea_.remove(*widget);
    closed.reset();

    if (tabs_.empty())
        openNewTab();
    else
        switchToTab(std::min(index, static_cast<int>(tabs_.size()) - 1));
    saveSessionSoon();
}

void BrowserWindowController::switchToTab(int index)
{
    if (index < 0 || index >= static_cast<int>(tabs_.size()))
        return;
    // A page in full screen does not take another tab with it.
    if (index != activeTabIndex_)
        endPageFullscreen();
    for (const auto& tab : tabs_)
        if (Gtk::Widget* widget = tab->widget())
            widget->set_visible(false);
    activeTabIndex_ = index;
    Tab& tab = *tabs_[index];
    // A restored tab gets its page when it is first shown.
    ensureWebView(tab);
    if (Gtk::Widget* shown = barSlot_.get_first_child())
        barSlot_.remove(*shown);
    barSlot_.append(tab.bars());
    if (Gtk::Widget* widget = tab.widget())
        widget->set_visible(true);
    devPanel_->setWebView(tab.webView());
    pipController_->setWebView(tab.webView());

    setBadgeCount(tab.blockedCount());
    showAddress(tab.uri());
    window_->set_title(tab.title().empty() ? "Quillmere" : tab.title());
    showLoadProgress();
    showZoomLevel();
    showSecurityState();
    refreshTabBar();
    saveSessionSoon();
}

void BrowserWindowController::refreshTabBar()
{
    std::vector<std::string> titles;
    std::vector<GdkTexture*> icons;
    titles.reserve(tabs_.size());
    for (const auto& tab : tabs_) {
        titles.push_back(tab->title().empty() ? "New Tab" : tab->title());
        icons.push_back(tab->icon());
    }
    tabBar_->rebuild(titles, activeTabIndex_, icons);
}

Gdk::Rectangle BrowserWindowController::webViewFrame() const
{
    const int panel = devPanelVisible_ ? devPanelHeight : 0;
    const int width = contentView_.get_width();
    const int height = contentView_.get_height();
    return Gdk::Rectangle(0, tabBarHeight + toolbarHeight, width, height - toolbarHeight - tabBarHeight - panel);
}

Tab* BrowserWindowController::activeTab() const
{
    if (activeTabIndex_ < 0 || activeTabIndex_ >= static_cast<int>(tabs_.size()))
        return nullptr;
    return tabs_[activeTabIndex_].get();
}

int BrowserWindowController::indexOfTab(const Tab& tab) const
{
    for (size_t i = 0; i < tabs_.size(); ++i)
        if (tabs_[i].get() == &tab)
            return static_cast<int>(i);
    return -1;
}

} // namespace quillmere
