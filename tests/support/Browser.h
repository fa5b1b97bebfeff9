// A test fixture that runs the real program in-process: the application object with
// its delegate, the browser window, real web views, and a local HTTP server. Each test
// runs in its own process with a fresh HOME, XDG directories, X display and D-Bus
// session (see tests/isolate.sh).
#pragma once

#include "app/AppDelegate.h"
#include "browser/BrowserWindowController.h"
#include "support/LogCapture.h"
#include "support/MainLoop.h"
#include "support/TestServer.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace quillmere::test {

class BrowserTest : public ::testing::Test {
protected:
    BrowserTest();
    ~BrowserTest() override;

    // Starts the program as a launch with `opened` handed in by the system would, and
    // waits until the browser window is on screen. A launch that fails ends the test
    // (by an exception gtest reports) rather than leaving it to crash at its next step.
    void launch(const std::vector<std::string>& opened = {});

    BrowserWindowController& browser();
    AppDelegate& delegate() { return *delegate_; }
    Glib::RefPtr<Gtk::Application>& application() { return application_; }

    WebKitWebView* activeView() { return browser().webView(); }
    Tab& tab(int index) { return *browser().tabs().at(index); }
    int tabCount() { return static_cast<int>(browser().tabs().size()); }

    // Waits until `view` shows `uri` and has finished loading it.
    bool waitForLoad(WebKitWebView* view, const std::string& uri, int timeoutMs = 15000);
    // Waits until the given tab's title is `title`.
    bool waitForTitle(int tabIndex, const std::string& title, int timeoutMs = 15000);

    // Waits until the tab shows a question bar; answers the oldest, or null.
    QuestionBar* waitForQuestion(int tabIndex = 0);

    // Runs `script` in the view's main frame and answers its value as JSON text, or
    // "ERROR: ..." when it threw.
    std::string evaluate(WebKitWebView* view, const std::string& script, int timeoutMs = 10000);
    // The same in the program's isolated script world, where its own scripts live.
    std::string evaluatePrivate(WebKitWebView* view, const std::string& script, int timeoutMs = 10000);

    // Runs `body` as the body of an async function in the main frame and answers the
    // JSON text of what it returns once any promise has settled.
    std::string evaluateAsync(WebKitWebView* view, const std::string& body, int timeoutMs = 10000);

    // Stores a user default before launch.
    static void setDefault(const std::string& key, const std::string& value);

    // Sends every http request of the web views through the test server, so that pages
    // and resources can be served under any host name without a network.
    void useServerAsProxy();

    // A file from tests/data.
    static std::string testData(const std::string& name);

    // Puts a rules document in the test's bundle, where the program looks first.
    void installRules(const std::string& json);
    const std::string& bundleDirectory() const { return bundle_; }
    static std::string makeTemporaryDirectory(const char* pattern);

    // A web process that ends other than by our own request fails the test, unless the
    // test expects it.
    void expectWebProcessCrash() { crashExpected_ = true; }
    // `object` must be finalised by the end of the test (while the program still runs),
    // as a closed tab's web view must.
    void expectFreed(gpointer object);

    TestServer server;

private:
    std::string evaluateIn(const char* world, WebKitWebView* view, const std::string& script, int timeoutMs);
    static gboolean webProcessTerminated(GSignalInvocationHint*, guint, const GValue* values, gpointer data);

    std::string bundle_;
    bool crashExpected_ = false;
    int crashes_ = 0;
    gulong crashHook_ = 0;
    std::vector<std::unique_ptr<GWeakRef, void (*)(GWeakRef*)>> mustBeFreed_;
    Glib::RefPtr<Gtk::Application> application_;
    std::unique_ptr<AppDelegate> delegate_;
};

// The widget's allocation (its frame, without margins) in `target`'s coordinates.
Gdk::Rectangle allocationIn(Gtk::Widget& widget, Gtk::Widget& target);

} // namespace quillmere::test
