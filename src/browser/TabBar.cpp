#include "browser/TabBar.h"

#include "platform/Accessibility.h"

#include <gtkmm/eventcontrollerscroll.h>
#include <gtkmm/gestureclick.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/layoutmanager.h>
#include <gtkmm/overlay.h>
#include <gtkmm/snapshot.h>

#include <algorithm>

namespace quillmere {

namespace {
constexpr int kStripPadding = 40;
constexpr int kMinTabWidth = 90;
constexpr int kMaxTabWidth = 180;
constexpr int kCloseButtonSize = 16;
constexpr int kNewTabButtonWidth = 28;
constexpr double kPixelsPerScrollStep = 60;
} // namespace

// Places the boxes side by side from x 4, each one slot wide minus a 4-pixel gap and
// 8 pixels shorter than the strip, and the "+" button 4 pixels after the last slot.
// The strip never asks for more width than it gets. When the boxes no longer fit at
// their narrowest, "+" stays at the right end and the boxes scroll in the space before
// it, so that every tab can be reached.
class TabBar::Layout : public Gtk::LayoutManager {
public:
    explicit Layout(TabBar& bar)
        : Glib::ObjectBase("QuillmereTabStripLayout")
        , bar_(bar)
    {
    }

protected:
    void measure_vfunc(const Gtk::Widget&, Gtk::Orientation orientation, int, int& minimum, int& natural,
        int& minimumBaseline, int& naturalBaseline) const override
    {
        minimum = 0;
        natural = orientation == Gtk::Orientation::HORIZONTAL ? 0 : 34;
        minimumBaseline = naturalBaseline = -1;
    }

    void allocate_vfunc(const Gtk::Widget&, int width, int height, int) override
    {
        const auto& boxes = bar_.tabButtons_;
        const int count = static_cast<int>(boxes.size());
        const int slot = count ? TabBar::tabWidth(width, count) : 0;
        bar_.overflowing_ = 8 + count * slot + kNewTabButtonWidth + 4 > width;
        bar_.tabsRight_ = bar_.overflowing_ ? width - kNewTabButtonWidth - 12 : width;
        bar_.scrollRange_ = std::max(0, 4 + count * slot - bar_.tabsRight_);
        if (bar_.revealIndex_ >= 0 && bar_.revealIndex_ < count) {
            const int left = 4 + bar_.revealIndex_ * slot, right = left + slot;
            if (left - 4 < bar_.scrollOffset_)
                bar_.scrollOffset_ = left - 4;
            else if (right > bar_.scrollOffset_ + bar_.tabsRight_)
                bar_.scrollOffset_ = right - bar_.tabsRight_;
        }
        bar_.revealIndex_ = -1;
        bar_.scrollOffset_ = std::clamp(bar_.scrollOffset_, 0, bar_.scrollRange_);
        int x = 4 - bar_.scrollOffset_;
        for (Gtk::Widget* box : boxes) {
            place(*box, x, 4, slot - 4, height - 8);
            x += slot;
        }
        const int newTabX = bar_.overflowing_ ? bar_.tabsRight_ + 4 : 8 + count * slot;
        place(bar_.newTabButton_, newTabX, 6, kNewTabButtonWidth, height - 12);
    }

private:
    static void place(Gtk::Widget& child, int x, int y, int width, int height)
    {
        int minimum = 0, natural = 0, ignored = 0;
        child.measure(Gtk::Orientation::HORIZONTAL, -1, minimum, natural, ignored, ignored);
        child.measure(Gtk::Orientation::VERTICAL, width, minimum, natural, ignored, ignored);
        child.size_allocate(Gtk::Allocation(x, y, std::max(width, 0), std::max(height, 0)), -1);
    }

    TabBar& bar_;
};

TabBar::TabBar()
    : newTabButton_("+")
{
    add_css_class("tab-strip");
    set_overflow(Gtk::Overflow::HIDDEN);
    set_layout_manager(Glib::make_refptr_for_instance(new Layout(*this)));
    newTabButton_.add_css_class("new-tab-button");
    newTabButton_.set_tooltip_text("New Tab");
    setAccessibleName(newTabButton_, "New Tab");
    newTabButton_.set_focus_on_click(false);
    newTabButton_.signal_clicked().connect(sigc::mem_fun(*this, &TabBar::newTabTapped));
    append(newTabButton_);

    auto wheel = Gtk::EventControllerScroll::create();
    wheel->set_flags(Gtk::EventControllerScroll::Flags::BOTH_AXES);
    wheel->signal_scroll().connect(
        [this](double dx, double dy) {
            scrollBy(static_cast<int>((dx + dy) * kPixelsPerScrollStep));
            return true;
        },
        false);
    add_controller(wheel);
}

void TabBar::scrollBy(int pixels)
{
    const int offset = std::clamp(scrollOffset_ + pixels, 0, scrollRange_);
    if (offset == scrollOffset_)
        return;
    scrollOffset_ = offset;
    queue_allocate();
}

// Boxes scrolled under "+" or past the strip's start are cut at the edge of their area.
void TabBar::snapshot_vfunc(const Glib::RefPtr<Gtk::Snapshot>& snapshot)
{
    snapshot->push_clip(Gdk::Rectangle(0, 0, tabsRight_, get_height()));
    for (Gtk::Widget* box : tabButtons_)
        snapshot_child(*box, snapshot);
    snapshot->pop();
    snapshot_child(newTabButton_, snapshot);
}

TabBar::~TabBar() = default;

int TabBar::tabWidth(int stripWidth, int count)
{
    if (count <= 0)
        return 0;
    return std::clamp((stripWidth - kStripPadding) / count, kMinTabWidth, kMaxTabWidth);
}

void TabBar::rebuild(const std::vector<std::string>& titles, int activeIndex, const std::vector<GdkTexture*>& icons)
{
    // Boxes are kept and relabelled where a tab is still in the same place, so a title
    // update does not replace the widget under the pointer.
    while (tabButtons_.size() > titles.size()) {
        remove(*tabButtons_.back());
        tabButtons_.pop_back();
    }
    while (tabButtons_.size() < titles.size())
        addBox(static_cast<int>(tabButtons_.size()));
    // A newly active tab, or one that moved, is scrolled into view; a title change
    // leaves the strip where the user scrolled it.
    if (activeIndex != shownActive_ || titles.size() != shownCount_)
        revealIndex_ = activeIndex;
    shownActive_ = activeIndex;
    shownCount_ = titles.size();

    for (size_t i = 0; i < titles.size(); ++i) {
        auto* box = static_cast<Gtk::Overlay*>(tabButtons_[i]);
        if (static_cast<int>(i) == activeIndex)
            box->add_css_class("active");
        else
            box->remove_css_class("active");
        auto* title = static_cast<Gtk::Button*>(box->get_child());
        auto* label = static_cast<Gtk::Label*>(title->get_child());
        setAccessibleSelected(*title, static_cast<int>(i) == activeIndex);
        if (label->get_text().raw() != titles[i]) {
            label->set_text(titles[i]);
            title->set_tooltip_text(titles[i]);
            setAccessibleName(*title, titles[i]);
            setAccessibleName(*box, titles[i]);
            setAccessibleName(*box->get_last_child(), "Close " + titles[i]);
        }
        // The icon sits over the start of the title button, whose text moves over for it.
        auto* icon = static_cast<Gtk::Image*>(title->get_next_sibling());
        GdkTexture* texture = i < icons.size() ? icons[i] : nullptr;
        if (texture)
            gtk_image_set_from_paintable(icon->gobj(), GDK_PAINTABLE(texture));
        else
            icon->clear();
        icon->set_visible(texture != nullptr);
        if (texture)
            title->add_css_class("with-icon");
        else
            title->remove_css_class("with-icon");
    }
    queue_allocate();
}

void TabBar::addBox(int index)
{
    auto* box = Gtk::make_managed<Gtk::Overlay>();
    box->add_css_class("tab-box");

    // A page tab to screen readers; the role can only be given at construction.
    auto* title = Gtk::manage(
        Glib::wrap(GTK_BUTTON(g_object_new(GTK_TYPE_BUTTON, "accessible-role", GTK_ACCESSIBLE_ROLE_TAB, nullptr))));
    auto* label = Gtk::make_managed<Gtk::Label>();
    label->set_ellipsize(Pango::EllipsizeMode::END);
    label->set_xalign(0);
    label->set_single_line_mode(true);
    title->set_child(*label);
    title->add_css_class("tab-title");
    title->set_focus_on_click(false);
    title->signal_clicked().connect([this, index] { tabTapped(index); });
    box->set_child(*title);

    auto* icon = Gtk::make_managed<Gtk::Image>();
    icon->add_css_class("tab-icon");
    icon->set_pixel_size(16);
    icon->set_halign(Gtk::Align::START);
    icon->set_valign(Gtk::Align::CENTER);
    icon->set_margin_start(8);
    icon->set_can_target(false); // clicks on it are the title's
    icon->set_visible(false);
    box->add_overlay(*icon);

    // Added after the title button, so it lies over the title's right end.
    auto* close = Gtk::make_managed<Gtk::Button>("✕");
    close->add_css_class("tab-close");
    close->set_focus_on_click(false);
    close->set_size_request(kCloseButtonSize, kCloseButtonSize);
    close->set_halign(Gtk::Align::END);
    close->set_valign(Gtk::Align::CENTER);
    close->set_margin_end(4);
    close->signal_clicked().connect([this, index] { closeTapped(index); });
    box->add_overlay(*close);
    // A middle click anywhere on the box closes the tab.
    auto middle = Gtk::GestureClick::create();
    middle->set_button(GDK_BUTTON_MIDDLE);
    middle->signal_released().connect([this, index](int, double, double) { closeTapped(index); });
    box->add_controller(middle);

    if (tabButtons_.empty())
        prepend(*box);
    else
        insert_child_after(*box, *tabButtons_.back());
    tabButtons_.push_back(box);
}

GdkPaintable* TabBar::iconOf(int index) const
{
    if (index < 0 || index >= static_cast<int>(tabButtons_.size()))
        return nullptr;
    auto* box = static_cast<Gtk::Overlay*>(tabButtons_[index]);
    auto* icon = static_cast<Gtk::Image*>(box->get_child()->get_next_sibling());
    return icon->get_visible() ? gtk_image_get_paintable(const_cast<GtkImage*>(icon->gobj())) : nullptr;
}

void TabBar::tabTapped(int index)
{
    if (auto delegate = delegate_.lock())
        delegate->switchToTab(index);
}

void TabBar::closeTapped(int index)
{
    if (auto delegate = delegate_.lock())
        delegate->closeTab(index);
}

void TabBar::newTabTapped()
{
    if (auto delegate = delegate_.lock())
        delegate->openNewTabFromStrip();
}

} // namespace quillmere
