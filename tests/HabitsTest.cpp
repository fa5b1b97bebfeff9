// What users of other browsers reach for without thinking: find in page, the keys and
// mouse buttons, links opened behind the current tab, and reopening a closed tab.
#include "support/Browser.h"
#include "support/Input.h"

#include "browser/FindBar.h"
#include "browser/ZoomLevels.h"
#include "history/AddressSuggestions.h"
#include "platform/ProfileDatabase.h"
#include "platform/UserDefaults.h"
#include "settings/SettingsWindow.h"

#include <gdk/gdkkeysyms.h>
#include <gtkmm/overlay.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Habits : public BrowserTest {
protected:
    void launchOn(const std::string& path)
    {
        setDefault(kHomepageKey, server.url(path));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
        gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    }
    std::string uri(int index)
    {
        const char* uri = webkit_web_view_get_uri(tab(index).webView());
        return uri ? uri : "";
    }
    bool focusedOnAddress()
    {
        Gtk::Widget* focus = browser().window().get_focus();
        return focus && (focus == &browser().addressField() || focus->is_ancestor(browser().addressField()));
    }
};

} // namespace

TEST_F(Habits, FindInPageCountsMatchesAndWalksThemBothWays)
{
    server.page("/", "<title>Find</title><p>Otter one, an otter two.</p><p>OTTER three and otters here</p>");
    launchOn("/");
    pressKey(GDK_KEY_f, {GDK_KEY_Control_L});
    FindBar& bar = tab(0).findBar();
    ASSERT_TRUE(runUntil([&] {
        Gtk::Widget* focus = browser().window().get_focus();
        return bar.get_visible() && focus && focus->is_ancestor(bar.entry());
    }));
    typeText("otter");
    EXPECT_TRUE(runUntil([&] { return bar.status().get_text() == "1 of 4"; })) << bar.status().get_text();
    for (const char* expected : {"2 of 4", "3 of 4", "4 of 4", "1 of 4"}) {
        pressKey(GDK_KEY_Return);
        EXPECT_EQ(bar.status().get_text(), expected);
    }
    pressKey(GDK_KEY_Return, {GDK_KEY_Shift_L});
    EXPECT_EQ(bar.status().get_text(), "4 of 4");
    typeText("s");
    EXPECT_TRUE(runUntil([&] { return bar.status().get_text() == "1 of 1"; })) << bar.status().get_text();
    typeText("zz");
    EXPECT_TRUE(runUntil([&] { return bar.status().get_text() == "No matches"; }));
    // Escape closes the address suggestions before the bar, then the bar, giving the
    // keyboard back to the page.
    browser().addressField().grab_focus();
    typeText("otter");
    ASSERT_TRUE(runUntil([&] { return browser().suggestions().shown(); }));
    pressKey(GDK_KEY_Escape);
    EXPECT_TRUE(!browser().suggestions().shown() && bar.get_visible());
    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_Escape);
    EXPECT_TRUE(runUntil([&] { return !bar.get_visible(); }));
    EXPECT_TRUE(gtk_widget_has_focus(GTK_WIDGET(activeView())));
    // Each tab has its own bar.
    browser().openNewTab();
    EXPECT_FALSE(tab(1).hasFindBar());
}

TEST_F(Habits, KeysAndMouseButtonsNavigateReloadAndSwitchTabs)
{
    server.page("/", "<title>One</title><a id=next href='/two'>next</a>");
    server.page("/two", "<title>Two</title>");
    server.route("/slow", Response {200, "text/html", "<title>Slow</title>", {}, 5000});
    launchOn("/");
    browser().loadURL(server.url("/two"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/two")));

    // Back and forward: Alt+Left and Alt+Right, and the mouse's side buttons.
    pressKey(GDK_KEY_Left, {GDK_KEY_Alt_L});
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/")));
    pressKey(GDK_KEY_Right, {GDK_KEY_Alt_L});
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/two")));
    clickAt(*tab(0).widget(), 100, 100, 8);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/")));
    clickAt(*tab(0).widget(), 100, 100, 9);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/two")));

    // Reload with Ctrl+R and F5; Ctrl+Shift+R and Shift+F5 ask past the cache.
    for (auto [key, modifiers, bypass] :
        {std::tuple {GDK_KEY_r, std::vector<unsigned> {GDK_KEY_Control_L}, false}, {GDK_KEY_F5, {}, false},
            {GDK_KEY_r, {GDK_KEY_Control_L, GDK_KEY_Shift_L}, true}, {GDK_KEY_F5, {GDK_KEY_Shift_L}, true}}) {
        const size_t before = server.requestsFor("/two").size();
        if (modifiers.size() == 2)
            pressKey(key, {modifiers[0], modifiers[1]});
        else if (modifiers.size() == 1)
            pressKey(key, {modifiers[0]});
        else
            pressKey(key);
        ASSERT_TRUE(runUntil([&] { return server.requestsFor("/two").size() == before + 1; })) << key;
        const auto& headers = server.requestsFor("/two").back().headers;
        const bool noCache = headers.count("Cache-Control") && headers.at("Cache-Control") == "no-cache";
        EXPECT_EQ(noCache, bypass) << key;
        ASSERT_TRUE(waitForLoad(activeView(), server.url("/two")));
    }

    // Ctrl+L, Alt+D and F6 put the keyboard in the address field with the address selected.
    for (auto [key, modifier] :
        {std::pair {GDK_KEY_l, GDK_KEY_Control_L}, {GDK_KEY_d, GDK_KEY_Alt_L}, {GDK_KEY_F6, 0u}}) {
        gtk_widget_grab_focus(GTK_WIDGET(activeView()));
        modifier ? pressKey(key, {modifier}) : pressKey(key);
        int start = 0, end = 0;
        EXPECT_TRUE(focusedOnAddress() && browser().addressField().get_selection_bounds(start, end)) << key;
        EXPECT_EQ(end - start, static_cast<int>(server.url("/two").size())) << key;
    }

    // Escape stops a load.
    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    browser().loadURL(server.url("/slow"));
    ASSERT_TRUE(runUntil([&] { return webkit_web_view_is_loading(activeView()) && server.sawPath("/slow"); }));
    pressKey(GDK_KEY_Escape);
    EXPECT_TRUE(runUntil([&] { return !webkit_web_view_is_loading(activeView()); }, 2000));

    // Tab switching: Ctrl+Tab and Ctrl+PageDown forward, Ctrl+Shift+Tab and Ctrl+PageUp
    // back, both wrapping; Ctrl+1..8 a tab by its place, Ctrl+9 the last.
    for (int i = 0; i < 3; ++i)
        browser().openNewTab(server.url("/"));
    ASSERT_EQ(browser().activeTabIndex(), 3);
    const std::pair<std::vector<unsigned>, int> steps[] = {{{GDK_KEY_Tab}, 0}, {{GDK_KEY_Page_Down}, 1},
        {{GDK_KEY_Shift_L, GDK_KEY_Tab}, 0}, {{GDK_KEY_Page_Up}, 3}, {{GDK_KEY_2}, 1}, {{GDK_KEY_9}, 3},
        {{GDK_KEY_1}, 0}, {{GDK_KEY_8}, 0}};
    for (const auto& [keys, expected] : steps) {
        if (keys.size() == 2)
            pressKey(keys[1], {GDK_KEY_Control_L, keys[0]});
        else
            pressKey(keys[0], {GDK_KEY_Control_L});
        EXPECT_EQ(browser().activeTabIndex(), expected) << keys.back();
    }

    // F11 fills the screen with the browser's controls still there.
    // (Without a window manager the request is all there is to see.)
    pressKey(GDK_KEY_F11);
    EXPECT_TRUE(browser().fullscreenRequested());
    EXPECT_TRUE(browser().toolbar().get_mapped() && browser().tabBar().get_mapped());
    pressKey(GDK_KEY_F11);
    EXPECT_FALSE(browser().fullscreenRequested());
}

TEST_F(Habits, ZoomMovesInStepsPerSiteIsShownInTheAddressFieldAndRemembered)
{
    EXPECT_EQ(ZoomLevels::step(3.0, 1), 3.0);
    EXPECT_EQ(ZoomLevels::step(0.3, -1), 0.3);
    EXPECT_EQ(ZoomLevels::step(1.15, 1), 1.2);
    EXPECT_EQ(ZoomLevels::step(1.15, -1), 1.1);
    {
        // A level chosen in an earlier run.
        auto database = std::make_shared<ProfileDatabase>(ProfileDatabase::defaultPath());
        ZoomLevels(database).set("localhost", 1.5);
        database->flush();
    }
    server.page("/", "<title>Zoom</title><div style='height:4000px'>tall</div>");
    launchOn("/");
    auto level = [&] { return webkit_web_view_get_zoom_level(activeView()); };
    Gtk::Button& shown = browser().zoomButton();
    EXPECT_FALSE(shown.get_visible());

    pressKey(GDK_KEY_plus, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    pressKey(GDK_KEY_equal, {GDK_KEY_Control_L});
    EXPECT_DOUBLE_EQ(level(), 1.2);
    EXPECT_TRUE(shown.get_visible() && shown.get_label() == "120%");
    pressKey(GDK_KEY_minus, {GDK_KEY_Control_L});
    EXPECT_DOUBLE_EQ(level(), 1.1);
    // Control with the wheel zooms and does not scroll the page.
    holdingKeys({GDK_KEY_Control_L}, [&] { scrollWheel(*tab(0).widget(), -1); });
    EXPECT_TRUE(runUntil([&] { return level() == 1.2; }));
    holdingKeys({GDK_KEY_Control_L}, [&] { scrollWheel(*tab(0).widget(), 2); });
    EXPECT_TRUE(runUntil([&] { return level() == 1.0; })) << level();
    EXPECT_EQ(evaluate(activeView(), "scrollY"), "0");
    for (int i = 0; i < 20; ++i)
        pressKey(GDK_KEY_minus, {GDK_KEY_Control_L});
    EXPECT_DOUBLE_EQ(level(), 0.3);
    EXPECT_EQ(shown.get_label(), "30%");

    // The level belongs to the site: a new tab of it starts there, another site does not,
    // and a site zoomed in an earlier run comes back at its level.
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_DOUBLE_EQ(level(), 0.3);
    const std::string other = "http://localhost:" + std::to_string(server.port()) + "/";
    browser().loadURL(other);
    ASSERT_TRUE(waitForLoad(activeView(), other));
    EXPECT_DOUBLE_EQ(level(), 1.5);
    EXPECT_EQ(shown.get_label(), "150%");
    // Ctrl+0 and a click on the level go back to 100%, for the site.
    pressKey(GDK_KEY_0, {GDK_KEY_Control_L});
    EXPECT_DOUBLE_EQ(level(), 1.0);
    EXPECT_FALSE(shown.get_visible());
    browser().switchToTab(0);
    ASSERT_TRUE(runUntil([&] { return shown.get_mapped(); }));
    click(shown);
    EXPECT_TRUE(runUntil([&] { return level() == 1.0 && !shown.get_visible(); }));
    browser().profileDatabase().flush();
    std::optional<std::int64_t> stored;
    browser().profileDatabase().read<std::optional<std::int64_t>>(
        "", [](SqliteConnection& db) { return db.queryInteger("SELECT count(*) FROM zoom_levels"); },
        [&](auto count) { stored = count.value_or(-1); });
    EXPECT_TRUE(runUntil([&] { return stored.has_value(); }));
    EXPECT_EQ(stored, 0);
}

TEST_F(Habits, LinksOpenBehindTheirOpenerAndClosedTabsComeBackWithTheirHistory)
{
    server.page("/",
        "<title>Opener</title><a id=a href='/a' style='display:block;height:40px'>a</a>"
        "<a id=b href='/b' style='display:block;height:40px'>b</a>");
    server.page("/a", "<title>A</title>");
    server.page("/b", "<title>B</title>");
    server.page("/other", "<title>Other</title>");
    launchOn("/");
    browser().openNewTab(server.url("/other"));
    browser().switchToTab(0);

    // A middle click and a Control click open the link in a background tab right after
    // the opener and its earlier links; the opener stays shown.
    clickAt(*tab(0).widget(), 50, 20, 2);
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    ASSERT_TRUE(waitForTitle(1, "A"));
    holdingKeys({GDK_KEY_Control_L}, [&] { clickAt(*tab(0).widget(), 50, 60); });
    ASSERT_TRUE(runUntil([&] { return tabCount() == 4; }));
    EXPECT_TRUE(waitForTitle(2, "B"));
    EXPECT_EQ(tab(3).title(), "Other");
    EXPECT_EQ(browser().activeTabIndex(), 0);
    EXPECT_EQ(uri(0), server.url("/"));

    // A middle click on a tab closes it.
    clickAt(*browser().tabBar().tabButtons().at(3), 20, 10, 2);
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));

    // Ctrl+Shift+T brings the last closed tab back, history and all.
    browser().switchToTab(1);
    browser().loadURL(server.url("/b"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/b")));
    browser().closeTab(1);
    ASSERT_EQ(tabCount(), 2);
    gtk_widget_grab_focus(GTK_WIDGET(activeView()));
    pressKey(GDK_KEY_t, {GDK_KEY_Control_L, GDK_KEY_Shift_L});
    ASSERT_TRUE(runUntil([&] { return tabCount() == 3; }));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/b")));
    ASSERT_TRUE(webkit_web_view_can_go_back(activeView()));
    browser().goBack();
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/a")));
}

TEST_F(Habits, TheApplicationsKeysWorkInTheSettingsAndLogWindows)
{
    server.page("/", "<title>Home</title>");
    launchOn("/");
    application()->activate_action("openSettings");
    SettingsWindow& settings = *delegate().settingsWindow();
    ASSERT_TRUE(runUntil([&] { return settings.get_mapped(); }));
    EXPECT_EQ(settings.get_application(), application());
    int quits = 0;
    auto quit = std::dynamic_pointer_cast<Gio::SimpleAction>(application()->lookup_action("quit"));
    quit->set_enabled(false); // count the key, keep the test's program running
    application()->add_action("quit", [&] { ++quits; });
    focusWindow(settings);
    pressKey(GDK_KEY_q, {GDK_KEY_Control_L});
    EXPECT_TRUE(runUntil([&] { return quits == 1; }));
}
