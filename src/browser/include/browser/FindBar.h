// Find in page: a bar under the toolbar with the search text, "N of M", previous, next
// and close. Case-insensitive and wrapping. The engine counts the matches but does not
// say which one is selected, so the bar keeps the index itself: 1 on new text, one on
// or back on next and previous, wrapping. A page that changes under the bar may make it
// drift until the text changes.
#pragma once

#include "platform/GObjectPtr.h"

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/entry.h>
#include <gtkmm/label.h>
#include <webkit/webkit.h>

#include <vector>

namespace quillmere {

class FindBar : public Gtk::Box {
public:
    explicit FindBar(WebKitWebView* view);
    ~FindBar() override;

    // Shows the bar with its text selected, ready for typing.
    void open();
    // Hides the bar, clears the highlights and hands the keyboard back to the page.
    void close();
    void findNext();
    void findPrevious();

    Gtk::Entry& entry() { return entry_; }
    Gtk::Label& status() { return status_; }

private:
    void search();
    void showStatus();

    GObjectPtr<WebKitWebView> view_;
    GObjectPtr<WebKitFindController> finder_;
    std::vector<gulong> handlers_;
    Gtk::Entry entry_;
    Gtk::Label status_;
    Gtk::Button previous_;
    Gtk::Button next_;
    Gtk::Button close_;
    unsigned matches_ = 0;
    unsigned index_ = 0;
    bool searched_ = false;
};

} // namespace quillmere
