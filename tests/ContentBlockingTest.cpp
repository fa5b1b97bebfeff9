#include "support/Browser.h"
#include "support/Input.h"
#include "support/Program.h"

#include "adblock/FilterListUpdater.h"
#include "adblock/QuilBlock.h"
#include "settings/SettingsWindow.h"
#include "platform/UserDefaults.h"

#include <algorithm>
#include <glib/gstdio.h>
#include <glibmm/fileutils.h>
#include <unistd.h>
#include <optional>
#include <set>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Quick to compile; the non-ASCII selector makes its size in bytes differ from its length.
const std::string kSmallRules = R"([{"trigger": {"url-filter": "blocked-ad\\.png"}, "action": {"type": "block"}},
    {"trigger": {"url-filter": ".*"}, "action": {"type": "css-display-none", "selector": ".café-ad"}}])";
const char* kCompiled = "Content rule list compiled successfully and ready";

class ContentBlocking : public BrowserTest {
protected:
    // One image the small rules block, one they allow, an element they hide.
    void serveAdPage()
    {
        for (const char* image : {"/blocked-ad.png", "/fine.png"})
            server.route(image, Response {200, "image/png", testData("pixel.png"), {}});
        server.page("/",
            "<title>Ads</title><img src='/blocked-ad.png'><img src='/fine.png'><div class='café-ad' "
            "id='hidden'>x</div>");
        setDefault(kHomepageKey, server.url("/"));
    }
    size_t adRequests() { return server.requestsFor("/blocked-ad.png").size(); }

    // Runs the loader as a launch does; answers whether it handed over a list.
    static bool loadOnce()
    {
        std::optional<bool> gotList;
        QuilBlock::loadAndCompile([&](QuilBlock::RuleList list) { gotList = list != nullptr; });
        EXPECT_TRUE(runUntil([&] { return gotList.has_value(); }, 30000));
        return gotList.value_or(false);
    }
    // The rules the build made and the store it compiled them into, in this test's bundle,
    // as an install ships them.
    void installBuiltRules()
    {
        const std::string built = QUILLMERE_BUILD_DIR "/share/quillmere/";
        const std::string resources = bundleDirectory() + "/share/quillmere/";
        for (size_t i = 0; g_file_test(QuilBlock::partFileName(built + QuilBlock::kRulesFileName, i).c_str(),
                 G_FILE_TEST_EXISTS);
             ++i)
            symlink(QuilBlock::partFileName(built + QuilBlock::kRulesFileName, i).c_str(),
                QuilBlock::partFileName(resources + QuilBlock::kRulesFileName, i).c_str());
        const std::string store = resources + QuilBlock::kShippedStoreName;
        g_mkdir_with_parents(store.c_str(), 0700);
        Glib::Dir compiled(built + QuilBlock::kShippedStoreName);
        for (const auto& name : compiled)
            symlink((built + QuilBlock::kShippedStoreName + "/" + name).c_str(), (store + "/" + name).c_str());
    }
    std::string display(const char* id)
    {
        return evaluate(activeView(), "getComputedStyle(document.getElementById('" + std::string(id) + "')).display");
    }
};

} // namespace

// The first page of a first launch is blocked by the list the build compiled; the real lists
// block exactly what they list; switched off and on again, every tab follows.
TEST_F(ContentBlocking, EasyListAndEasyPrivacyBlockTheFirstPageOfAFirstLaunch)
{
    installBuiltRules();
    useServerAsProxy();
    // Listed first (host anchor, third-party host, first-party paths, a tracking pixel); then what the
    // lists leave alone or except (a script the banner rule spares, a site's own allowed ads folder).
    std::pair<std::string, std::string> resources[] = {{"ib.adnxs.com", "/getuid.gif"},
        {"sb.scorecardresearch.com", "/beacon.js"}, {"news.example", "/img/banner-ad.png"},
        {"news.example", "/ads/banners/top.png"}, {"news.example", "/stats/pixel.gif?id=1"},
        {"static.hotjar.com", "/c/hotjar.js"}, {"news.example", "/js/banner-ad.js"},
        {"discretemath.org", "/ads/banners/top.png"}, {"news.example", "/img/photo.jpg"}, {"cdn.example", "/lib.js"}};
    std::string html = "<title>News</title><div class='banner-ad' id='cosmetic'>advert</div><div class='article' "
                       "id='article'>story</div>";
    for (auto& [host, path] : resources) {
        const bool script = path.ends_with(".js");
        html += (script ? "<script src='http://" : "<img src='http://") + host + path + (script ? "'></script>" : "'>");
        path = path.substr(0, path.find('?'));
        server.route(host, path,
            script ? Response {200, "application/javascript", "1;", {}}
                   : Response {200, "image/png", testData("pixel.png"), {}});
    }
    server.route("news.example", "/", Response {200, "text/html", html, {}});
    setDefault(kHomepageKey, "http://news.example/");
    launch();

    // Reloads (or waits for the first load); answers per resource "+" when the server saw it, "-" when not.
    auto load = [&](bool reload = true) {
        const size_t before = reload ? server.requests().size() : 0;
        if (reload)
            browser().reload();
        EXPECT_TRUE(
            runUntil([&] { return server.requests().size() > before && !webkit_web_view_is_loading(activeView()); }));
        EXPECT_TRUE(runUntil([&] { return evaluate(activeView(), "document.readyState") == "\"complete\""; }));
        runFor(300);
        std::string requested;
        for (const auto& [host, path] : resources)
            requested += std::any_of(server.requests().begin() + before, server.requests().end(),
                             [&](const SeenRequest& r) { return r.host == host && r.path == path; })
                ? "+"
                : "-";
        return requested;
    };
    EXPECT_EQ(load(false), "------++++");
    EXPECT_TRUE(logged("Using the content rule list compiled with Quillmere"));
    EXPECT_FALSE(logged("Compiling content rule list"));

    // Switching off and on again reaches every tab.
    browser().openNewTab("http://news.example/");
    ASSERT_TRUE(waitForLoad(activeView(), "http://news.example/"));
    browser().setAdBlockEnabled(false);
    EXPECT_TRUE(logged("Ad blocking disabled across 2 tab(s)"));
    EXPECT_EQ(load(), "++++++++++");
    browser().setAdBlockEnabled(true);
    EXPECT_TRUE(logged("Ad blocking enabled across 2 tab(s)"));
    EXPECT_EQ(load(), "------++++");
    EXPECT_EQ(display("cosmetic") + display("article"), "\"none\"\"block\"");
    EXPECT_TRUE(runUntil([&] { return browser().blockedBadge().get_text() == "🛡️ 6 blocked"; }))
        << browser().blockedBadge().get_text();
}

TEST_F(ContentBlocking, WithoutUsableRulesTheBrowserRunsUnblocked)
{
    serveAdPage();
    launch();
    ASSERT_TRUE(runUntil([] { return logged("Ad blocking not active for this session"); }));
    EXPECT_TRUE(logged("quilblock_rules.json not found next to the app bundle -- ad blocking disabled"));
    EXPECT_TRUE(runUntil([&] { return adRequests() == 1; }));

    // Malformed documents: the engine's complaint is logged.
    const std::string first = bundleDirectory() + "/share/quillmere/quilblock_rules.json";
    for (const char* bad : {R"([{"trigger": {"url-filter": "a{2}"}, "action": {"type": "block"}}])", "not json"}) {
        g_file_set_contents(first.c_str(), bad, -1, nullptr);
        EXPECT_FALSE(loadOnce()) << bad;
    }
    EXPECT_EQ(countLogged("Content rule list compilation failed: "), 2);
    // A directory in its place cannot be read.
    g_remove(first.c_str());
    g_mkdir(first.c_str(), 0700);
    EXPECT_FALSE(loadOnce());
    EXPECT_TRUE(logged("Failed to read rules file at " + first));
}

// A later launch finds the stored list and the first page waits for that answer: no request escapes.
TEST_F(ContentBlocking, AStoredListBlocksTheVeryFirstPageOfALaterLaunch)
{
    serveAdPage();
    installRules(kSmallRules);
    ASSERT_TRUE(loadOnce()); // what an earlier launch leaves in the store
    // Bytes, not characters: "é" is two.
    EXPECT_TRUE(logged(
        "Compiling content rule list from quilblock_rules.json (" + std::to_string(kSmallRules.size()) + " bytes)"));
    Program later(installCopy(QUILLMERE_BINARY, kSmallRules), {});
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/fine.png"); }, 30000));
    runFor(1000);
    EXPECT_EQ(adRequests(), 0u);
    activateAction("quit");
    ASSERT_TRUE(later.waitForExit());
    EXPECT_NE(later.log().find("Reusing cached content rule list, skipping recompile"), std::string::npos)
        << later.log();
    EXPECT_EQ(later.log().find("Compiling"), std::string::npos) << later.log();
}

// An engine that does not take the shipped store (a system update changed it): the first page
// waits for the starter list, the full list follows from the rules files and replaces it in
// every tab, and the next launch reuses the full list.
TEST_F(ContentBlocking, AnEngineThatRejectsTheShippedListBlocksWithTheStarterListUntilTheFullOneIsReady)
{
    for (const char* image : {"/blocked-ad.png", "/starter-ad.png", "/fine.png", "/split-ad.png"})
        server.route(image, Response {200, "image/png", testData("pixel.png"), {}});
    server.page("/", "<title>Ads</title><img src='/starter-ad.png'><img src='/blocked-ad.png'><img src='/split-ad.png'>"
                     "<img src='/fine.png'>");
    setDefault(kHomepageKey, server.url("/"));
    const std::string resources = bundleDirectory() + "/share/quillmere/";
    // Two parts, as the build splits them; the starter blocks one image the full list leaves.
    installRules(R"([{"trigger": {"url-filter": "blocked-ad\\.png"}, "action": {"type": "block"}}])");
    g_file_set_contents((resources + "quilblock_rules-2.json").c_str(),
        R"([{"trigger": {"url-filter": "split-ad\\.png"}, "action": {"type": "block"}}])", -1, nullptr);
    g_file_set_contents((resources + QuilBlock::kStarterFileName).c_str(),
        R"([{"trigger": {"url-filter": "starter-ad\\.png"}, "action": {"type": "block"}}])", -1, nullptr);
    const std::string store = resources + QuilBlock::kShippedStoreName;
    g_mkdir_with_parents(store.c_str(), 0700);
    g_file_set_contents((store + "/ContentRuleList-quilblock-main-v4").c_str(), "compiled by another engine", -1,
        nullptr);

    launch();
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/fine.png"); }, 15000));
    EXPECT_FALSE(server.sawPath("/starter-ad.png")); // the very first page waited for the starter
    EXPECT_EQ(countLogged("The content rule list compiled with Quillmere does not load on this engine: "), 1);
    EXPECT_EQ(countLogged("Starter content rule list compiled in "), 1);

    ASSERT_TRUE(runUntil([] { return countLogged("Ad-block rule list attached to web view(s)") == 2; }, 30000));
    EXPECT_TRUE(logged(kCompiled));
    const size_t before = server.requests().size();
    browser().reload();
    ASSERT_TRUE(runUntil([&] { return server.requests().size() > before + 1; }));
    runFor(500);
    std::set<std::string> seen;
    for (auto it = server.requests().begin() + before; it != server.requests().end(); ++it)
        if (it->path != "/favicon.ico")
            seen.insert(it->path);
    EXPECT_EQ(seen, (std::set<std::string> {"/", "/starter-ad.png", "/fine.png"}));
    EXPECT_EQ(browser().compiledRuleList()->partCount(), 2u);

    // The next launch finds both parts in the store.
    std::optional<QuilBlock::RuleList> again;
    QuilBlock::loadAndCompile([&](QuilBlock::RuleList list) { again = list; });
    ASSERT_TRUE(runUntil([&] { return again.has_value(); }));
    ASSERT_TRUE(*again);
    EXPECT_EQ((*again)->partCount(), 2u);
    EXPECT_TRUE(logged("Reusing cached content rule list, skipping recompile"));
}

// Fresh lists from a list server: conditional requests, the new list swapped into the tabs at once,
// a list that converts to too few rules refused, nothing fetched while blocking is off.
TEST_F(ContentBlocking, UpdatedFilterListsBlockWhatTheyAddAndABrokenListChangesNothing)
{
    for (const char* image : {"/blocked-ad.png", "/extra-ad.png", "/fine.png"})
        server.route(image, Response {200, "image/png", testData("pixel.png"), {}});
    server.page("/", "<title>Ads</title><img src='/blocked-ad.png'><img src='/extra-ad.png'><img src='/fine.png'>");
    setDefault(kHomepageKey, server.url("/"));
    setDefault(kFilterListURLsKey, " " + server.url("/easylist.txt") + " ; " + server.url("/easyprivacy.txt"));
    // The shipped list blocks one image; its copy of EasyList on the server adds a rule for another.
    std::string shipped = "[\n";
    std::string easylist = "[Adblock Plus 2.0]\n/blocked-ad.png\n";
    for (int i = 0; i < 10; ++i) {
        shipped += "{\"trigger\":{\"url-filter\":\"/listed-" + std::to_string(i) + "\\\\.png\"},\"action\":{\"type\":\"block\"}},\n";
        easylist += "/listed-" + std::to_string(i) + ".png\n";
    }
    installRules(shipped + "{\"trigger\":{\"url-filter\":\"/blocked-ad\\\\.png\"},\"action\":{\"type\":\"block\"}}\n]\n");
    const std::string libexec = bundleDirectory() + "/libexec/quillmere";
    g_mkdir_with_parents(libexec.c_str(), 0700);
    symlink(QUILLMERE_RULES_COMPILER, (libexec + "/quillmere-rules-compiler").c_str());
    std::string served = easylist + "/extra-ad.png\n";
    std::string etag = "\"one\"";
    server.route("/easylist.txt", [&](const SeenRequest& request) {
        auto asked = request.headers.find("If-None-Match");
        if (asked != request.headers.end() && asked->second == etag)
            return Response {304, "text/plain", "", {{"ETag", etag}}};
        return Response {200, "text/plain", served, {{"ETag", etag}}};
    });
    const std::string modified = "Tue, 08 Dec 2026 10:00:00 GMT";
    server.route("/easyprivacy.txt", [&](const SeenRequest& request) {
        if (request.headers.count("If-Modified-Since") && request.headers.at("If-Modified-Since") == modified)
            return Response {304, "text/plain", "", {}};
        return Response {200, "text/plain", "[Adblock Plus 2.0]\n/pixel-track.gif\n", {{"Last-Modified", modified}}};
    });

    launch();
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/fine.png"); }, 30000));
    ASSERT_TRUE(runUntil([] { return logged("Ad-block rule list attached to web view(s)"); }, 30000));
    // Reloads; answers how often each image was asked for by then.
    auto reload = [&] {
        const size_t before = server.requestsFor("/").size();
        browser().reload();
        EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() > before && server.requestsFor("/fine.png").size() > before; }));
        runFor(300);
        return std::to_string(server.requestsFor("/blocked-ad.png").size()) + " "
            + std::to_string(server.requestsFor("/extra-ad.png").size());
    };
    EXPECT_EQ(reload(), "1 2"); // the first page came before the compile

    pressKey(GDK_KEY_comma, {GDK_KEY_Control_L});
    ASSERT_TRUE(runUntil([&] { return delegate().settingsWindow() && delegate().settingsWindow()->get_mapped(); }));
    SettingsWindow& settings = *delegate().settingsWindow();
    focusWindow(settings);
    auto update = [&](const std::string& outcome) {
        const int before = countLogged(outcome);
        click(settings.updateFilterListsButton());
        return runUntil([&] { return countLogged(outcome) > before; }, 60000);
    };
    const int attached = countLogged("Ad-block rule list attached to web view(s)");
    ASSERT_TRUE(update("Filter lists updated, the new list is in use"));
    ASSERT_TRUE(runUntil([&] { return countLogged("Ad-block rule list attached to web view(s)") > attached; }));
    EXPECT_EQ(server.requestsFor("/easylist.txt").front().headers.count("If-None-Match"), 0u);
    EXPECT_EQ(reload(), "1 2") << "the list that adds a rule blocks at once";
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    g_autofree char* today = g_date_time_format(now, "%x");
    EXPECT_EQ(settings.filterListsStatus().get_text().raw(), std::string("Filter lists updated ") + today);

    // Unchanged: the server answers 304 to what was kept, and nothing is converted again.
    ASSERT_TRUE(update("Filter lists are up to date"));
    EXPECT_EQ(server.requestsFor("/easylist.txt").back().headers.at("If-None-Match"), etag);
    EXPECT_EQ(server.requestsFor("/easyprivacy.txt").back().headers.at("If-Modified-Since"), modified);

    // A broken copy (an error page where the list was) converts to almost nothing: refused.
    served = "<html><body>Service unavailable</body></html>";
    etag = "\"two\"";
    ASSERT_TRUE(update("Filter list update failed, keeping the current list: "));
    EXPECT_EQ(countLogged("Filter list update failed, keeping the current list: the lists give "), 1);
    EXPECT_EQ(reload(), "1 2") << "blocking stays as it was";

    // Switched off, nothing is fetched.
    browser().setAdBlockEnabled(false);
    const size_t asked = server.requestsFor("/easylist.txt").size();
    ASSERT_TRUE(update("Filter lists not fetched: ad blocking is off"));
    EXPECT_EQ(server.requestsFor("/easylist.txt").size(), asked);
}
