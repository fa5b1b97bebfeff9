// The in-window developer tools: a panel docked under the page with the network log,
// the console and the HTML editor. It receives the "quildev" messages of every web
// view of the window, but its logs are the active tab's: what another tab's page posts
// is dropped, and switching tabs empties the logs and moves capturing to the new tab.
// Its page operations go to the active tab's web view.
//
// Pages may post thousands of messages a second. They are read at once, queued, and
// applied in arrival order on later turns of the main loop, a few milliseconds' worth
// at a time, so that drawing and input go on between batches; each batch adds its rows
// to the list model in one step and its console lines to the buffer in one insert.
// Everything is bounded: the queue, the console (the last kKeptConsoleLines lines of at
// most kShownCharacters characters each) and the network log (the last
// kKeptNetworkEntries requests).
#pragma once

#include "devtools/NetworkEntry.h"
#include "platform/GObjectPtr.h"
#include "platform/ScriptMessageHandler.h"

#include <giomm/liststore.h>
#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/columnview.h>
#include <gtkmm/label.h>
#include <gtkmm/scrolledwindow.h>
#include <gtkmm/singleselection.h>
#include <gtkmm/stack.h>
#include <gtkmm/stackswitcher.h>
#include <gtkmm/textview.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

class DevToolsPanel : public Gtk::Box, public ScriptMessageHandler {
public:
    static constexpr int headerHeight = 36;

    DevToolsPanel();
    ~DevToolsPanel() override;

    // The active tab's web view, held weakly; the window repoints it on every switch.
    void setWebView(WebKitWebView* view);
    GObjectPtr<WebKitWebView> webView() const { return webView_.peek(); }

    // Shows or hides the panel and switches the active page's capture with it.
    void setShown(bool shown);
    // A page finished loading in `view`; it captures while the panel is shown.
    void pageDidFinishLoading(WebKitWebView* view);

    // Run by the panel's close button.
    void setOnClose(std::function<void()> onClose) { onClose_ = std::move(onClose); }

    // Empties the network log and the console and blanks the detail text. The HTML
    // editor and the live-edit state stay as they are.
    void clear();

    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override;

    // Button actions.
    void closeSelf();
    void resendSelected();
    void refreshHTML();
    void applyHTML();
    void toggleLiveEdit();

    // What the panel holds and shows.
    const NetworkLog& entries() const { return entries_; }
    // The selected row of the network table, or -1.
    int selectedRow() const;
    size_t consoleLineCount() const { return consoleLineCount_; }
    std::string consoleText() const;
    std::string detailText() const;
    std::string htmlText() const;
    bool liveEditOn() const { return liveEditOn_; }
    // Messages received but not applied yet.
    size_t pendingMessages() const { return pending_.size(); }

    Gtk::Stack& pages() { return stack_; }
    Gtk::Box& headerBar() { return headerBar_; }
    Gtk::Box& accentLine() { return accentLine_; }
    Gtk::StackSwitcher& pageSwitcher() { return switcher_; }
    Gtk::Button& closeButton() { return closeButton_; }
    Gtk::ColumnView& networkTable() { return *networkTable_; }
    Gtk::ScrolledWindow& networkScroll() { return networkScroll_; }
    Gtk::ScrolledWindow& detailScroll() { return detailScroll_; }
    Gtk::ScrolledWindow& consoleScroll() { return consoleScroll_; }
    Gtk::ScrolledWindow& htmlScroll() { return htmlScroll_; }
    Gtk::TextView& htmlView() { return htmlView_; }
    Gtk::TextView& consoleView() { return consoleView_; }
    Gtk::Button& resendButton() { return resendButton_; }
    Gtk::Button& refreshHtmlButton() { return refreshHtmlButton_; }
    Gtk::Button& applyHtmlButton() { return applyHtmlButton_; }
    Gtk::Button& toggleEditButton() { return toggleEditButton_; }

private:
    // One message as read off the bridge; absent members stay empty optionals.
    struct Message {
        enum class Type { Network, Response, Console } type;
        std::uint64_t frame = 0;
        std::optional<std::string> id, method, url, headers, body, time, status, preview, level, text;
    };

    void setup();
    Gtk::Box& buildNetworkPage();
    Gtk::Box& buildHtmlPage();
    void addColumn(const char* title, int width, std::string NetworkEntry::*field, bool expand);
    void tabChanged();
    void selectionChanged();
    bool drainMessages();
    void appendConsoleLines(const std::vector<std::string>& lines);
    void runInPage(const std::string& statement);
    void setCapturing(WebKitWebView* view, bool on);

    GWeak<WebKitWebView> webView_;
    std::function<void()> onClose_;

    NetworkLog entries_;
    size_t consoleLineCount_ = 0;
    // The size of each console line shown, oldest first, and of all of them.
    struct ConsoleLine {
        size_t characters, bytes;
    };
    std::deque<ConsoleLine> consoleLines_;
    size_t consoleBytes_ = 0;
    bool liveEditOn_ = false;

    std::deque<Message> pending_;
    sigc::connection drain_;
    GObjectPtr<GCancellable> cancellable_;

    Gtk::Box accentLine_;
    Gtk::Box headerBar_;
    Gtk::Label titleLabel_;
    Gtk::StackSwitcher switcher_;
    Gtk::Button closeButton_;
    Gtk::Stack stack_;

    Glib::RefPtr<Gio::ListStore<Glib::Object>> rows_;
    Glib::RefPtr<Gtk::SingleSelection> selection_;
    Gtk::ColumnView* networkTable_ = nullptr;
    Gtk::ScrolledWindow networkScroll_;
    Gtk::TextView detailView_;
    Gtk::ScrolledWindow detailScroll_;
    Gtk::Button resendButton_;

    Gtk::TextView consoleView_;
    Glib::RefPtr<Gtk::TextMark> consoleEnd_;
    Gtk::ScrolledWindow consoleScroll_;

    Gtk::TextView htmlView_;
    Gtk::ScrolledWindow htmlScroll_;
    Gtk::Button refreshHtmlButton_;
    Gtk::Button applyHtmlButton_;
    Gtk::Button toggleEditButton_;
};

} // namespace quillmere
