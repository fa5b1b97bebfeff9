#include "support/Browser.h"
#include "support/Input.h"

#include "history/HistoryStore.h"
#include "platform/UserDefaults.h"

#include <gdk/gdkkeysyms.h>
#include <glibmm/convert.h>

#include <csignal>
#include <filesystem>
#include <fstream>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

class Navigation : public BrowserTest {
protected:
    void launchOnPage(const std::string& html)
    {
        server.page("/", html);
        setDefault(kHomepageKey, server.url("/"));
        launch();
        ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    }
    // Types into the address field as a user does, then presses Return.
    void typeAddress(const std::string& text)
    {
        browser().addressField().grab_focus();
        browser().addressField().set_text("");
        typeText(text);
        pressKey(GDK_KEY_Return);
    }
    std::string field() { return browser().addressField().get_text().raw(); }
    // The window title and the address field.
    std::string shown() { return browser().window().get_title().raw() + " " + field(); }
    std::string viewURI() { return webkit_web_view_get_uri(activeView()) ? webkit_web_view_get_uri(activeView()) : ""; }
};

// The parent of process `pid`, from /proc; 0 when it is gone.
int parentOf(int pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    const std::string text((std::istreambuf_iterator<char>(stat)), {});
    return text.empty() ? 0 : std::atoi(text.c_str() + text.rfind(')') + 4);
}

// Kills one WebKit web process descended from this process (the engine's sandbox makes it no child).
bool killOneWebProcess()
{
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::string name;
        const int pid = std::atoi(entry.path().filename().c_str());
        if (pid > 0 && std::getline(std::ifstream(entry.path() / "comm"), name) && name.starts_with("WebKitWebProces"))
            for (int ancestor = parentOf(pid); ancestor > 1; ancestor = parentOf(ancestor))
                if (ancestor == getpid())
                    return kill(pid, SIGKILL) == 0;
    }
    return false;
}

} // namespace

TEST_F(Navigation, TypedAddressesAndSearchesLoadWhatTheyMean)
{
    launchOnPage("<title>Start</title>");
    // An address that does not parse changes nothing; Escape brings the page's address back.
    typeAddress("a<b.com");
    runFor(300);
    EXPECT_EQ(field() + " " + viewURI(), "a<b.com " + server.url("/"));
    pressKey(GDK_KEY_Escape);
    EXPECT_EQ(field(), server.url("/"));
    // A local server's address and port, typed bare, loads over http.
    typeAddress("127.0.0.1:" + std::to_string(server.port()) + "/x");
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/x"); }));
    EXPECT_EQ(field(), server.url("/x"));

    // Hosts and searches need the network: what was asked for is what counts (AddressResolverTest has the rules).
    const std::string search = "https://duckduckgo.com/?q=";
    for (auto [typed, uri] : {std::pair<std::string, std::string> {"example.org", "https://example.org/"},
             {"two words", search + "two%20words"}, {"AT&T", search + "AT%26T"}, {"   ", search}}) {
        typeAddress(typed);
        EXPECT_TRUE(runUntil([&] { return viewURI() == uri; })) << typed << ": " << viewURI();
        // The failed load ends in the engine's error page before the next address is typed.
        runUntil([&] { return !webkit_web_view_is_loading(activeView()); });
    }
}

TEST_F(Navigation, TitlesProgressAndHistoryFollowTheLoads)
{
    server.route("/background", Response {200, "text/html", "<title>Background</title>", {}, 700});
    server.route("/slow", Response {200, "text/html", "<title>Slow</title>", {}, 1500});
    server.page("/untitled", "<p>no title here</p>");
    launchOnPage("<title>Start</title>");
    ASSERT_TRUE(waitForTitle(0, "Start"));
    // A background tab finishing changes only its own title.
    browser().openNewTab(server.url("/background"));
    browser().switchToTab(0);
    ASSERT_TRUE(waitForTitle(1, "Background"));
    EXPECT_EQ(shown(), "Start " + server.url("/"));
    browser().loadURL(server.url("/slow"));
    EXPECT_TRUE(runUntil([&] { return browser().addressField().get_progress_fraction() > 0.0; }));
    ASSERT_TRUE(waitForTitle(0, "Slow"));
    EXPECT_TRUE(runUntil([&] { return browser().addressField().get_progress_fraction() == 0.0; }));
    EXPECT_EQ(shown(), "Slow " + server.url("/slow"));
    // Without a title the host name stands in, without a host "New Tab" (below).
    browser().loadURL(server.url("/untitled"));
    ASSERT_TRUE(waitForTitle(0, "127.0.0.1"));
    EXPECT_EQ(shown(), "127.0.0.1 " + server.url("/untitled"));
    click(browser().backButton());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/slow")));
    click(browser().forwardButton());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/untitled")));
    const size_t before = server.requestsFor("/untitled").size();
    click(browser().reloadButton());
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/untitled").size() == before + 1; }));
    const std::string file = makeTemporaryDirectory("quillmere-nav-XXXXXX") + "/untitled.html";
    std::ofstream(file) << "<p>local</p>";
    browser().loadURL(Glib::filename_to_uri(file));
    EXPECT_TRUE(waitForTitle(0, "New Tab"));
    EXPECT_EQ(shown(), "New Tab " + Glib::filename_to_uri(file).raw());
}

TEST_F(Navigation, ACrashedPageLeavesTheBrowserRunningAndOffersAReload)
{
    launchOnPage("<title>Before</title>");
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForTitle(0, "Before") && waitForTitle(1, "Before"));
    expectWebProcessCrash();
    ASSERT_TRUE(killOneWebProcess());
    ASSERT_TRUE(runUntil([&] { return tab(0).title() == "Page crashed" || tab(1).title() == "Page crashed"; }));
    const int crashed = tab(0).title() == "Page crashed" ? 0 : 1;
    EXPECT_NE(tab(1 - crashed).title(), "Page crashed");
    const std::string text = evaluate(tab(crashed).webView(), "document.body.innerText");
    EXPECT_NE(text.find("This page stopped working"), std::string::npos) << text;
    const size_t before = server.requestsFor("/").size();
    evaluate(tab(crashed).webView(), "document.getElementById('reload').click()");
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() > before; }));
    EXPECT_TRUE(waitForTitle(crashed, "Before"));
    // The crashed-tab page is the program's own: never a visit.
    std::optional<std::vector<HistoryVisit>> visits;
    browser().history().listVisits("crashed", nullptr, 10, [&](auto found) { visits = found; });
    ASSERT_TRUE(runUntil([&] { return visits.has_value(); }));
    EXPECT_TRUE(visits->empty());
}
