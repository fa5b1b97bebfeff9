// The window's downloads: where each goes, whether the user is asked first, and the
// toolbar button (shown from the first download on) whose popover lists them with
// their progress and what can be done with each.
#pragma once

#include "platform/GObjectPtr.h"

#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/label.h>
#include <gtkmm/menubutton.h>
#include <gtkmm/popover.h>
#include <webkit/webkit.h>

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

class QuestionBar;
class Tab;

class Downloads {
public:
    enum class State { Asking, Running, Done, Failed, Cancelled };

    struct Entry {
        GObjectPtr<WebKitDownload> download;
        std::string name; // the safe name; the file's own once it has a path
        std::string path; // reserved when the destination was decided
        std::string reason; // why it failed
        State state = State::Asking;
        std::vector<gulong> handlers;
        const QuestionBar* question = nullptr; // while the user is asked
        Gtk::Box* row = nullptr;
        Gtk::Label* nameLabel = nullptr;
        Gtk::Label* stateLabel = nullptr;
        Gtk::Button* cancel = nullptr;
        Gtk::Button* open = nullptr;
        Gtk::Button* showInFolder = nullptr;
    };

    // Follows every download of the default network session. `tabOf` finds the tab of
    // a download's web view (null when it has none).
    explicit Downloads(std::function<Tab*(WebKitWebView*)> tabOf);
    ~Downloads();
    Downloads(const Downloads&) = delete;
    Downloads& operator=(const Downloads&) = delete;

    // In the toolbar, hidden until the first download.
    Gtk::MenuButton& button() { return button_; }
    Gtk::Popover& popover() { return popover_; }
    const std::vector<std::unique_ptr<Entry>>& entries() const { return entries_; }
    // Downloads running or waiting for the user's answer.
    int running() const;
    void cancelAll();

    // The XDG download directory, or ~/Downloads when none is set.
    static std::string directory();

    void cancel(Entry& entry);
    void open(Entry& entry);
    void showInFolder(Entry& entry);

private:
    void started(WebKitDownload* download);
    bool decideDestination(Entry& entry, const char* suggested);
    void start(Entry& entry);
    void finished(Entry& entry);
    void failed(Entry& entry, GError* error);
    void addRow(Entry& entry);
    void showState(Entry& entry);
    Entry* entryOf(WebKitDownload* download);

    std::function<Tab*(WebKitWebView*)> tabOf_;
    gulong startedHandler_ = 0;
    std::vector<std::unique_ptr<Entry>> entries_;
    Gtk::MenuButton button_;
    Gtk::Popover popover_;
    Gtk::Box list_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillmere
