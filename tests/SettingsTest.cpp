#include "support/Browser.h"
#include "support/Input.h"

#include "platform/UserDefaults.h"
#include "settings/DefaultBrowser.h"
#include "settings/LogViewerWindow.h"
#include "settings/SettingsWindow.h"

#include <gdk/gdkkeysyms.h>
#include <gio/gdesktopappinfo.h>
#include <glib/gstdio.h>

#include <dirent.h>
#include <fstream>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Settings : public BrowserTest {
protected:
    SettingsWindow& openSettings()
    {
        application()->activate_action("openSettings");
        auto window = delegate().settingsWindow();
        EXPECT_TRUE(window);
        runUntil([&] { return window->get_mapped() && window->content().get_height() > 0; });
        return *window;
    }

    static void expectFrame(Gtk::Widget& widget, Gtk::Widget& content, int x, int y, int width, int height)
    {
        const Gdk::Rectangle frame = allocationIn(widget, content);
        EXPECT_EQ(frame.get_x(), x);
        EXPECT_EQ(frame.get_y(), y);
        EXPECT_EQ(frame.get_width(), width);
        EXPECT_EQ(frame.get_height(), height);
    }

    // Children of the log tool we run, by process id.
    static std::vector<int> journalReaders()
    {
        std::vector<int> pids;
        DIR* proc = opendir("/proc");
        while (dirent* entry = readdir(proc)) {
            std::ifstream status(std::string("/proc/") + entry->d_name + "/status");
            std::string line, name;
            int parent = 0;
            char state = 0;
            while (std::getline(status, line)) {
                if (line.rfind("Name:", 0) == 0)
                    name = line.substr(6);
                if (line.rfind("State:", 0) == 0)
                    state = line[7];
                if (line.rfind("PPid:", 0) == 0)
                    parent = std::stoi(line.substr(5));
            }
            if (parent == getpid() && name == "journalctl" && state != 'Z')
                pids.push_back(atoi(entry->d_name));
        }
        closedir(proc);
        return pids;
    }
};

} // namespace

TEST_F(Settings, OneFixedSizeWindowWithItsRowsInPlaceAndTheirFirstValues)
{
    launch();
    SettingsWindow& settings = openSettings();
    EXPECT_EQ(settings.get_title().raw(), "Quillmere Settings");
    EXPECT_FALSE(settings.get_resizable());
    EXPECT_EQ(settings.get_width(), 440);
    EXPECT_EQ(settings.get_height(), 590);

    Gtk::Box& content = settings.content();
    expectFrame(settings.updateButton(), content, 24, 92, 220, 30);
    expectFrame(settings.updateStatus(), content, 24, 126, 390, 30);
    expectFrame(settings.makeDefaultButton(), content, 24, 171, 220, 30);
    expectFrame(settings.adBlockCheckbox(), content, 24, 282, 390, 24);
    expectFrame(settings.homepageField(), content, 24, 362, 300, 26);
    expectFrame(settings.saveButton(), content, 332, 362, 80, 28);
    expectFrame(settings.clearDataButton(), content, 24, 446, 220, 30);
    expectFrame(settings.clearDataStatus(), content, 24, 481, 390, 20);
    expectFrame(settings.showLogsButton(), content, 24, 520, 220, 30);

    EXPECT_EQ(settings.updateButton().get_label(), "Check for Updates");
    EXPECT_EQ(dynamic_cast<Gtk::Label*>(settings.adBlockCheckbox().get_child())->get_text().raw(),
              "Enabled (110k+ rules from EasyList/EasyPrivacy/AdGuard)");
    EXPECT_EQ(settings.makeDefaultButton().get_label(), "Make Default Browser");
    EXPECT_EQ(settings.clearDataButton().get_label(), "Clear Cookies & Cache");
    EXPECT_EQ(settings.showLogsButton().get_label(), "Show Logs");

    // Nothing stored yet.
    EXPECT_TRUE(settings.adBlockCheckbox().get_active());
    EXPECT_EQ(settings.homepageField().get_text().raw(), "https://duckduckgo.com");
    EXPECT_EQ(settings.updateStatus().get_text().raw(), "Build 2");
    EXPECT_EQ(settings.clearDataStatus().get_text().raw(), "");

    // The same window every time; closing only hides it.
    settings.close();
    EXPECT_FALSE(settings.get_visible());
    SettingsWindow& again = openSettings();
    EXPECT_EQ(&again, &settings);
    EXPECT_TRUE(again.get_visible());
}

TEST_F(Settings, StoredValuesShowAsTheReadingRuleSays)
{
    setDefault(kAdBlockEnabledKey, "maybe");
    setDefault(kHomepageKey, "  not a url  ");
    launch();
    SettingsWindow& settings = openSettings();
    EXPECT_TRUE(settings.adBlockCheckbox().get_active());
    EXPECT_EQ(settings.homepageField().get_text().raw(), "  not a url  ");
}

TEST_F(Settings, TheHomepageIsSavedExactlyAsTypedAndOnlyBySave)
{
    launch();
    SettingsWindow& settings = openSettings();
    focusWindow(settings);

    // Return in the field does not save.
    settings.homepageField().grab_focus();
    settings.homepageField().set_text("");
    typeText("http://typed.example");
    pressKey(GDK_KEY_Return);
    EXPECT_FALSE(UserDefaults::standard().string(kHomepageKey));

    for (const char* value : {"  spaced out  ", "", "http://typed.example"}) {
        settings.homepageField().set_text(value);
        click(settings.saveButton());
        ASSERT_TRUE(runUntil([&] { return UserDefaults::standard().string(kHomepageKey) == value; })) << value;
        EXPECT_TRUE(logged(std::string("Homepage saved: ") + value));
    }
    // New tabs use it from then on; open ones are not reloaded.
    EXPECT_EQ(tabCount(), 1);
}

TEST_F(Settings, TheBlockingCheckboxSwitchesBlocking)
{
    launch();
    SettingsWindow& settings = openSettings();
    focusWindow(settings);
    click(settings.adBlockCheckbox());
    ASSERT_TRUE(runUntil([&] { return UserDefaults::standard().boolean(kAdBlockEnabledKey) == false; }));
    EXPECT_FALSE(settings.adBlockCheckbox().get_active());
    click(settings.adBlockCheckbox());
    EXPECT_TRUE(runUntil([&] { return UserDefaults::standard().boolean(kAdBlockEnabledKey) == true; }));
}

TEST_F(Settings, ClearingRemovesCookiesAndStorageWithoutTouchingTabs)
{
    server.route("/", [](const SeenRequest& request) {
        const auto cookie = request.headers.find("Cookie");
        Response response{200, "text/html", "<title>Storage</title>", {}};
        if (cookie == request.headers.end())
            response.headers["Set-Cookie"] = "visited=yes; Path=/; Max-Age=3600";
        return response;
    });
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    evaluate(activeView(), "localStorage.setItem('kept', 'yes'); 1");
    browser().reload();
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/").size() == 2; }));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_EQ(server.requestsFor("/").back().headers.count("Cookie"), 1u);
    EXPECT_EQ(evaluate(activeView(), "localStorage.getItem('kept')"), "\"yes\"");

    SettingsWindow& settings = openSettings();
    focusWindow(settings);
    std::vector<std::string> statuses;
    settings.clearDataStatus().property_label().signal_changed().connect([&] {
        statuses.push_back(settings.clearDataStatus().get_text());
    });
    click(settings.clearDataButton());
    ASSERT_TRUE(runUntil([&] { return statuses.size() == 2; }));
    EXPECT_EQ(statuses, (std::vector<std::string>{"Clearing...", "Cleared cookies, cache, and local storage."}));
    EXPECT_EQ(countLogged("Cleared all browsing data (cookies, cache, local storage)"), 1);
    EXPECT_EQ(server.requestsFor("/").size(), 2u) << "clearing reloads nothing";

    browser().reload();
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/").size() == 3; }));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_EQ(server.requestsFor("/").back().headers.count("Cookie"), 0u);
    EXPECT_EQ(evaluate(activeView(), "localStorage.getItem('kept')"), "null");
}

TEST_F(Settings, TheWindowKeysReachTheBrowserFromSettings)
{
    server.page("/", "<title>Home</title>");
    setDefault(kHomepageKey, server.url("/"));
    launch();
    browser().openNewTab();
    ASSERT_EQ(tabCount(), 2);
    SettingsWindow& settings = openSettings();
    focusWindow(settings);
    pressKey(GDK_KEY_w, {GDK_KEY_Control_L});
    EXPECT_EQ(tabCount(), 1);
    EXPECT_TRUE(settings.get_visible()) << "Ctrl+W closes the browser's tab, not the settings window";
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
    EXPECT_EQ(tabCount(), 2);
}

namespace {
std::vector<std::string> defaultHandlerLines()
{
    std::vector<std::string> chain;
    for (const auto& entry : capturedLog())
        if (entry.message.find("default handler") != std::string::npos)
            chain.push_back(entry.message.substr(0, entry.message.find(':')));
    return chain;
}
} // namespace

TEST_F(Settings, WithoutItsDesktopEntryBothRequestsFailAndTheLaunchGoesOn)
{
    launch();
    ASSERT_TRUE(runUntil([] { return countLogged("Failed to set default handler for https: ") == 1; }));
    EXPECT_EQ(defaultHandlerLines(), (std::vector<std::string>{"Failed to set default handler for http",
                                                               "Failed to set default handler for https"}));
    EXPECT_TRUE(browser().window().get_visible());
}

TEST_F(Settings, MakeDefaultBrowserAsksForHttpThenHttps)
{
    // The desktop entry where `cmake --install` to ~/.local would put it, and the program
    // on the PATH (the desktop only takes an entry whose program it can find).
    g_setenv("PATH", (std::string(QUILLMERE_BUILD_DIR) + "/src:" + g_getenv("PATH")).c_str(), TRUE);
    const std::string applications = std::string(g_get_user_data_dir()) + "/applications";
    g_mkdir_with_parents(applications.c_str(), 0700);
    {
        std::ifstream source(std::string(QUILLMERE_SOURCE_DIR) + "/resources/com.brenhollow.quillmere.desktop");
        std::ofstream(applications + "/com.brenhollow.quillmere.desktop") << source.rdbuf();
    }
    launch();
    // Once at launch, then twice from the button: three full chains, in order.
    ASSERT_TRUE(runUntil([] { return countLogged("Requested default handler for https") == 1; }));
    SettingsWindow& settings = openSettings();
    focusWindow(settings);
    click(settings.makeDefaultButton());
    click(settings.makeDefaultButton());
    ASSERT_TRUE(runUntil([] { return countLogged("Requested default handler for https") == 3; }));
    std::vector<std::string> chain;
    for (int i = 0; i < 3; ++i) {
        chain.push_back("Requested default handler for http");
        chain.push_back("Requested default handler for https");
    }
    EXPECT_EQ(defaultHandlerLines(), chain);

    char* out = nullptr;
    g_spawn_command_line_sync("gio mime x-scheme-handler/https", &out, nullptr, nullptr, nullptr);
    EXPECT_NE(std::string(out ? out : "").find("com.brenhollow.quillmere.desktop"), std::string::npos) << out;
    g_free(out);
    GAppInfo* handler = g_app_info_get_default_for_type("x-scheme-handler/http", FALSE);
    ASSERT_TRUE(handler);
    EXPECT_STREQ(g_app_info_get_id(handler), "com.brenhollow.quillmere.desktop");
    g_object_unref(handler);
}

TEST_F(Settings, TheLogViewerShowsNewEntriesLiveFromOneTool)
{
    if (!g_file_test("/run/systemd/journal/socket", G_FILE_TEST_EXISTS))
        GTEST_SKIP() << "needs journald (the test command starts it)";
    launch();
    SettingsWindow& settings = openSettings();
    focusWindow(settings);
    click(settings.showLogsButton());
    ASSERT_TRUE(runUntil([&] { return settings.logViewer() && settings.logViewer()->get_mapped(); }));
    LogViewerWindow& viewer = *settings.logViewer();
    EXPECT_EQ(viewer.get_title().raw(), "Quillmere Logs");
    EXPECT_EQ(viewer.get_width(), 820);
    EXPECT_EQ(viewer.get_height(), 520);
    EXPECT_FALSE(viewer.textView().get_editable());
    auto text = [&] { return viewer.textView().get_buffer()->get_text().raw(); };

    // The tool shows only what is logged after it started: wait until it follows.
    int warmUp = 0;
    ASSERT_TRUE(runUntil([&] {
        quillmereLog.info("warm-up %ld", ++warmUp);
        runFor(100);
        return text().find("warm-up") != std::string::npos;
    }, 15000));

    const std::string marker = "marker from the test: Zürich 東京 🛡️";
    quillmereLog.info("%{public}s", marker);
    EXPECT_TRUE(runUntil([&] { return text().find(marker) != std::string::npos; }, 1000)) << text();
    EXPECT_NE(text().find("quillmere["), std::string::npos) << "journalctl's short style";

    // Again: the same window, the same single tool.
    settings.present();
    click(settings.showLogsButton());
    EXPECT_EQ(settings.logViewer(), &viewer);
    EXPECT_EQ(journalReaders().size(), 1u);
}

TEST_F(Settings, ALogViewerThatCannotStartItsToolSaysSoAndEndsItsToolWhenGone)
{
    launch();
    {
        LogViewerWindow broken("/nonexistent/journalctl");
        const std::string text = broken.textView().get_buffer()->get_text();
        EXPECT_EQ(text.rfind("Failed to start log stream: ", 0), 0u) << text;
        EXPECT_NE(text.find("/nonexistent/journalctl"), std::string::npos) << text;
        EXPECT_EQ(text.find('\n'), std::string::npos) << "exactly one line";
        EXPECT_FALSE(broken.process());
    }
    {
        LogViewerWindow viewer;
        ASSERT_TRUE(viewer.process());
        ASSERT_TRUE(runUntil([] { return journalReaders().size() == 1; }));
    }
    EXPECT_TRUE(runUntil([] { return journalReaders().empty(); }));
}

TEST_F(Settings, ControlCommaOpensTheSameSettingsWindow)
{
    launch();
    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([&] { return delegate().settingsWindow() && delegate().settingsWindow()->get_visible(); }));
    SettingsWindow* first = delegate().settingsWindow().get();
    first->close();
    focusWindow(browser().window());
    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    EXPECT_TRUE(runUntil([&] { return first->get_visible(); }));
    EXPECT_EQ(delegate().settingsWindow().get(), first);
}
