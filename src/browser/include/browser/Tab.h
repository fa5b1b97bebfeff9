// One tab: its web view, the signal connections on it, and what the strip, the title
// bar and the badge show for it. The tab reports what happens in its page to its window
// through TabDelegate; the window never connects to a view itself.
#pragma once

#include "browser/PagePrinter.h"
#include "platform/GObjectPtr.h"

#include <webkit/webkit.h>

#include <cstdint>
#include <functional>
#include <list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace Gtk {
class Box;
class Widget;
} // namespace Gtk

namespace quillmere {

class FindBar;
class QuestionBar;
class Tab;

// How a finished load ended, as far as the window cares.
enum class LoadOutcome {
    Page, // a page was shown; the tab took its title
    ErrorPage, // the engine's page for a failed load; the tab keeps its old title
    Failed, // the load failed and nothing new is shown
};

class TabDelegate {
public:
    virtual void tabDidStartLoading(Tab& tab) = 0;
    // The new page replaced the old one: its address is the tab's from now on.
    virtual void tabDidCommitLoad(Tab& tab) = 0;
    virtual void tabDidFinishLoading(Tab& tab, LoadOutcome outcome) = 0;
    virtual void tabLoadProgressDidChange(Tab& tab) = 0;
    virtual void tabTitleDidChange(Tab& tab) = 0;
    // The address changed without a load: a same-document navigation (an anchor,
    // pushState or replaceState).
    virtual void tabDidNavigateWithinPage(Tab& tab) = 0;
    virtual void tabIconDidChange(Tab& tab) = 0;
    virtual void tabWebProcessDidTerminate(Tab& tab, WebKitWebProcessTerminationReason reason) = 0;
    // The page asks for a new window (a link with a target, window.open): answers the
    // view of the tab opened for it (related to the opener's), or null to refuse.
    virtual WebKitWebView* tabWantsNewTab(Tab& opener) = 0;
    // The page closed itself (window.close()).
    virtual void tabWantsToClose(Tab& tab) = 0;
    // The user opened a link in a new tab (a middle click, or a click with Control).
    virtual void tabWantsBackgroundTab(Tab& opener, const std::string& uri) = 0;
    // The page asks for a permission; the window answers it now or later.
    virtual void tabWantsPermission(Tab& tab, WebKitPermissionRequest* request) = 0;
    // The page asks what a permission's state is; answers whether the window answered.
    virtual bool tabQueriesPermission(Tab& tab, WebKitPermissionStateQuery* query) = 0;
    virtual void tabShowsNotification(Tab& tab, WebKitNotification* notification) = 0;
    // Whether the page's connection may have changed (a commit, insecure content).
    virtual void tabSecurityDidChange(Tab& tab) = 0;
    // An element of the page goes full screen, or comes back.
    virtual void tabDidChangeFullscreen(Tab& tab, bool fullscreen) = 0;

protected:
    ~TabDelegate() = default;
};

class Tab {
public:
    // `view` may be null: a tab can exist before its page does (for instance one that
    // is restored but not shown yet) and be given a view later with setWebView().
    Tab(TabDelegate& delegate, GObjectPtr<WebKitWebView> view);
    ~Tab();
    Tab(const Tab&) = delete;
    Tab& operator=(const Tab&) = delete;

    // The tab that owns `view`, or null.
    static Tab* fromView(WebKitWebView* view);

    void setWebView(GObjectPtr<WebKitWebView> view);
    WebKitWebView* webView() const { return webView_.get(); }
    // The view's place in the widget tree, or null while there is no view.
    Gtk::Widget* widget() const { return widget_; }

    // A random UUID; nothing looks tabs up by it.
    const std::string& id() const { return id_; }
    const std::string& title() const { return title_; }
    // The page's address, or "" while it has none; for a tab waiting for its view, the
    // address it will show.
    std::string uri() const;

    // The address of the page the tab shows now; while a new one loads, the old page's
    // (a title that arrives late is the old page's).
    const std::string& committedURI() const { return committedURI_; }
    // Addresses of this document that history recorded before its title arrived; the
    // title may come after a pushState has already moved on.
    std::vector<std::string>& untitledVisits() { return untitledVisits_; }

    // A page to show once the tab gets its view (a restored or reopened tab): its address,
    // its title meanwhile, and the engine's saved back and forward history (Base64).
    struct PendingPage {
        std::string uri;
        std::string title;
        std::string state;
    };
    void setPendingPage(PendingPage page);
    const std::optional<PendingPage>& pendingPage() const { return pendingPage_; }
    std::optional<PendingPage> takePendingPage();

    // The site's icon, or null.
    GdkTexture* icon() const { return icon_.get(); }
    void setIcon(GdkTexture* icon);

    // The next load is a page of the program's own (the crashed-tab page), not the site's.
    void willShowInternalPage() { internalPageNext_ = true; }
    // Whether the tab shows the engine's error page or a page of the program's own.
    bool showsOwnPage() const { return showingErrorPage_ || showingInternalPage_; }

    // The tab's own bars under the toolbar (questions a page asks, find in page); the
    // window shows the active tab's and keeps the others' state as it is.
    Gtk::Box& bars() { return *bars_; }

    // Asks the user a question in a bar of the tab's own ("<host> wants to …", Allow,
    // Deny); `answer` runs once: with the user's answer, or with none when the tab goes
    // or its page changes first.
    QuestionBar* ask(const std::string& text, std::function<void(std::optional<bool>)> answer);
    // Takes back a question that no longer needs an answer; its answer never runs.
    void withdraw(const QuestionBar* bar);
    // The questions waiting for an answer, oldest first.
    std::vector<QuestionBar*> questions() const;

    // Whether a download of `uri` that this tab's page started must be asked for first:
    // one without a user's gesture, from a frame inside the page, or following another
    // within a few seconds. Counts the download as started.
    bool downloadNeedsAsking(const std::string& uri);

    // Whether the page loaded content over plain http into an https page.
    bool insecureContent() const { return insecureContent_; }

    // The find bar in this tab's bars, made on first use.
    FindBar& findBar();
    bool hasFindBar() const { return findBar_ != nullptr; }

    // The tab this one was opened from by a link, if any (its id).
    const std::string& openerId() const { return openerId_; }
    void setOpenerId(const std::string& id) { openerId_ = id; }

    // Resources blocked in the current page: the failed loads that the extension counted
    // in each frame of the page (the main frame and every frame inside it, each by its id,
    // each its latest total), added up. Only the extension makes these numbers.
    std::int64_t blockedCount() const { return blockedCount_; }
    void setFrameBlockedCount(std::uint64_t frame, std::int64_t count);

    // Opens the print dialog for the page; the main loop runs on meanwhile.
    void print();

private:
    void connect();
    void disconnect();

    void loadChanged(WebKitLoadEvent event);
    void loadFailed(const char* uri, GError* error);
    gboolean decidePolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type);
    void titleChanged();
    void setTitle(const std::string& title);
    void uriChanged();
    void faviconChanged();
    void recordPolicy(WebKitPolicyDecision* decision, WebKitPolicyDecisionType type);
    void dropQuestions();

    TabDelegate& delegate_;
    const std::string id_;
    GObjectPtr<WebKitWebView> webView_;
    Gtk::Widget* widget_ = nullptr;
    std::unique_ptr<Gtk::Box> bars_;
    FindBar* findBar_ = nullptr; // in bars_
    std::string openerId_;
    std::vector<gulong> handlers_; // on webView_, cut when the view is replaced or the tab goes
    std::string title_ = "New Tab";
    std::int64_t blockedCount_ = 0;
    PagePrinter printer_;
    std::map<std::uint64_t, std::int64_t> blockedByFrame_; // since the page started loading
    std::optional<PendingPage> pendingPage_;
    GObjectPtr<GdkTexture> icon_;
    std::string committedURI_;
    std::vector<std::string> untitledVisits_;
    struct Question {
        QuestionBar* bar; // in bars_
        std::function<void(std::optional<bool>)> answer;
    };
    std::list<Question> questions_;
    // The latest policy decisions by address: whether a user's gesture started the
    // navigation, and whether the response is the main frame's page.
    std::map<std::string, bool> gestureByURI_;
    std::map<std::string, bool> mainFrameByURI_;
    bool lastGesture_ = false;
    gint64 lastDownload_ = 0; // monotonic µs, of the current page
    bool insecureContent_ = false;
    bool internalPageNext_ = false;
    bool showingInternalPage_ = false;

    // A load that failed before it finished keeps the old title, also while the
    // engine's error page for it is shown.
    bool loadFailed_ = false;
    std::string failedURI_;
    bool showingErrorPage_ = false;
};

} // namespace quillmere
