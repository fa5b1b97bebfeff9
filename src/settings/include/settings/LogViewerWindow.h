// A live view of the program's own log: runs journalctl following this program's
// entries and appends what it prints to a read-only text view. The settings window
// makes one on the first "Show Logs" and keeps it; the tool runs as long as the viewer.
#pragma once

#include "platform/GObjectPtr.h"
#include "platform/Utf8Stream.h"

#include <gio/gio.h>
#include <gtkmm/scrolledwindow.h>
#include <gtkmm/textview.h>
#include <gtkmm/window.h>

#include <string>

namespace quillmere {

class LogViewerWindow : public Gtk::Window {
public:
    static constexpr const char* kLogTool = "/usr/bin/journalctl";

    // `tool` is the journal reader to run; other paths are for tests.
    explicit LogViewerWindow(const std::string& tool = kLogTool);
    ~LogViewerWindow() override;

    Gtk::TextView& textView() { return textView_; }
    // The running tool, or null when it could not be started.
    GSubprocess* process() const { return process_.get(); }

private:
    void startStreaming(const std::string& tool);
    void readMore();
    void append(const std::string& text);

    Gtk::ScrolledWindow scroll_;
    Gtk::TextView textView_;
    Glib::RefPtr<Gtk::TextMark> endMark_;
    GObjectPtr<GSubprocess> process_;
    GObjectPtr<GCancellable> cancellable_;
    Utf8StreamDecoder decoder_;
};

} // namespace quillmere
