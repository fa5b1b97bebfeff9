// The one browser window and everything in it: the tab strip, the toolbar, the pages
// of the tabs, the developer-tools panel and the picture-in-picture controller. It
// owns the tabs and is the delegate of the strip and of every web view's navigation.
// The application delegate creates it once at launch; it lives until the process ends.
#pragma once

#include "adblock/QuilBlock.h"
#include "browser/Tab.h"
#include "browser/TabBar.h"
#include "browser/WebViewFactory.h"
#include "browser/ZoomLevels.h"
#include "platform/ScriptMessageHandler.h"
#include "session/SessionFile.h"

#include <gdkmm/rectangle.h>
#include <gtkmm/applicationwindow.h>
#include <gtkmm/box.h>
#include <gtkmm/button.h>
#include <gtkmm/entry.h>
#include <gtkmm/label.h>
#include <gtkmm/menubutton.h>
#include <gtkmm/overlay.h>
#include <gtkmm/popover.h>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

class AddressSuggestions;
class BlockCounter;
class DevToolsPanel;
class Downloads;
class SitePermissions;
class HistoryStore;
class HistoryWindow;
class PiPController;
class ProfileDatabase;
class FilterListUpdater;

class BrowserWindowController : public TabBarDelegate,
                                public TabDelegate,
                                public std::enable_shared_from_this<BrowserWindowController> {
public:
    static constexpr int toolbarHeight = 40;
    static constexpr int tabBarHeight = 34;
    static constexpr int devPanelHeight = 280;

    // Builds the window and its whole interface and opens the first tab.
    static std::shared_ptr<BrowserWindowController> create(const Glib::RefPtr<Gtk::Application>& application);
    ~BrowserWindowController() override;

    Gtk::ApplicationWindow& window() { return *window_; }

    // Adds the window-wide keys (F12, Ctrl+T, Ctrl+W) to `target`, which may be any
    // window of the application. The handler holds the controller weakly.
    void installKeyHandler(Gtk::Window& target);

    // Navigation.
    void navigateToAddress();
    void loadURL(const std::string& url);
    // Whether a URL handed in from outside may be loaded at all.
    static bool acceptsOutsideURL(const std::string& url);
    void goBack();
    void goForward();
    void reload();
    void reloadBypassingCache();
    void focusAddress();
    void findInPage();
    void toggleFullscreen();
    bool fullscreenRequested() const { return fullscreenRequested_; }

    // Tabs.
    Tab& openNewTab(const std::optional<std::string>& url = std::nullopt);
    void closeTab(int index) override;
    void switchToTab(int index) override;
    void openNewTabFromStrip() override { openNewTab(); }
    void refreshTabBar();
    // Where the active web view sits in the content view.
    Gdk::Rectangle webViewFrame() const;

    // The homepage the user set, or the default one.
    static std::string homepage();

    void toggleDevTools();
    void startPiP();

    // Content blocking: switches the rule list on or off in every tab and remembers
    // the choice. The compiled list, once it arrived, is kept either way.
    void setAdBlockEnabled(bool enabled);
    const QuilBlock::RuleSet* compiledRuleList() const { return compiledRuleList_.get(); }
    // Fetches fresh filter lists on its schedule and when asked; null until the window is set up.
    FilterListUpdater* filterListUpdater() const { return filterListUpdater_.get(); }

    // Removes every kind of website data of every site; `completion` runs on the main
    // loop once the engine is done. Open tabs are left as they are.
    void clearBrowsingData(std::function<void()> completion);

    // The active tab's web view, or null.
    WebKitWebView* webView() const;
    const std::vector<std::unique_ptr<Tab>>& tabs() const { return tabs_; }
    int activeTabIndex() const { return activeTabIndex_; }
    bool devPanelVisible() const { return devPanelVisible_; }

    // The window's parts, for the rest of the program and for tests.
    Gtk::Box& contentView() { return contentView_; }
    Gtk::Box& toolbar() { return toolbar_; }
    TabBar& tabBar() { return *tabBar_; }
    Gtk::Entry& addressField() { return addressField_; }
    Gtk::Label& blockedBadge() { return blockedBadge_; }
    Gtk::Button& backButton() { return backButton_; }
    Gtk::Button& forwardButton() { return forwardButton_; }
    Gtk::Button& reloadButton() { return reloadButton_; }
    Gtk::Button& devToolsButton() { return devToolsButton_; }
    Gtk::Button& pipButton() { return pipButton_; }
    DevToolsPanel& devPanel() { return *devPanel_; }
    PiPController& pipController() { return *pipController_; }
    // Shown at the end of the address field while the page is zoomed; a click resets.
    Gtk::Button& zoomButton() { return zoomButton_; }

    // Downloads, with their toolbar button (Downloads.cpp).
    Downloads& downloads() { return *downloads_; }
    // Quitting with downloads running asks first: answers true when the program may end
    // now; otherwise `quit` runs once the user chose to cancel them.
    bool confirmQuit(std::function<void()> quit);

    // The answers given to sites' permission requests (PermissionRequests.cpp).
    SitePermissions& sitePermissions() { return *sitePermissions_; }

    // The page's security state at the start of the address field (PageState.cpp):
    // a padlock, "Not secure", or nothing for the program's own and local pages.
    enum class SecurityState { None, Secure, NotSecure };
    SecurityState securityState() const { return securityState_; }
    Gtk::MenuButton& securityButton() { return securityButton_; }
    Gtk::Label& securityLabel() { return securityLabel_; }
    // What a click on it shows.
    std::string securityDetails() const;

    // An element of the page fills the screen: the window's controls are hidden.
    bool pageFullscreen() const { return pageFullscreen_; }
    Gtk::Label& fullscreenNotice() { return fullscreenNotice_; }
    void leavePageFullscreen();

    // Page zoom, per site: +1 a step in, -1 a step out, 0 back to 100%.
    void zoom(int direction);

    // History: what was visited, the suggestions under the address field and the
    // history window.
    ProfileDatabase& profileDatabase() { return *profile_; }
    HistoryStore& history() { return *history_; }
    AddressSuggestions& suggestions() { return *suggestions_; }
    void showHistory();
    HistoryWindow* historyWindow() const { return historyWindow_.get(); }
    // Forgets every visit, the site icons and the recently closed tabs; `completion`
    // runs on the main loop once that is done.
    void clearHistory(std::function<void()> completion);

    // The session: what is open is saved whenever it changes and restored at launch.
    // Whether this launch restored the previous session's tabs.
    bool restoredSession() const { return launch_.restored; }
    void reopenClosedTab();
    const std::vector<SavedTab>& closedTabs() const { return closedTabs_; }
    // Shown at launch instead of restoring a session that keeps crashing the browser.
    Gtk::Box& restoreBar() { return restoreBar_; }
    Gtk::Button& restoreButton() { return restoreButton_; }
    void restoreOfferedSession();
    // Saves the session for the next launch as one that ended normally; once.
    void sessionDidEnd();
    // Writes the session now and waits until it is on disk.
    void saveSessionNow();

    // Handlers of the three channels; a channel without one drops its messages.
    void setMessageHandler(const std::string& channel, ScriptMessageHandler* handler);

private:
    explicit BrowserWindowController(const Glib::RefPtr<Gtk::Application>& application);
    void setupUI();
    void buildToolbar();
    void buildRestoreBar();
    bool handleKey(guint keyval, Gdk::ModifierType state, bool inBrowserWindow);
    bool escape();

    // A new web view; `opener`, when given, is the page that asked for it.
    GObjectPtr<WebKitWebView> makeConfiguredWebView(WebKitWebView* opener = nullptr);
    Tab& addTab(GObjectPtr<WebKitWebView> view);
    // Gives a tab that waits for its page its web view, and starts showing the page.
    void ensureWebView(Tab& tab);
    void placeWebView(Tab& tab);

    // The session (BrowserSession.cpp).
    void openFirstTabs();
    void restoreTabs(const Session& session);
    Session currentSession() const;
    void saveSessionSoon();
    void writeSession(bool wait);
    void rememberClosedTab(const Tab& tab);
    Tab& insertTab(GObjectPtr<WebKitWebView> view, int position, bool activate);
    // History (BrowsingHistory.cpp).
    void startHistory();
    void recordVisit(Tab& tab);
    // Page zoom (PageZoom.cpp).
    void startZoom();
    void applyZoom(Tab& tab);
    void showZoomLevel();
    // Downloads, permissions, the security state and page full screen.
    void startDownloads();
    void startPermissions();
    void seedNotificationPermissions();
    void buildSecurityIndicator();
    void showSecurityState();
    void buildFullscreenNotice();
    // Hides the window's controls around a full-screen page, or brings them back.
    void showChrome(bool shown);
    // Leaves page full screen without the page: its tab goes away or out of sight.
    void endPageFullscreen();
    void receiveScriptMessage(const char* channel, const ScriptSender& sender, JSCValue* body);

    Tab* activeTab() const;
    bool isActive(const Tab& tab) const;
    int indexOfTab(const Tab& tab) const;
    void startContentBlocking();
    void ruleListArrived(QuilBlock::RuleList list);
    void blockCountUpdated(WebKitWebView* view, std::uint64_t frame, std::int64_t count);
    // Loads wait while the rule-list store has not answered, so that the first page
    // is already blocked when a compiled list exists.
    void loadInView(WebKitWebView* view, const std::string& url);
    void releaseHeldLoads();
    void startPendingCompile();
    void setBadgeCount(std::int64_t count);
    void showLoadProgress();
    // Puts `address` in the address field as the program's own text.
    void showAddress(const std::string& address);
    // Whether the user is in the middle of typing into the address field.
    bool isEditingAddress() const;

    // What happens in the tabs' pages.
    void tabDidStartLoading(Tab& tab) override;
    void tabDidCommitLoad(Tab& tab) override;
    void tabDidFinishLoading(Tab& tab, LoadOutcome outcome) override;
    void tabLoadProgressDidChange(Tab& tab) override;
    void tabTitleDidChange(Tab& tab) override;
    void tabDidNavigateWithinPage(Tab& tab) override;
    void tabIconDidChange(Tab& tab) override;
    void tabWebProcessDidTerminate(Tab& tab, WebKitWebProcessTerminationReason reason) override;
    WebKitWebView* tabWantsNewTab(Tab& opener) override;
    void tabWantsToClose(Tab& tab) override;
    void tabWantsBackgroundTab(Tab& opener, const std::string& uri) override;
    void tabWantsPermission(Tab& tab, WebKitPermissionRequest* request) override;
    bool tabQueriesPermission(Tab& tab, WebKitPermissionStateQuery* query) override;
    void tabShowsNotification(Tab& tab, WebKitNotification* notification) override;
    void tabSecurityDidChange(Tab& tab) override;
    void tabDidChangeFullscreen(Tab& tab, bool fullscreen) override;

    Glib::RefPtr<Gtk::Application> application_;
    std::unique_ptr<Gtk::ApplicationWindow> window_;
    WebViewFactory factory_;

    Gtk::Box contentView_;
    TabBar* tabBar_ = nullptr;
    Gtk::Box toolbar_;
    Gtk::Button backButton_;
    Gtk::Button forwardButton_;
    Gtk::Button reloadButton_;
    Gtk::Button devToolsButton_;
    Gtk::Button pipButton_;
    Gtk::Overlay addressOverlay_;
    Gtk::Entry addressField_;
    Gtk::Button zoomButton_;
    Gtk::MenuButton securityButton_;
    Gtk::Label securityLabel_; // in the button, which would show an arrow beside a label of its own
    Gtk::Popover securityPopover_;
    Gtk::Label securityDetails_;
    SecurityState securityState_ = SecurityState::None;
    Gtk::Overlay windowOverlay_; // the content view, and the full-screen notice over it
    Gtk::Label fullscreenNotice_;
    sigc::connection noticeTimeout_;
    bool pageFullscreen_ = false;
    std::vector<std::pair<Gtk::Widget*, bool>> hiddenForFullscreen_; // and whether each was shown
    std::unique_ptr<Downloads> downloads_;
    std::unique_ptr<SitePermissions> sitePermissions_;
    gulong notificationSeedHandler_ = 0;
    std::string shownAddress_; // what the program last put in the field
    Gtk::Label blockedBadge_;
    // Shows the active tab's bars, right under the toolbar.
    Gtk::Box barSlot_;
    // Holds every tab's web view (only the active one shown) above the docked panel.
    Gtk::Box pageArea_;

    bool devPanelVisible_ = false;
    bool fullscreenRequested_ = false;
    QuilBlock::RuleList compiledRuleList_;
    std::unique_ptr<FilterListUpdater> filterListUpdater_;
    std::vector<std::unique_ptr<Tab>> tabs_;

    int activeTabIndex_ = 0;

    DevToolsPanel* devPanel_ = nullptr; // in the page area, below the web views
    std::shared_ptr<PiPController> pipController_;
    std::shared_ptr<BlockCounter> blockCounter_;
    bool ruleListPending_ = false;
    std::function<void()> pendingCompile_; // a first compile, waiting for the first page
    // An empty address goes to the view's current history item (a restored tab).
    std::vector<std::pair<GWeak<WebKitWebView>, std::string>> heldLoads_;

    std::shared_ptr<ProfileDatabase> profile_;
    std::shared_ptr<HistoryStore> history_;
    std::unique_ptr<AddressSuggestions> suggestions_;
    std::unique_ptr<HistoryWindow> historyWindow_;
    std::unique_ptr<ZoomLevels> zoomLevels_;

    std::unique_ptr<SessionWriter> sessionWriter_;
    LaunchRecord launch_; // this launch, as the session file records it
    std::vector<SavedTab> closedTabs_; // most recent last
    std::optional<Session> offeredSession_; // the one the restore bar offers
    bool sessionSaveScheduled_ = false;
    bool sessionEnded_ = false;
    Gtk::Box restoreBar_;
    Gtk::Label restoreLabel_;
    Gtk::Button restoreButton_;
    Gtk::Button dismissRestoreButton_;

    std::array<ScriptMessageHandler*, kMessageChannelCount> messageHandlers_ {};
};

} // namespace quillmere
