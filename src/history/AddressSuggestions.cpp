#include "history/AddressSuggestions.h"

#include "history/SiteIcons.h"

#include <gtkmm/box.h>
#include <gtkmm/eventcontrollerkey.h>
#include <gtkmm/gestureclick.h>
#include <gtkmm/image.h>
#include <gtkmm/label.h>
#include <gtkmm/root.h>

#include <utility>

namespace quillmere {

namespace {

std::string trimmed(const std::string& text)
{
    const size_t first = text.find_first_not_of(" \t");
    if (first == std::string::npos)
        return "";
    return text.substr(first, text.find_last_not_of(" \t") - first + 1);
}

Gtk::Label* lineLabel(const std::string& text, const char* cssClass)
{
    auto* label = Gtk::make_managed<Gtk::Label>(text);
    label->set_xalign(0);
    label->set_ellipsize(Pango::EllipsizeMode::END);
    label->set_single_line_mode(true);
    label->add_css_class(cssClass);
    return label;
}

} // namespace

AddressSuggestions::AddressSuggestions(Gtk::Entry& field, std::shared_ptr<HistoryStore> history)
    : field_(field)
    , history_(std::move(history))
{
    popover_.add_css_class("address-suggestions");
    popover_.set_parent(field_);
    popover_.set_position(Gtk::PositionType::BOTTOM);
    popover_.set_has_arrow(false);
    // The field keeps the keyboard while the list is open.
    popover_.set_autohide(false);
    popover_.set_can_focus(false);
    list_.set_selection_mode(Gtk::SelectionMode::SINGLE);
    list_.set_can_focus(false);
    list_.set_activate_on_single_click(true);
    popover_.set_child(list_);

    list_.signal_row_activated().connect([this](Gtk::ListBoxRow* row) { choose(row->get_index()); });
    fieldConnections_ = {
        field_.signal_changed().connect(sigc::mem_fun(*this, &AddressSuggestions::textChanged)),
        field_.signal_activate().connect([this] { hide(); }, false),
    };

    // Ahead of the field's own handling, so that Enter on a chosen line is not also the
    // field's Enter.
    keys_ = Gtk::EventControllerKey::create();
    keys_->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    keys_->signal_key_pressed().connect(
        [this](guint keyval, guint, Gdk::ModifierType) { return keyPressed(keyval); }, false);
    field_.add_controller(keys_);
}

AddressSuggestions::~AddressSuggestions()
{
    *alive_ = false;
    // The field and the window may outlive the list a moment.
    for (auto& connection : fieldConnections_)
        connection.disconnect();
    for (auto& connection : windowConnections_)
        connection.disconnect();
    field_.remove_controller(keys_);
    if (watched_ && windowClick_)
        watched_->remove_controller(windowClick_);
    popover_.unparent();
}

void AddressSuggestions::setFieldText(const std::string& text)
{
    quiet_ = true;
    field_.set_text(text);
    quiet_ = false;
    hide();
}

void AddressSuggestions::hide()
{
    shownFor_.clear();
    if (popover_.get_visible())
        popover_.popdown();
}

void AddressSuggestions::textChanged()
{
    if (quiet_)
        return;
    const std::string text = trimmed(field_.get_text());
    if (text.empty()) {
        hide();
        return;
    }
    std::weak_ptr<bool> alive = alive_;
    history_->suggest(text, [this, alive, text](std::vector<HistoryPage> pages) {
        // The field may have changed since, or the owner gone.
        if (alive.expired() || trimmed(field_.get_text()) != text || !fieldHasFocus())
            return;
        show(text, pages);
    });
}

bool AddressSuggestions::fieldHasFocus() const
{
    const Gtk::Root* root = field_.get_root();
    const Gtk::Widget* focus = root ? root->get_focus() : nullptr;
    return focus && (focus == &field_ || focus->is_ancestor(field_));
}

void AddressSuggestions::show(const std::string& text, const std::vector<HistoryPage>& pages)
{
    while (Gtk::Widget* row = list_.get_first_child())
        list_.remove(*row);
    lines_.clear();
    lines_.push_back({"", "Search for \"" + text + "\""});
    for (const auto& page : pages)
        lines_.push_back({page.uri, page.title.empty() ? page.uri : page.title});

    for (const auto& line : lines_) {
        auto* row = Gtk::make_managed<Gtk::Box>(Gtk::Orientation::HORIZONTAL, 8);
        row->add_css_class("suggestion");
        auto* icon = Gtk::make_managed<Gtk::Image>();
        icon->set_pixel_size(16);
        icon->add_css_class("suggestion-icon");
        row->append(*icon);
        if (line.uri.empty()) {
            icon->set_from_icon_name("system-search-symbolic");
            row->append(*lineLabel(line.label, "suggestion-title"));
        } else {
            SiteIcons::showIn(icon->gobj(), line.uri);
            auto* title = lineLabel(line.label, "suggestion-title");
            title->set_hexpand(true);
            row->append(*title);
            auto* address = lineLabel(line.uri, "suggestion-address");
            address->set_max_width_chars(40);
            row->append(*address);
        }
        list_.append(*row);
    }
    for (Gtk::Widget* row = list_.get_first_child(); row; row = row->get_next_sibling())
        row->set_can_focus(false);
    list_.unselect_all();
    shownFor_ = text;
    popover_.set_size_request(std::max(field_.get_width(), 200), -1);
    watchWindow();
    if (!popover_.get_visible())
        popover_.popup();
}

// The list closes when the keyboard moves to another part of the window or the window
// loses it. A click into the list leaves the window without a focus widget for a
// moment; that is not a move.
void AddressSuggestions::watchWindow()
{
    auto* window = dynamic_cast<Gtk::Window*>(field_.get_root());
    if (!window || window == watched_)
        return;
    for (auto& connection : windowConnections_)
        connection.disconnect();
    if (watched_ && windowClick_)
        watched_->remove_controller(windowClick_);
    watched_ = window;
    // On X11, GTK hands a press on a popover that does not grab to the window below it
    // once the pointer has moved in that window; such a press on a line still chooses it.
    auto click = windowClick_ = Gtk::GestureClick::create();
    click->set_propagation_phase(Gtk::PropagationPhase::CAPTURE);
    click->signal_pressed().connect([this, gesture = click.get()](int, double, double) {
        pressedLine_ = lineUnderPointer(gesture->get_device());
        if (pressedLine_ >= 0)
            gesture->set_state(Gtk::EventSequenceState::CLAIMED);
    });
    click->signal_released().connect([this, gesture = click.get()](int, double, double) {
        const int line = std::exchange(pressedLine_, -1);
        if (line >= 0 && line == lineUnderPointer(gesture->get_device()))
            choose(line);
    });
    window->add_controller(click);
    windowConnections_ = {
        window->property_focus_widget().signal_changed().connect([this] {
            const Gtk::Widget* focus = watched_->get_focus();
            if (focus && focus != &field_ && !focus->is_ancestor(field_))
                hide();
        }),
        window->property_is_active().signal_changed().connect([this] {
            if (!watched_->is_active())
                hide();
        }),
    };
}

int AddressSuggestions::lineUnderPointer(const Glib::RefPtr<Gdk::Device>& pointer)
{
    if (!popover_.get_visible() || !pointer || !popover_.get_surface())
        return -1;
    // The press says nothing reliable about where it was; the pointer does.
    double x = 0, y = 0, originX = 0, originY = 0;
    if (!gdk_surface_get_device_position(popover_.get_surface()->gobj(), pointer->gobj(), &x, &y, nullptr))
        return -1;
    gtk_native_get_surface_transform(GTK_NATIVE(popover_.gobj()), &originX, &originY);
    for (Gtk::Widget* hit = popover_.pick(x - originX, y - originY); hit && hit != &popover_; hit = hit->get_parent())
        if (auto* row = dynamic_cast<Gtk::ListBoxRow*>(hit))
            return row->get_index();
    return -1;
}

std::vector<std::string> AddressSuggestions::lines() const
{
    std::vector<std::string> labels;
    if (popover_.get_visible())
        for (const auto& line : lines_)
            labels.push_back(line.label);
    return labels;
}

int AddressSuggestions::selected() const
{
    const Gtk::ListBoxRow* row = list_.get_selected_row();
    return row ? row->get_index() : -1;
}

bool AddressSuggestions::keyPressed(guint keyval)
{
    if (!popover_.get_visible())
        return false;
    const int count = static_cast<int>(lines_.size());
    switch (keyval) {
    case GDK_KEY_Down:
    case GDK_KEY_KP_Down:
        select(selected() + 1 < count ? selected() + 1 : count - 1);
        return true;
    case GDK_KEY_Up:
    case GDK_KEY_KP_Up:
        select(selected() - 1);
        return true;
    case GDK_KEY_Return:
    case GDK_KEY_KP_Enter:
    case GDK_KEY_ISO_Enter:
        if (selected() < 0) {
            hide();
            return false; // the field's own Enter
        }
        choose(selected());
        return true;
    case GDK_KEY_Escape:
        hide();
        return true;
    default:
        return false;
    }
}

void AddressSuggestions::select(int index)
{
    if (index < 0) {
        list_.unselect_all();
        return;
    }
    if (Gtk::ListBoxRow* row = list_.get_row_at_index(index))
        list_.select_row(*row);
}

void AddressSuggestions::choose(int index)
{
    if (index < 0 || index >= static_cast<int>(lines_.size()))
        return;
    const Line line = lines_[index];
    const std::string text = shownFor_;
    hide();
    if (line.uri.empty()) {
        if (onSearch)
            onSearch(text);
    } else if (onOpen) {
        onOpen(line.uri);
    }
}

} // namespace quillmere
