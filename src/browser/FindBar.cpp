#include "browser/FindBar.h"

#include "platform/Accessibility.h"

#include <gdk/gdkkeysyms.h>
#include <gtkmm/eventcontrollerkey.h>

namespace quillmere {

namespace {
constexpr auto kFindOptions =
    static_cast<WebKitFindOptions>(WEBKIT_FIND_OPTIONS_CASE_INSENSITIVE | WEBKIT_FIND_OPTIONS_WRAP_AROUND);
constexpr unsigned kMaxMatches = 100000;
} // namespace

FindBar::FindBar(WebKitWebView* view)
    : Gtk::Box(Gtk::Orientation::HORIZONTAL)
    , view_(retain(view))
    , finder_(retain(webkit_web_view_get_find_controller(view)))
    , previous_("↑")
    , next_("↓")
    , close_("✕")
{
    add_css_class("find-bar");
    set_spacing(4);
    entry_.set_placeholder_text("Find in page");
    entry_.set_size_request(240, -1);
    setAccessibleName(entry_, "Find in page");
    status_.add_css_class("find-status");
    status_.set_size_request(90, -1);
    status_.set_xalign(0);
    nameStatusLabel(status_, "Nothing searched");
    const std::pair<Gtk::Button*, const char*> buttons[] = {
        {&previous_, "Previous match"}, {&next_, "Next match"}, {&close_, "Close find bar"}};
    for (auto [button, name] : buttons) {
        button->set_has_frame(false);
        button->set_focus_on_click(false);
        button->set_tooltip_text(name);
        setAccessibleName(*button, name);
    }
    close_.set_hexpand(true);
    close_.set_halign(Gtk::Align::END);
    append(entry_);
    append(status_);
    append(previous_);
    append(next_);
    append(close_);

    entry_.signal_changed().connect(sigc::mem_fun(*this, &FindBar::search));
    entry_.signal_activate().connect(sigc::mem_fun(*this, &FindBar::findNext));
    previous_.signal_clicked().connect(sigc::mem_fun(*this, &FindBar::findPrevious));
    next_.signal_clicked().connect(sigc::mem_fun(*this, &FindBar::findNext));
    close_.signal_clicked().connect(sigc::mem_fun(*this, &FindBar::close));
    // Shift+Enter goes back; Enter alone is the entry's activate.
    auto keys = Gtk::EventControllerKey::create();
    keys->signal_key_pressed().connect(
        [this](guint keyval, guint, Gdk::ModifierType state) {
            const bool shift = (state & Gdk::ModifierType::SHIFT_MASK) == Gdk::ModifierType::SHIFT_MASK;
            if (shift && (keyval == GDK_KEY_Return || keyval == GDK_KEY_KP_Enter)) {
                findPrevious();
                return true;
            }
            return false;
        },
        false);
    entry_.add_controller(keys);

    handlers_.push_back(g_signal_connect(finder_.get(), "counted-matches",
        G_CALLBACK(+[](WebKitFindController*, guint count, FindBar* bar) {
            bar->matches_ = count;
            bar->showStatus();
        }),
        this));
    handlers_.push_back(
        g_signal_connect(finder_.get(), "failed-to-find-text", G_CALLBACK(+[](WebKitFindController*, FindBar* bar) {
            bar->matches_ = 0;
            bar->showStatus();
        }),
            this));
    set_visible(false);
}

FindBar::~FindBar()
{
    for (gulong handler : handlers_)
        g_signal_handler_disconnect(finder_.get(), handler);
}

void FindBar::open()
{
    set_visible(true);
    entry_.grab_focus();
    entry_.select_region(0, -1);
}

void FindBar::close()
{
    set_visible(false);
    webkit_find_controller_search_finish(finder_.get());
    searched_ = false;
    gtk_widget_grab_focus(GTK_WIDGET(view_.get()));
}

void FindBar::search()
{
    const std::string text = entry_.get_text();
    index_ = 1;
    matches_ = 0;
    if (text.empty()) {
        webkit_find_controller_search_finish(finder_.get());
        searched_ = false;
        status_.set_text("");
        return;
    }
    searched_ = true;
    webkit_find_controller_search(finder_.get(), text.c_str(), kFindOptions, kMaxMatches);
    webkit_find_controller_count_matches(finder_.get(), text.c_str(), kFindOptions, kMaxMatches);
}

void FindBar::findNext()
{
    if (!searched_)
        return search();
    if (!matches_)
        return;
    webkit_find_controller_search_next(finder_.get());
    index_ = index_ % matches_ + 1;
    showStatus();
}

void FindBar::findPrevious()
{
    if (!searched_)
        return search();
    if (!matches_)
        return;
    webkit_find_controller_search_previous(finder_.get());
    index_ = (index_ + matches_ - 2) % matches_ + 1;
    showStatus();
}

void FindBar::showStatus()
{
    if (!searched_)
        status_.set_text("");
    else if (!matches_)
        status_.set_text("No matches");
    else
        status_.set_text(std::to_string(std::min(index_, matches_)) + " of " + std::to_string(matches_));
}

} // namespace quillmere
