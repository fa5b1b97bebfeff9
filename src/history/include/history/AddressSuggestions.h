// The list under the address field while the user types: a first line that searches for
// the text, then pages from history that contain every typed word. It lives in a popover,
// so the field's own icons stay free. Up and Down move the selection, Enter opens it,
// Escape closes the list, a click opens a line; with nothing selected Enter is the field's
// own. The owner hears what was chosen through onOpen and onSearch.
#pragma once

#include "history/HistoryStore.h"

#include <gtkmm/entry.h>
#include <gtkmm/eventcontrollerkey.h>
#include <gtkmm/gestureclick.h>
#include <gtkmm/listbox.h>
#include <gtkmm/popover.h>
#include <gtkmm/window.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

class AddressSuggestions {
public:
    AddressSuggestions(Gtk::Entry& field, std::shared_ptr<HistoryStore> history);
    ~AddressSuggestions();
    AddressSuggestions(const AddressSuggestions&) = delete;
    AddressSuggestions& operator=(const AddressSuggestions&) = delete;

    std::function<void(const std::string& uri)> onOpen;
    std::function<void(const std::string& text)> onSearch;

    // Puts the program's own text in the field: no suggestions for it.
    void setFieldText(const std::string& text);
    void hide();

    bool shown() const { return popover_.get_visible(); }
    // The lines shown: "Search for "<text>"" first, then page titles (or addresses).
    std::vector<std::string> lines() const;
    int selected() const;
    Gtk::ListBox& list() { return list_; }
    // The text the lines shown are for.
    const std::string& query() const { return shownFor_; }

private:
    struct Line {
        std::string uri; // empty for the search line
        std::string label;
    };

    void textChanged();
    bool fieldHasFocus() const;
    void watchWindow();
    // The line under the pointer, or -1.
    int lineUnderPointer(const Glib::RefPtr<Gdk::Device>& pointer);
    void show(const std::string& text, const std::vector<HistoryPage>& pages);
    bool keyPressed(guint keyval);
    void select(int index);
    void choose(int index);

    Gtk::Entry& field_;
    std::shared_ptr<HistoryStore> history_;
    Gtk::Popover popover_;
    Gtk::ListBox list_;
    std::vector<Line> lines_;
    std::string shownFor_;
    bool quiet_ = false; // the program is writing the field
    std::vector<sigc::connection> fieldConnections_;
    Glib::RefPtr<Gtk::EventControllerKey> keys_;
    Gtk::Window* watched_ = nullptr;
    Glib::RefPtr<Gtk::GestureClick> windowClick_;
    std::vector<sigc::connection> windowConnections_;
    int pressedLine_ = -1;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillmere
