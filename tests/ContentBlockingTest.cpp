#include "support/Browser.h"
#include "support/Program.h"

#include "adblock/QuilBlock.h"
#include "platform/UserDefaults.h"

#include <algorithm>
#include <glib/gstdio.h>
#include <glibmm/fileutils.h>
#include <optional>

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
    std::string display(const char* id)
    {
        return evaluate(activeView(), "getComputedStyle(document.getElementById('" + std::string(id) + "')).display");
    }
};

} // namespace

// Stored off, nothing is attached; switched on, the real lists block exactly what they list.
TEST_F(ContentBlocking, EasyListAndEasyPrivacyBlockExactlyWhatTheyListOnceSwitchedOn)
{
    installRules(Glib::file_get_contents(QUILLMERE_BUILD_DIR "/share/quillmere/quilblock_rules.json"));
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
    setDefault(kAdBlockEnabledKey, "false");
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kCompiled); }, 120000)) << "the engine did not compile the document";

    // Reloads; answers per resource "+" when the server saw it, "-" when not.
    auto load = [&] {
        const size_t before = server.requests().size();
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
    EXPECT_EQ(load(), "++++++++++");

    // Switching on reaches every tab.
    browser().openNewTab("http://news.example/");
    ASSERT_TRUE(waitForLoad(activeView(), "http://news.example/"));
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
