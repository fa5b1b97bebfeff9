#include "support/Browser.h"
#include "support/Input.h"

#include "browser/WebViewFactory.h"
#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>

#include <csignal>
#include <dirent.h>
#include <fstream>
#include <map>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Navigation : public BrowserTest {
protected:
    void launchOnPage(const std::string& path, const std::string& html)
    {
        server.page(path, html);
        setDefault(kHomepageKey, server.url(path));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url(path)));
    }

    // Types into the address field the way a user does, then presses Return.
    void typeAddress(const std::string& text)
    {
        browser().addressField().grab_focus();
        browser().addressField().set_text("");
        typeText(text);
        pressKey(GDK_KEY_Return);
    }

    std::string viewURI()
    {
        const char* uri = webkit_web_view_get_uri(activeView());
        return uri ? uri : "";
    }
};

// Kills, with SIGKILL, one WebKit web process descended from this process.
bool killOneWebProcess()
{
    std::map<int, int> parents;
    std::vector<int> webProcesses;
    if (DIR* proc = opendir("/proc")) {
        while (dirent* entry = readdir(proc)) {
            const int pid = atoi(entry->d_name);
            if (pid <= 0)
                continue;
            std::ifstream status(std::string("/proc/") + entry->d_name + "/status");
            std::string line;
            while (std::getline(status, line)) {
                if (line.rfind("Name:", 0) == 0 && line.find("WebKitWebProces") != std::string::npos)
                    webProcesses.push_back(pid);
                if (line.rfind("PPid:", 0) == 0)
                    parents[pid] = std::stoi(line.substr(5));
            }
        }
        closedir(proc);
    }
    for (int pid : webProcesses) {
        for (int ancestor = parents[pid]; ancestor > 1; ancestor = parents[ancestor]) {
            if (ancestor == getpid())
                return kill(pid, SIGKILL) == 0;
        }
    }
    return false;
}

} // namespace

TEST_F(Navigation, TypedAddressesAndSearchesLoadWhatTheyMean)
{
    launchOnPage("/", "<title>Start</title>");

    typeAddress("http://127.0.0.1:" + std::to_string(server.port()) + "/x");
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/x"); }));
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/x"));

    // Addresses and searches that need the network: what was asked for is what counts.
    struct Case {
        const char* typed;
        const char* field;
        const char* requested;
    };
    const Case cases[] = {
        {"example.org", "https://example.org", "https://example.org/"},
        {"two words", "https://duckduckgo.com/?q=two%20words", "https://duckduckgo.com/?q=two%20words"},
        {"a#b&c=d", "https://duckduckgo.com/?q=a%23b&c=d", "https://duckduckgo.com/?q=a%23b&c=d"},
        {"     ", "https://duckduckgo.com/?q=", "https://duckduckgo.com/?q="},
    };
    for (const auto& c : cases) {
        typeAddress(c.typed);
        EXPECT_EQ(browser().addressField().get_text().raw(), c.field) << c.typed;
        EXPECT_TRUE(runUntil([&] { return viewURI() == c.requested; })) << c.typed << " loaded " << viewURI();
    }
}

TEST_F(Navigation, AnAddressThatDoesNotParseChangesNothing)
{
    launchOnPage("/", "<title>Start</title>");
    typeAddress("a<b.com");
    runFor(300);
    EXPECT_EQ(browser().addressField().get_text().raw(), "a<b.com");
    EXPECT_EQ(viewURI(), server.url("/"));
    EXPECT_EQ(server.requestsFor("/").size(), 1u);
}

TEST_F(Navigation, EscapeInTheAddressFieldRestoresTheAddress)
{
    launchOnPage("/here", "<title>Here</title>");
    browser().addressField().grab_focus();
    typeText("half typed");
    EXPECT_NE(browser().addressField().get_text().raw(), server.url("/here"));
    pressKey(GDK_KEY_Escape);
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/here"));
}

TEST_F(Navigation, TitlesFollowFinishedLoads)
{
    server.page("/titled", "<title>A Titled Page</title><p>x</p>");
    server.page("/untitled", "<p>no title here</p>");
    launchOnPage("/", "<title>Start</title>");
    ASSERT_TRUE(waitForTitle(0, "Start"));

    browser().loadURL(server.url("/titled"));
    ASSERT_TRUE(waitForTitle(0, "A Titled Page"));
    EXPECT_EQ(browser().window().get_title().raw(), "A Titled Page");
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/titled"));

    // No title: the host name stands in, in the strip and the window title.
    browser().loadURL(server.url("/untitled"));
    ASSERT_TRUE(waitForTitle(0, "127.0.0.1"));
    EXPECT_EQ(browser().window().get_title().raw(), "127.0.0.1");

    // Neither title nor host.
    char* dir = g_dir_make_tmp("quillmere-nav-XXXXXX", nullptr);
    const std::string file = std::string(dir) + "/untitled.html";
    std::ofstream(file) << "<p>local</p>";
    char* uri = g_filename_to_uri(file.c_str(), nullptr, nullptr);
    browser().loadURL(uri);
    EXPECT_TRUE(waitForTitle(0, "New Tab"));
    EXPECT_EQ(browser().window().get_title().raw(), "New Tab");
    EXPECT_EQ(browser().addressField().get_text().raw(), uri);
    g_free(uri);
    g_free(dir);
}

TEST_F(Navigation, ABackgroundTabFinishingChangesOnlyItsOwnTitle)
{
    server.route("/slow", Response{200, "text/html", "<title>Slow Background</title>", {}, 700});
    launchOnPage("/", "<title>Front</title>");
    ASSERT_TRUE(waitForTitle(0, "Front"));
    browser().openNewTab(server.url("/slow"));
    browser().switchToTab(0);
    ASSERT_TRUE(waitForTitle(1, "Slow Background"));
    EXPECT_EQ(browser().window().get_title().raw(), "Front");
    EXPECT_EQ(browser().addressField().get_text().raw(), server.url("/"));
    EXPECT_EQ(browser().activeTabIndex(), 0);
}

TEST_F(Navigation, BackForwardAndReloadDriveTheActiveTab)
{
    server.page("/a", "<title>A</title>");
    server.page("/b", "<title>B</title>");
    launchOnPage("/a", "<title>A</title>");
    browser().loadURL(server.url("/b"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/b")));

    click(browser().backButton());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/a")));
    EXPECT_TRUE(waitForTitle(0, "A"));
    click(browser().forwardButton());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/b")));
    EXPECT_TRUE(waitForTitle(0, "B"));
    const size_t before = server.requestsFor("/b").size();
    click(browser().reloadButton());
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/b").size() == before + 1; }));
}

TEST_F(Navigation, AFailedLoadKeepsTheOldTitle)
{
    launchOnPage("/", "<title>Still Here</title>");
    ASSERT_TRUE(waitForTitle(0, "Still Here"));
    // Nothing listens on the port of a server that has just gone.
    std::string closed;
    {
        TestServer gone;
        closed = gone.url("/nothing");
    }
    browser().loadURL(closed);
    ASSERT_TRUE(runUntil([&] { return !webkit_web_view_is_loading(activeView()) && viewURI() == closed; }));
    runFor(300);
    EXPECT_EQ(tab(0).title, "Still Here");
}

TEST_F(Navigation, LoadProgressShowsInTheAddressField)
{
    server.route("/slow", Response{200, "text/html", "<title>Slow</title>", {}, 1500});
    launchOnPage("/", "<title>Start</title>");
    browser().loadURL(server.url("/slow"));
    EXPECT_TRUE(runUntil([&] { return browser().addressField().get_progress_fraction() > 0.0; }));
    ASSERT_TRUE(waitForTitle(0, "Slow"));
    EXPECT_TRUE(runUntil([&] { return browser().addressField().get_progress_fraction() == 0.0; }));
}

TEST_F(Navigation, ACrashedPageLeavesTheBrowserRunningAndOffersAReload)
{
    launchOnPage("/", "<title>Before</title>");
    ASSERT_TRUE(waitForTitle(0, "Before"));
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForTitle(1, "Before"));

    // Kill one tab's web process the hard way (it runs inside the engine's sandbox,
    // so it is a descendant of ours, not a child).
    ASSERT_TRUE(killOneWebProcess());
    ASSERT_TRUE(runUntil([&] { return tab(0).title == "Page crashed" || tab(1).title == "Page crashed"; }));
    const int crashed = tab(0).title == "Page crashed" ? 0 : 1;
    EXPECT_NE(tab(1 - crashed).title, "Page crashed");
    const std::string text = evaluate(tab(crashed).webView.get(), "document.body.innerText");
    EXPECT_NE(text.find("This page stopped working"), std::string::npos) << text;

    const size_t before = server.requestsFor("/").size();
    evaluate(tab(crashed).webView.get(), "document.getElementById('reload').click()");
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() > before; }));
    EXPECT_TRUE(waitForTitle(crashed, "Before"));
}

TEST_F(Navigation, AFinishingLoadLeavesAnAddressBeingTypedAlone)
{
    server.route("/slow", Response{200, "text/html", "<title>Slow</title>", {}, 800});
    launchOnPage("/", "<title>Start</title>");
    browser().loadURL(server.url("/slow"));
    browser().addressField().grab_focus();
    browser().addressField().select_region(0, -1);
    typeText("next.example");
    ASSERT_TRUE(waitForTitle(0, "Slow"));
    EXPECT_EQ(browser().addressField().get_text().raw(), "next.example");
    EXPECT_EQ(browser().window().get_title().raw(), "Slow");
}
