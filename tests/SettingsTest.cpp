#include "support/Browser.h"
#include "support/Input.h"

#include "platform/GObjectPtr.h"
#include "platform/UserDefaults.h"
#include "settings/LogViewerWindow.h"
#include "settings/SettingsWindow.h"

#include <gdk/gdkkeysyms.h>

#include <filesystem>
#include <fstream>
#include <sstream>

using namespace quillmere;
using namespace quillmere::test;

class Settings : public BrowserTest {
protected:
    static std::string defaultsPath() { return std::string(g_get_user_config_dir()) + "/quillmere/defaults.ini"; }
    static void writeFile(const std::string& path, const std::string& text)
    {
        g_mkdir_with_parents(GCharPtr(g_path_get_dirname(path.c_str())).get(), 0700);
        std::ofstream(path, std::ios::binary) << text;
    }
    static std::string readFile(const std::string& path)
    {
        std::ostringstream text;
        text << std::ifstream(path, std::ios::binary).rdbuf();
        return text.str();
    }

    // Opens the settings window with Ctrl+comma and waits until it is on screen.
    SettingsWindow& openSettings()
    {
        pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
        EXPECT_TRUE(runUntil([&] {
            auto shown = delegate().settingsWindow();
            return shown && shown->get_mapped() && shown->content().get_height() > 0;
        }));
        focusWindow(*delegate().settingsWindow());
        return *delegate().settingsWindow();
    }
};

TEST_F(Settings, OneWindowOfRowsDrivesDefaultBrowserClearingHomepageBlockingAndLogs)
{
    // The desktop entry where an install to ~/.local puts it, and the program on the PATH (the desktop wants both).
    g_setenv("PATH", (std::string(QUILLMERE_BUILD_DIR) + "/src:" + g_getenv("PATH")).c_str(), TRUE);
    const std::string applications = std::string(g_get_user_data_dir()) + "/applications/",
                      desktopFile = "com.brenhollow.quillmere.desktop";
    g_mkdir_with_parents(applications.c_str(), 0700);
    std::ofstream(applications + desktopFile)
        << std::ifstream(std::string(QUILLMERE_SOURCE_DIR) + "/resources/" + desktopFile).rdbuf();
    server.route("/",
        Response {200, "text/html", "<title>Storage</title>", {{"Set-Cookie", "visited=yes; Path=/; Max-Age=3600"}}});
    setDefault(kHomepageKey, server.url("/"));
    setDefault(kAdBlockEnabledKey, "sometimes"); // not a boolean: on
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_EQ(evaluate(activeView(), "localStorage.setItem('kept', 'yes'); document.cookie"), "\"visited=yes\"");
    ASSERT_TRUE(runUntil([] { return countLogged("Requested default handler for https") == 1; }));

    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L}); // Ctrl+comma opens the settings window
    ASSERT_TRUE(runUntil([&] {
        auto shown = delegate().settingsWindow();
        return shown && shown->get_mapped() && shown->content().get_height() > 0;
    }));
    SettingsWindow& settings = *delegate().settingsWindow();
    EXPECT_EQ(std::tuple(settings.get_title().raw(), settings.get_width(), settings.get_height(),
                  settings.get_resizable(), settings.adBlockCheckbox().get_active()),
        std::tuple("Quillmere Settings", 440, 700, false, true));
    const std::pair<Gtk::Widget*, Gdk::Rectangle> rows[] = {{&settings.updateButton(), {24, 92, 220, 30}},
        {&settings.updateStatus(), {24, 126, 390, 30}}, {&settings.makeDefaultButton(), {24, 171, 220, 30}},
        {&settings.adBlockCheckbox(), {24, 282, 390, 24}}, {&settings.filterListsStatus(), {24, 312, 232, 30}},
        {&settings.updateFilterListsButton(), {256, 312, 160, 30}}, {&settings.homepageField(), {24, 398, 300, 26}},
        {&settings.saveButton(), {332, 398, 80, 28}}, {&settings.clearDataButton(), {24, 518, 220, 30}},
        {&settings.clearDataStatus(), {24, 553, 390, 20}}, {&settings.showLogsButton(), {24, 592, 220, 30}},
        {&settings.onLaunchChoice(), {92, 434, 320, 28}}};
    for (const auto& [widget, frame] : rows)
        EXPECT_TRUE(allocationIn(*widget, settings.content()) == frame)
            << G_OBJECT_TYPE_NAME(widget->gobj()) << " at y " << frame.get_y();
    std::pair<Glib::ustring, std::string> texts[] = {{settings.updateButton().get_label(), "Check for Updates"},
        {settings.updateStatus().get_text(), "Build 2"},
        {settings.makeDefaultButton().get_label(), "Make Default Browser"},
        {settings.clearDataButton().get_label(), "Clear Cookies & Cache"},
        {dynamic_cast<Gtk::Label&>(*settings.adBlockCheckbox().get_child()).get_text(),
            "Enabled (110k+ rules from EasyList/EasyPrivacy/AdGuard)"},
        {settings.updateFilterListsButton().get_label(), "Update Filter Lists"},
        {settings.filterListsStatus().get_text(), "Filter lists not updated yet"}, // no lists in this bundle
        {settings.homepageField().get_text(), server.url("/")}, {settings.clearDataStatus().get_text(), ""},
        {settings.showLogsButton().get_label(), "Show Logs"}};
    for (const auto& [shown, expected] : texts)
        EXPECT_EQ(shown.raw(), expected);
    // The same window every time; closing only hides it.
    settings.close();
    EXPECT_FALSE(settings.get_visible());
    focusWindow(browser().window());
    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    EXPECT_TRUE(runUntil([&] { return settings.get_mapped(); }) && delegate().settingsWindow().get() == &settings);
    focusWindow(settings);

    // Once at launch, once from the button: each time http, then https.
    click(settings.makeDefaultButton());
    ASSERT_TRUE(runUntil([] { return countLogged("Requested default handler for https") == 2; }));
    std::string chain;
    for (const auto& entry : capturedLog())
        chain += entry.message.find("default handler") == std::string::npos
            ? ""
            : entry.message.substr(0, entry.message.find(':')) + "|";
    EXPECT_EQ(chain,
        "Requested default handler for http|Requested default handler for https|"
        "Requested default handler for http|Requested default handler for https|");
    auto handler = Gio::AppInfo::get_default_for_type("x-scheme-handler/https", false);
    EXPECT_EQ(handler ? handler->get_id() : "", desktopFile);

    // Clearing shows its two texts and removes the cookie and the storage, as a reload shows.
    std::vector<std::string> statuses;
    settings.clearDataStatus().property_label().signal_changed().connect(
        [&] { statuses.push_back(settings.clearDataStatus().get_text()); });
    click(settings.clearDataButton());
    ASSERT_TRUE(runUntil([&] { return statuses.size() == 2; }));
    EXPECT_EQ(statuses, (std::vector<std::string> {"Clearing...", "Cleared cookies, cache, and local storage."}));
    browser().reload();
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/").size() == 2; }));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_EQ(server.requestsFor("/").back().headers.count("Cookie"), 0u);
    EXPECT_EQ(evaluate(activeView(), "localStorage.getItem('kept')"), "null");

    // Return in the field does not save; Save stores the text exactly as typed.
    focusWindow(settings);
    settings.homepageField().grab_focus();
    settings.homepageField().set_text("");
    typeText("http://typed.example");
    pressKey(GDK_KEY_Return);
    EXPECT_EQ(UserDefaults::standard().string(kHomepageKey), server.url("/"));
    for (const char* value : {"  spaced out  ", ""}) {
        settings.homepageField().set_text(value);
        click(settings.saveButton());
        ASSERT_TRUE(runUntil([&] { return UserDefaults::standard().string(kHomepageKey) == value; })) << value;
    }

    // A viewer that cannot start its tool holds exactly the failure line; one that can ends its tool when gone.
    pid_t tool = 0;
    {
        LogViewerWindow broken("/nonexistent/journalctl"), viewer;
        const std::string failure = broken.textView().get_buffer()->get_text();
        EXPECT_TRUE(failure.starts_with("Failed to start log stream: ") && failure.find('\n') == std::string::npos)
            << failure;
        ASSERT_TRUE(viewer.process());
        tool = std::stoi(g_subprocess_get_identifier(viewer.process()));
        ASSERT_EQ(kill(tool, 0), 0);
    }
    ASSERT_TRUE(runUntil([&] { return kill(tool, 0) != 0; })); // GLib reaps it once it has ended

    if (!journalAccepts())
        GTEST_SKIP() << "the live log needs journald (the test command starts it)";
    focusWindow(settings);
    click(settings.showLogsButton());
    ASSERT_TRUE(runUntil([&] { return settings.logViewer() && settings.logViewer()->get_mapped(); }));
    LogViewerWindow& viewer = *settings.logViewer();
    auto text = [&] { return viewer.textView().get_buffer()->get_text().raw(); };
    // The tool shows only what is logged after it started: wait until it follows.
    for (int warmUp = 0; warmUp < 150 && text().find("warm-up") == std::string::npos; ++warmUp, runFor(100))
        quillmereLog.info("warm-up %ld", warmUp);
    ASSERT_NE(text().find("warm-up"), std::string::npos);
    const std::string marker = "marker from the test: Zürich 東京 🛡️";
    quillmereLog.info("%{public}s", marker);
    EXPECT_TRUE(runUntil([&] { return text().find(marker) != std::string::npos; }, 1000)) << text();
    // Again: the same window with the same single tool.
    GSubprocess* process = viewer.process();
    settings.present();
    click(settings.showLogsButton());
    EXPECT_TRUE(settings.logViewer() == &viewer && viewer.process() == process);
}

// One stray line makes GLib reject the whole file: it is kept aside, never written over.
TEST_F(Settings, ADamagedFileIsKeptAsideAndTheBrowserRunsOnDefaults)
{
    server.page("/", "<title>Home</title>");
    const std::string damaged = "# mine\n[defaults]\nquillmereHomepage=" + server.url("/")
        + "\nquillmereAdBlockEnabled=false\nnot a key file line\n";
    writeFile(defaultsPath(), damaged);
    useServerAsProxy(); // the default homepage must not reach the network
    launch();
    // The first load waits a moment for the rule-list store to answer.
    ASSERT_TRUE(runUntil([&] { return webkit_web_view_get_uri(activeView()) != nullptr; }));
    EXPECT_EQ(webkit_web_view_get_uri(activeView()), std::string("https://duckduckgo.com/"));
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForTitle(1, "Home"));

    SettingsWindow& settings = openSettings();
    const std::string copy = UserDefaults::standard().damagedCopy();
    EXPECT_EQ(readFile(copy), damaged);
    EXPECT_EQ(countLogged("Settings file " + defaultsPath() + " is damaged"), 1);
    EXPECT_EQ(std::tuple(settings.fileNotice().get_visible(), settings.fileNotice().get_text().raw()),
        std::tuple(true,
            "Your settings file was damaged; it was kept as " + copy.substr(copy.rfind('/') + 1)
                + " and defaults are in use"));
    EXPECT_EQ(std::tuple(settings.adBlockCheckbox().get_active(), settings.homepageField().get_text().raw(),
                  settings.get_height()),
        std::tuple(true, "https://duckduckgo.com", 700))
        << "the notice fits under the last row";
    click(settings.adBlockCheckbox());
    EXPECT_TRUE(runUntil([&] { return readFile(defaultsPath()) == "[defaults]\nquillmereAdBlockEnabled=false\n"; }))
        << readFile(defaultsPath());
    EXPECT_EQ(readFile(copy), damaged);
}

// Here a directory stands where the file belongs: permission bits would not stop root.
TEST_F(Settings, AnUnreadableFileIsLeftAloneAndChangesLastTheSession)
{
    server.page("/session", "<title>Session</title>");
    writeFile(defaultsPath() + "/kept", "mine");
    useServerAsProxy();
    launch();
    SettingsWindow& settings = openSettings();
    EXPECT_EQ(settings.fileNotice().get_text().raw(),
        "Your settings file could not be read; defaults are in use and changes cannot be saved");
    settings.homepageField().set_text(server.url("/session"));
    click(settings.saveButton());
    ASSERT_TRUE(runUntil([] { return countLogged("Setting quillmereHomepage not saved") == 1; }));
    EXPECT_EQ(countLogged("Settings file " + defaultsPath() + " cannot be read (not a regular file)"), 1);
    EXPECT_EQ(readFile(defaultsPath() + "/kept"), "mine");
    // The new homepage holds for this session.
    focusWindow(browser().window());
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L});
    EXPECT_TRUE(waitForTitle(1, "Session"));
}

// The file is a link into the user's own folder, carries comments, a key of another
// program and a word where a boolean belongs, and is edited while the browser runs.
TEST_F(Settings, ChangesKeepOutsideEditsCommentsAndUnknownKeysAndWriteThroughALink)
{
    server.page("/", "<title>Home</title>");
    const std::string target = std::string(g_get_user_config_dir()) + "/dotfiles/quillmere.ini";
    writeFile(target,
        "# mine\n\n[defaults]\n# start here\nquillmereHomepage=" + server.url("/")
            + "\nquillmereAdBlockEnabled=sometimes\nsomeFutureKey=1\n");
    std::filesystem::create_directories(std::filesystem::path(defaultsPath()).parent_path());
    std::filesystem::create_symlink("../dotfiles/quillmere.ini", defaultsPath());
    launch();
    ASSERT_TRUE(waitForTitle(0, "Home"));
    SettingsWindow& settings = openSettings();
    EXPECT_TRUE(settings.adBlockCheckbox().get_active()) << "not a boolean: on";
    EXPECT_FALSE(settings.fileNotice().get_visible());

    std::string edited = "# mine\n\n[defaults]\n# start here\nquillmereHomepage=" + server.url("/")
        + "\nquillmereAdBlockEnabled=sometimes\nsomeFutureKey=2\naddedMeanwhile=yes\n";
    writeFile(target, edited);
    settings.homepageField().set_text(server.url("/new"));
    click(settings.saveButton());
    edited.replace(edited.find(server.url("/")), server.url("/").size(), server.url("/new"));
    EXPECT_TRUE(runUntil([&] { return readFile(target) == edited; })) << readFile(target);
    click(settings.adBlockCheckbox());
    edited.replace(edited.find("sometimes"), 9, "false");
    EXPECT_TRUE(runUntil([&] { return readFile(target) == edited; })) << readFile(target);
    EXPECT_EQ(std::filesystem::read_symlink(defaultsPath()), "../dotfiles/quillmere.ini");
    EXPECT_EQ(countLogged("Setting quillmereAdBlockEnabled in "), 1) << "one log line, however often it is read";
}
