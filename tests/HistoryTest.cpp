// History in the running browser: what is recorded, the suggestions under the address
// field, the history window, site icons and clearing.
#include "support/Browser.h"
#include "support/Input.h"

#include "history/AddressSuggestions.h"
#include "history/HistoryStore.h"
#include "history/HistoryWindow.h"
#include "history/SiteIcons.h"
#include "platform/UserDefaults.h"
#include "settings/SettingsWindow.h"

#include <gdk-pixbuf/gdk-pixbuf.h>
#include <gdk/gdkkeysyms.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr std::int64_t kDay = 24LL * 3600 * 1000000;

class History : public BrowserTest {
protected:
    void launchOn(const std::string& path)
    {
        setDefault(kHomepageKey, server.url(path));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
    }
    void visit(const std::string& path)
    {
        browser().loadURL(server.url(path));
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
    }
    // Every visit, newest first, as "title uri" with the address relative to the server.
    std::vector<std::string> visits()
    {
        std::optional<std::vector<HistoryVisit>> answer;
        browser().history().listVisits("", nullptr, 1000, [&](auto found) { answer = std::move(found); });
        EXPECT_TRUE(runUntil([&] { return answer.has_value(); }));
        std::vector<std::string> shown;
        for (const auto& visit : answer.value_or(std::vector<HistoryVisit> {})) {
            std::string uri = visit.uri;
            if (uri.starts_with(server.url("")))
                uri = uri.substr(server.url("").size());
            shown.push_back(visit.title + " " + uri);
        }
        return shown;
    }
    bool waitForVisits(const std::vector<std::string>& expected)
    {
        return runUntil([&] { return visits() == expected; }, 10000);
    }
    void type(const std::string& text)
    {
        browser().addressField().grab_focus();
        browser().addressField().set_text("");
        typeText(text);
    }
    AddressSuggestions& suggestions() { return browser().suggestions(); }
    std::string viewURI() { return webkit_web_view_get_uri(activeView()) ? webkit_web_view_get_uri(activeView()) : ""; }
};

std::string pngIcon()
{
    g_autoptr(GdkPixbuf) pixbuf = gdk_pixbuf_new(GDK_COLORSPACE_RGB, TRUE, 8, 16, 16);
    gdk_pixbuf_fill(pixbuf, 0x3366ccff);
    gchar* buffer = nullptr;
    gsize size = 0;
    gdk_pixbuf_save_to_buffer(pixbuf, &buffer, &size, "png", nullptr, nullptr);
    std::string bytes(buffer, size);
    g_free(buffer);
    return bytes;
}

} // namespace

TEST_F(History, FinishedLoadsAndSameDocumentNavigationsAreRecordedWithTheirTitlesButEnginePagesAreNot)
{
    server.page("/home", "<title>Home</title>");
    server.page("/probe", "<title>Quillmere Remember Probe</title>");
    server.page("/late", "<script>onload = () => setTimeout(() => document.title = 'Late Title', 200)</script>");
    server.page("/app", "<title>App</title><a id=anchor href=#part>part</a>");
    launchOn("/home");
    visit("/probe");
    visit("/late");
    ASSERT_TRUE(waitForTitle(0, "Late Title"));
    visit("/probe");
    // pushState, replaceState and an anchor change the address without a load.
    visit("/app");
    evaluate(activeView(), "history.pushState({}, '', '/app/next')");
    evaluate(activeView(), "history.replaceState({}, '', '/app/other')");
    evaluate(activeView(), "document.getElementById('anchor').click()");
    ASSERT_TRUE(runUntil([&] { return browser().addressField().get_text().raw() == server.url("/app/other#part"); }));
    // A load that fails shows the engine's error page: no visit.
    const std::string refused = [] {
        TestServer gone;
        return gone.url("/refused");
    }();
    browser().loadURL(refused);
    ASSERT_TRUE(runUntil([&] { return viewURI() == refused && !webkit_web_view_is_loading(activeView()); }))
        << viewURI();
    EXPECT_TRUE(waitForVisits({"App /app/other#part", "App /app/other", "App /app/next", "App /app",
        "Quillmere Remember Probe /probe", "Late Title /late", "Quillmere Remember Probe /probe", "Home /home"}))
        << testing::PrintToString(visits());
    EXPECT_EQ(tab(0).title(), "App");
}

TEST_F(History, TypingShowsSuggestionsThatKeysAndClicksOpenAndEnterAloneLoadsWhatWasTyped)
{
    server.page("/home", "<title>Home</title>");
    server.page("/probe", "<title>Quillmere Remember Probe</title>");
    server.page("/other", "<title>Another Remembered Page</title>");
    server.page("/typed", "<title>Typed</title>");
    launchOn("/home");
    visit("/other");
    visit("/probe");
    visit("/probe");
    visit("/home");
    browser().history().database().flush();

    type("remember pro");
    ASSERT_TRUE(runUntil([&] { return suggestions().query() == "remember pro"; }));
    EXPECT_EQ(
        suggestions().lines(), (std::vector<std::string> {"Search for \"remember pro\"", "Quillmere Remember Probe"}));
    EXPECT_EQ(suggestions().selected(), -1);
    // Up and Down select, Enter opens.
    pressKey(GDK_KEY_Down);
    pressKey(GDK_KEY_Down);
    EXPECT_EQ(suggestions().selected(), 1);
    pressKey(GDK_KEY_Up);
    pressKey(GDK_KEY_Down);
    pressKey(GDK_KEY_Return);
    EXPECT_FALSE(suggestions().shown());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/probe")));

    // A newer keystroke's list replaces the older one's; the better ranked page comes first.
    type("rememb");
    ASSERT_TRUE(runUntil([&] { return suggestions().query() == "rememb"; }));
    ASSERT_EQ(suggestions().lines().size(), 3u)
        << testing::PrintToString(suggestions().lines()) << testing::PrintToString(visits());
    EXPECT_EQ(suggestions().lines()[1], "Quillmere Remember Probe");
    // Escape closes the list and keeps the text; a second one brings back the page's address.
    pressKey(GDK_KEY_Escape);
    EXPECT_FALSE(suggestions().shown());
    EXPECT_EQ(browser().addressField().get_text().raw(), "rememb");
    pressKey(GDK_KEY_Escape);
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/probe"));

    // A click opens a line.
    type("another");
    ASSERT_TRUE(runUntil([&] { return suggestions().query() == "another"; }));
    click(*suggestions().list().get_row_at_index(1));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/other")));

    // The first line searches for the text, even text that looks like an address.
    type("remember.pro");
    ASSERT_TRUE(runUntil([&] { return suggestions().query() == "remember.pro"; }));
    EXPECT_EQ(suggestions().lines().size(), 1u);
    pressKey(GDK_KEY_Down);
    pressKey(GDK_KEY_Return);
    EXPECT_TRUE(runUntil([&] { return viewURI() == "https://duckduckgo.com/?q=remember.pro"; })) << viewURI();

    // With nothing selected, Enter loads what was typed, as it always did.
    type(server.url("/typed"));
    ASSERT_TRUE(runUntil([&] { return suggestions().query() == server.url("/typed"); }));
    pressKey(GDK_KEY_Return);
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/typed")));
    EXPECT_FALSE(suggestions().shown());
    // The program's own text in the field suggests nothing.
    browser().loadURL(server.url("/probe"));
    runFor(200);
    EXPECT_FALSE(suggestions().shown());
}

TEST_F(History, TheHistoryWindowListsVisitsByDaySearchesOpensDeletesAndClearsWithIconsAndClosedTabs)
{
    const std::string icon = pngIcon();
    server.route("/icon.png", Response {200, "image/png", icon, {}});
    const std::string head = "<link rel=icon href=/icon.png>";
    server.page("/alpha", head + "<title>Alpha</title>");
    server.page("/beta", head + "<title>Beta</title>");
    launchOn("/alpha");
    // The tab shows its site's icon before the title.
    ASSERT_TRUE(runUntil([&] { return tab(0).icon() && browser().tabBar().iconOf(0); }));
    visit("/beta");
    browser().openNewTab(server.url("/alpha"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/alpha")));
    browser().closeTab(1);
    ASSERT_EQ(browser().closedTabs().size(), 1u);
    browser().history().recordVisit("https://yesterday.example/", "Gamma", HistoryStore::now() - kDay);
    browser().history().recordVisit("https://long-ago.example/", "Delta", HistoryStore::now() - 9 * kDay);
    bool iconStored = false;
    SiteIcons::lookup(server.url("/beta"), [&](GdkTexture* texture) { iconStored = texture; });
    EXPECT_TRUE(runUntil([&] { return iconStored; }));

    pressKey(GDK_KEY_h, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([&] { return browser().historyWindow() && browser().historyWindow()->loaded(); }));
    HistoryWindow& window = *browser().historyWindow();
    EXPECT_TRUE(runUntil([&] { return window.get_mapped(); }));
    EXPECT_EQ(window.get_title().raw(), "History");
    const auto lines = window.lines();
    ASSERT_EQ(lines.size(), 8u);
    EXPECT_EQ(std::vector<std::string>(lines.begin(), lines.begin() + 7),
        (std::vector<std::string> {"# Today", "Alpha", "Beta", "Alpha", "# Yesterday", "Gamma", lines[6]}));
    EXPECT_EQ(lines[7], "Delta");

    window.searchField().set_text("alp");
    ASSERT_TRUE(runUntil([&] { return window.loaded() && window.lines().size() == 3; }));
    EXPECT_EQ(window.lines(), (std::vector<std::string> {"# Today", "Alpha", "Alpha"}));
    // Deleting one visit takes its line; the other visit of the page stays.
    const HistoryVisit newest = window.visits().front();
    click(*window.deleteButton(newest.id));
    EXPECT_EQ(window.lines(), (std::vector<std::string> {"# Today", "Alpha"}));
    window.searchField().set_text("");
    ASSERT_TRUE(runUntil([&] { return window.loaded() && window.lines().size() == 7; }));
    // Choosing a visit opens it in a new tab.
    window.openVisit(window.visits().at(1).id);
    EXPECT_TRUE(runUntil([&] { return tabCount() == 2; }));
    EXPECT_TRUE(waitForLoad(activeView(), server.url("/alpha")));

    // "Clear History": the visits, the icons and the recently closed tabs go.
    focusWindow(window);
    click(window.clearButton());
    ASSERT_TRUE(runUntil([&] { return window.loaded() && window.lines().empty(); }))
        << testing::PrintToString(window.lines());
    EXPECT_TRUE(browser().closedTabs().empty());
    std::optional<bool> stillStored;
    SiteIcons::lookup(server.url("/beta"), [&](GdkTexture* texture) { stillStored = texture != nullptr; });
    ASSERT_TRUE(runUntil([&] { return stillStored.has_value(); }));
    EXPECT_FALSE(*stillStored);
    // Open pages stay as they are.
    EXPECT_EQ(tabCount(), 2);
}

TEST_F(History, TheSettingsWindowShowsAndClearsHistoryBesideClearingCookies)
{
    server.page("/home", "<title>Home</title>");
    launchOn("/home");
    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([&] { return delegate().settingsWindow() && delegate().settingsWindow()->get_mapped(); }));
    SettingsWindow& settings = *delegate().settingsWindow();
    focusWindow(settings);
    EXPECT_EQ(settings.clearDataButton().get_label().raw(), "Clear Cookies & Cache");
    EXPECT_EQ(settings.clearHistoryButton().get_label().raw(), "Clear History");
    const Gdk::Rectangle cookies = allocationIn(settings.clearDataButton(), settings.content());
    const Gdk::Rectangle clear = allocationIn(settings.clearHistoryButton(), settings.content());
    EXPECT_EQ(std::tuple(clear.get_y(), clear.get_x()), std::tuple(cookies.get_y(), cookies.get_x() + 228));
    click(settings.clearHistoryButton());
    EXPECT_TRUE(runUntil([&] {
        return settings.clearDataStatus().get_text().raw() == "Cleared history, site icons and recently closed tabs.";
    }));
    EXPECT_TRUE(visits().empty());

    click(settings.showHistoryButton());
    ASSERT_TRUE(runUntil([&] { return browser().historyWindow() && browser().historyWindow()->get_mapped(); }));
    EXPECT_EQ(browser().historyWindow()->lines(), std::vector<std::string> {});
}
