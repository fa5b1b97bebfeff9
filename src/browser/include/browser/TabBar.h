// The strip of tabs across the top of the browser window: one rounded box per tab
// with its site's icon, its title and a close button, then a "+" button. It holds no tab state: the
// owner hands it the titles with rebuild(), and it reports clicks by tab index.
#pragma once

#include <gtkmm/box.h>
#include <gtkmm/button.h>

#include <memory>
#include <string>
#include <vector>

namespace quillmere {

class TabBarDelegate {
public:
    virtual ~TabBarDelegate() = default;
    virtual void switchToTab(int index) = 0;
    virtual void closeTab(int index) = 0;
    virtual void openNewTabFromStrip() = 0;
};

class TabBar : public Gtk::Box {
public:
    TabBar();
    ~TabBar() override;

    // The delegate is held weakly: clicks after it is gone do nothing.
    void setDelegate(std::weak_ptr<TabBarDelegate> delegate) { delegate_ = std::move(delegate); }

    // `icons`, when given, holds each tab's site icon (or null), shown before its title.
    void rebuild(const std::vector<std::string>& titles, int activeIndex, const std::vector<GdkTexture*>& icons = {});

    // Width of each tab's slot for `count` tabs in a strip `stripWidth` wide.
    static int tabWidth(int stripWidth, int count);

    // How far the boxes are scrolled, and how far they can be (0 while they all fit).
    int scrollOffset() const { return scrollOffset_; }
    int scrollRange() const { return scrollRange_; }
    void scrollBy(int pixels);

    // The per-tab boxes in tab order, and the "+" button (for layout and tests).
    const std::vector<Gtk::Widget*>& tabButtons() const { return tabButtons_; }
    // The icon shown in the box of tab `index`, or null.
    GdkPaintable* iconOf(int index) const;
    Gtk::Button& newTabButton() { return newTabButton_; }

protected:
    void snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot) override;

private:
    class Layout;

    void addBox(int index);
    void tabTapped(int index);
    void closeTapped(int index);
    void newTabTapped();

    std::weak_ptr<TabBarDelegate> delegate_;
    std::vector<Gtk::Widget*> tabButtons_; // managed by the strip, in tab order
    Gtk::Button newTabButton_;
    bool overflowing_ = false;
    int tabsRight_ = 0; // where the boxes' area ends
    int scrollOffset_ = 0;
    int scrollRange_ = 0;
    int revealIndex_ = -1; // a box to scroll into view at the next layout
    int shownActive_ = -1;
    size_t shownCount_ = 0;
};

} // namespace quillmere
