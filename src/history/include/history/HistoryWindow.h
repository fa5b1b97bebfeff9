// The history window (Ctrl+H, or "Show History" in the settings): visits newest first
// under a heading per day, a search field, a delete button on every visit and "Clear
// History". Choosing a visit hands its address to onOpen. Older visits are fetched as
// the list is scrolled to its end. Closing only hides the window.
#pragma once

#include "history/HistoryStore.h"

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/listbox.h>
#include <gtkmm/scrolledwindow.h>
#include <gtkmm/searchentry.h>
#include <gtkmm/window.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

class HistoryWindow : public Gtk::Window {
public:
    static constexpr int kPageSize = 200;

    explicit HistoryWindow(std::shared_ptr<HistoryStore> history);
    ~HistoryWindow() override;

    std::function<void(const std::string& uri)> onOpen;
    // "Clear History": the owner clears, then calls reload().
    std::function<void()> onClear;

    // Fetches the list again from the newest visit.
    void reload();

    // What the list shows, for tests: day headings as "# <day>", visits as their titles.
    std::vector<std::string> lines() const;
    const std::vector<HistoryVisit>& visits() const { return visits_; }
    // Whether every visit there is, or the whole first page, has arrived.
    bool loaded() const { return loaded_; }
    Gtk::SearchEntry& searchField() { return search_; }
    Gtk::Button& clearButton() { return clearButton_; }
    Gtk::ListBox& list() { return list_; }
    // The visit's delete button.
    Gtk::Button* deleteButton(std::int64_t visitId);
    // Activates the row of a visit, as a click or Enter on it does.
    void openVisit(std::int64_t visitId);

private:
    void fetchMore();
    void append(const std::vector<HistoryVisit>& visits);
    void remove(std::int64_t visitId);
    static std::string dayOf(std::int64_t time);

    std::shared_ptr<HistoryStore> history_;
    Gtk::Box content_;
    Gtk::Box header_;
    Gtk::SearchEntry search_;
    Gtk::Button clearButton_;
    Gtk::ScrolledWindow scroller_;
    Gtk::ListBox list_;
    Gtk::Label empty_;

    std::vector<HistoryVisit> visits_; // shown, in list order
    std::string lastDay_;
    bool loaded_ = false;
    bool fetching_ = false;
    bool exhausted_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillmere
