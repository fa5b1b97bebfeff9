// Session restore: the real program opens tabs and ends (closed, or killed), and the next
// launch, here in-process, finds its tabs; prepared session files cover what a launch does
// with restored tabs, a damaged file, the homepage choice and a session that kept crashing.
#include "support/Browser.h"
#include "support/Input.h"
#include "support/Program.h"

#include "platform/UserDefaults.h"
#include "session/SessionFile.h"
#include "settings/SettingsWindow.h"

#include <gdk/gdkkeysyms.h>

#include <filesystem>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class SessionRestore : public BrowserTest {
protected:
    SessionRestore()
    {
        for (const char* name : {"Home", "One", "Two", "Three", "A", "B", "C", "D", "Gone"})
            server.page("/" + Glib::ustring(name).lowercase(), std::string("<title>") + name + "</title>");
        setDefault(kHomepageKey, server.url("/home"));
        // A page that moves on to /two once loaded, so that /two's tab has a page behind it.
        server.page(
            "/hop", "<title>Hop</title><script>onload = () => setTimeout(() => location.href = '/two', 50)</script>");
    }

    static std::optional<Session> saved()
    {
        gchar* contents = nullptr;
        gsize length = 0;
        if (!g_file_get_contents(SessionFile::defaultPath().c_str(), &contents, &length, nullptr))
            return std::nullopt;
        std::string text(contents, length);
        g_free(contents);
        return SessionFile::parse(text);
    }
    // The saved tabs as "title path" and the active index, e.g. "One /one|Two /two @1".
    std::string savedTabs()
    {
        auto session = saved();
        if (!session)
            return "none";
        std::string text;
        for (const auto& tab : session->tabs)
            text += tab.title + " " + tab.uri.substr(std::min(tab.uri.size(), server.url("").size())) + "|";
        return text + " @" + std::to_string(session->active);
    }
    // Waits until the session file answers `done`, looking every 50 ms: nothing wakes
    // this process when another one writes the file.
    static bool waitForFile(const std::function<bool()>& done, int timeoutMs = 20000)
    {
        const guint tick = g_timeout_add(
            50, [](gpointer) -> gboolean { return G_SOURCE_CONTINUE; }, nullptr);
        const bool met = runUntil(done, timeoutMs);
        g_source_remove(tick);
        return met;
    }
    bool waitForSaved(const std::string& expected, int timeoutMs = 20000)
    {
        return waitForFile([&] { return savedTabs() == expected; }, timeoutMs);
    }
    static void writeSession(const Session& session)
    {
        ASSERT_TRUE(SessionFile::write(SessionFile::defaultPath(), SessionFile::serialize(session)));
    }
    std::string titles()
    {
        std::string text;
        for (int i = 0; i < tabCount(); ++i)
            text += tab(i).title() + "|";
        return text + " @" + std::to_string(browser().activeTabIndex());
    }

    // The installed program, run as a user runs it, opens /one, /two and /three in three
    // tabs (the last one active) and saves them.
    std::unique_ptr<Program> runThreeTabs()
    {
        const std::string binary = installCopy(QUILLMERE_BINARY, "");
        auto program = std::make_unique<Program>(binary, std::vector<std::string> {server.url("/one")});
        EXPECT_TRUE(waitForSaved("One /one| @0", 60000)) << savedTabs() << program->standardError();
        for (const char* path : {"/hop", "/three"}) {
            // A second launch hands its address to the running copy, which opens it in a new tab.
            Program handOver(binary, {server.url(path)});
            EXPECT_TRUE(handOver.waitForExit() && handOver.exitStatus() == 0);
            const std::string shown = path == std::string("/hop") ? "/two" : path;
            EXPECT_TRUE(waitForFile([&] { return savedTabs().find(shown) != std::string::npos; }));
        }
        EXPECT_TRUE(waitForSaved("One /one|Two /two|Three /three| @2")) << savedTabs();
        return program;
    }

    // The next launch has the three tabs back, the last one active and loaded; the others
    // get their pages, with their back and forward history, when first shown.
    void expectThreeTabsRestored()
    {
        launch();
        ASSERT_EQ(titles(), "One|Two|Three| @2");
        EXPECT_TRUE(browser().restoredSession());
        EXPECT_TRUE(waitForLoad(activeView(), server.url("/three")));
        EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/three"));
        EXPECT_TRUE(tab(0).webView() == nullptr && tab(1).webView() == nullptr);
        browser().switchToTab(1);
        ASSERT_TRUE(waitForLoad(activeView(), server.url("/two")));
        EXPECT_TRUE(waitForTitle(1, "Two"));
        // Its first page was the one that moved on to it.
        EXPECT_TRUE(webkit_web_view_can_go_back(activeView()));
        browser().goBack();
        EXPECT_TRUE(waitForLoad(activeView(), server.url("/hop")));
    }
};

} // namespace

TEST_F(SessionRestore, ThreeTabsComeBackAfterTheWindowIsClosed)
{
    auto program = runThreeTabs();
    program->closeWindows();
    ASSERT_TRUE(program->waitForExit() && program->exitStatus() == 0) << program->standardError();
    ASSERT_TRUE(saved() && saved()->launch.clean);
    expectThreeTabsRestored();
}

TEST_F(SessionRestore, ThreeTabsComeBackAfterTheProgramIsKilled)
{
    auto program = runThreeTabs();
    program->kill();
    ASSERT_TRUE(program->waitForExit());
    ASSERT_TRUE(saved() && !saved()->launch.clean);
    expectThreeTabsRestored();
}

// Two launches in a row crash within a minute of restoring: the third opens the homepage
// and offers the tabs in a bar.
TEST_F(SessionRestore, ASessionThatCrashedTheBrowserTwiceIsOfferedInsteadOfRestored)
{
    const std::string binary = installCopy(QUILLMERE_BINARY, "");
    {
        Program first(binary, {server.url("/one")});
        ASSERT_TRUE(waitForSaved("One /one| @0", 30000)) << savedTabs();
        first.kill();
        ASSERT_TRUE(first.waitForExit());
    }
    for (int streak : {0, 1}) {
        Program restoring(binary, {});
        ASSERT_TRUE(waitForFile(
            [&] {
                auto session = saved();
                return session && session->launch.restored && session->launch.crashStreak == streak;
            },
            30000))
            << streak;
        restoring.kill();
        ASSERT_TRUE(restoring.waitForExit());
    }

    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/home")));
    EXPECT_FALSE(browser().restoredSession());
    ASSERT_TRUE(browser().restoreBar().get_visible());
    EXPECT_TRUE(logged("The previous 2 launches crashed soon after restoring their tabs; offering them instead of "
                       "restoring"));
    click(browser().restoreButton());
    EXPECT_FALSE(browser().restoreBar().get_visible());
    ASSERT_EQ(titles(), "One| @0"); // in place of the untouched homepage tab
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/one")));
}

// An update's relaunch starts the new copy while the old one is still ending: the old
// one's unfinished record is no crash, and the old one leaves the file to the new one.
TEST_F(SessionRestore, ALaunchWhileThePreviousOneStillEndsRestoresAndLeavesTheFileToTheNewer)
{
    GSubprocess* other = g_subprocess_new(G_SUBPROCESS_FLAGS_NONE, nullptr, "sleep", "60", nullptr);
    ASSERT_TRUE(other);
    const std::string running = SessionFile::launchIdOf(std::atoi(g_subprocess_get_identifier(other)));
    ASSERT_TRUE(SessionFile::isRunning(running));
    Session session;
    session.tabs = {{server.url("/a"), "Saved A", ""}};
    // Had it crashed, this would be the second crash in a row after restoring.
    session.launch = {running, false, true, false, 1};
    writeSession(session);
    launch();
    EXPECT_TRUE(browser().restoredSession());
    EXPECT_FALSE(browser().restoreBar().get_visible());
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/a")));

    // Now this copy is the old one: a newer one has taken the file over.
    writeSession(session);
    browser().sessionDidEnd();
    EXPECT_EQ(savedTabs(), "Saved A /a| @0");
    EXPECT_EQ(saved()->launch.id, running);
    g_subprocess_force_exit(other);
    g_object_unref(other);
}

TEST_F(SessionRestore, RestoredTabsLoadWhenFirstShownAndAddressesHandedInOpenAfterThem)
{
    Session session;
    session.tabs = {{server.url("/a"), "Saved A", ""},
        // Another engine's state (or none it can read): the address alone restores it.
        {server.url("/b"), "Saved B", "bm90IGEgc3RhdGU="}, {server.url("/c"), "Saved C", ""}};
    session.active = 1;
    session.closed = {{server.url("/gone"), "Gone", ""}};
    session.launch = {"another-boot:1:1", true, false, false, 0};
    writeSession(session);

    launch({server.url("/d")});
    ASSERT_TRUE(waitForTitle(1, "B") && waitForTitle(3, "D"));
    EXPECT_EQ(titles(), "Saved A|B|Saved C|D| @3");
    EXPECT_EQ(browser().tabBar().tabButtons().size(), 4u);
    EXPECT_TRUE(tab(0).webView() == nullptr && tab(2).webView() == nullptr);
    EXPECT_FALSE(server.sawPath("/a") || server.sawPath("/c"));
    browser().switchToTab(2);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/c")));
    EXPECT_TRUE(waitForTitle(2, "C"));

    // A closed tab comes back with its title; the recently closed list is saved with the session.
    browser().closeTab(2);
    EXPECT_TRUE(waitForSaved("Saved A /a|B /b|D /d| @2")) << savedTabs();
    EXPECT_EQ(saved()->closed.size(), 2u);
    focusWindow(browser().window());
    browser().addressField().grab_focus();
    pressKey(GDK_KEY_T, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    ASSERT_EQ(tabCount(), 4);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/c")));
    browser().reopenClosedTab();
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/gone")));
    EXPECT_TRUE(browser().closedTabs().empty());
}

TEST_F(SessionRestore, ADamagedSessionFileIsMovedAsideAndTheHomepageOpens)
{
    g_mkdir_with_parents(std::filesystem::path(SessionFile::defaultPath()).parent_path().c_str(), 0700);
    ASSERT_TRUE(g_file_set_contents(SessionFile::defaultPath().c_str(), "{\"format\":1,\"tabs\":[{", -1, nullptr));
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/home")));
    EXPECT_EQ(tabCount(), 1);
    EXPECT_EQ(countLogged("Session file " + SessionFile::defaultPath() + " is damaged (not a session); kept as"), 1);
    int kept = 0;
    for (const auto& entry :
        std::filesystem::directory_iterator(std::filesystem::path(SessionFile::defaultPath()).parent_path()))
        kept += entry.path().filename().string().starts_with("session.json.damaged-");
    EXPECT_EQ(kept, 1);
    EXPECT_TRUE(waitForSaved("Home /home| @0"));
}

TEST_F(SessionRestore, TheSettingChoosesBetweenRestoringAndTheHomepage)
{
    Session session;
    session.tabs = {{server.url("/a"), "Saved A", ""}};
    session.launch = {"another-boot:1:1", true, false, false, 0};
    writeSession(session);
    setDefault(kRestoreTabsKey, "false");
    launch();
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/home")));
    EXPECT_EQ(tabCount(), 1);
    EXPECT_FALSE(browser().restoredSession());

    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([&] { return delegate().settingsWindow() && delegate().settingsWindow()->get_mapped(); }));
    Gtk::DropDown& choice = delegate().settingsWindow()->onLaunchChoice();
    EXPECT_EQ(choice.get_selected(), 1u);
    choice.set_selected(0);
    EXPECT_EQ(UserDefaults::standard().boolean(kRestoreTabsKey), std::optional<bool>(true));
    choice.set_selected(1);
    EXPECT_EQ(UserDefaults::standard().boolean(kRestoreTabsKey), std::optional<bool>(false));
}
