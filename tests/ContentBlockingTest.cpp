#include "support/Browser.h"
#include "support/Program.h"

#include "adblock/QuilBlock.h"
#include "platform/UserDefaults.h"

#include <algorithm>
#include <glib/gstdio.h>
#include <optional>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// Quick to compile, with a non-ASCII selector so that its size in bytes differs from its length.
const std::string kSmallRules = R"([{"trigger": {"url-filter": "blocked-ad\\.png"}, "action": {"type": "block"}},
    {"trigger": {"url-filter": ".*"}, "action": {"type": "css-display-none", "selector": ".café-ad"}}])";
const char* kRejected = R"([{"trigger": {"url-filter": "a{2}"}, "action": {"type": "block"}}])";

const char* kCompiled = "Content rule list compiled successfully and ready";
const char* kAttached = "Ad-block rule list attached to web view(s)";
const std::string kFailed = "Content rule list compilation failed: ";

class ContentBlocking : public BrowserTest {
protected:
    // A page with one image the small rules block, one they allow and an element they hide.
    void serveAdPage()
    {
        server.route("/blocked-ad.png", Response{200, "image/png", testData("pixel.png"), {}});
        server.route("/fine.png", Response{200, "image/png", testData("pixel.png"), {}});
        server.page("/", "<title>Ads</title><img src='/blocked-ad.png'><img src='/fine.png'><div class='café-ad' id='hidden'>x</div>");
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
    std::string display(const char* id) { return evaluate(activeView(), "getComputedStyle(document.getElementById('" + std::string(id) + "')).display"); }
};

} // namespace

// Stored off, the compiled list is attached nowhere; switched on, the real lists block exactly what they list.
TEST_F(ContentBlocking, EasyListAndEasyPrivacyBlockExactlyWhatTheyListOnceSwitchedOn)
{
    gchar* rules = nullptr;
    ASSERT_TRUE(g_file_get_contents(QUILLMERE_BUILD_DIR "/share/quillmere/quilblock_rules.json", &rules, nullptr, nullptr));
    installRules(rules);
    useServerAsProxy();
    // The first six are listed: a host anchor, a third-party host, first-party paths, a tracking pixel.
    // The other four are not, or are excepted: a script the banner rule leaves alone, a site whose own
    // ads folder the list allows, ordinary resources.
    std::pair<std::string, std::string> resources[] = {{"ib.adnxs.com", "/getuid.gif"}, {"sb.scorecardresearch.com", "/beacon.js"},
        {"news.example", "/img/banner-ad.png"}, {"news.example", "/ads/banners/top.png"}, {"news.example", "/stats/pixel.gif?id=1"},
        {"static.hotjar.com", "/c/hotjar.js"}, {"news.example", "/js/banner-ad.js"}, {"discretemath.org", "/ads/banners/top.png"},
        {"news.example", "/img/photo.jpg"}, {"cdn.example", "/lib.js"}};
    std::string html = "<title>News</title><div class='banner-ad' id='cosmetic'>advert</div><div class='article' id='article'>story</div>";
    for (auto& [host, path] : resources) {
        const bool script = path.ends_with(".js");
        html += (script ? "<script src='http://" : "<img src='http://") + host + path + (script ? "'></script>" : "'>");
        path = path.substr(0, path.find('?'));
        server.route(host, path, script ? Response{200, "application/javascript", "1;", {}} : Response{200, "image/png", testData("pixel.png"), {}});
    }
    server.route("news.example", "/", Response{200, "text/html", html, {}});
    setDefault(kHomepageKey, "http://news.example/");
    setDefault(kAdBlockEnabledKey, "false");
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kCompiled); }, 120000)) << "the engine did not compile the document";

    // Reloads the page; answers, resource by resource, "+" when it was requested and "-" when not.
    auto load = [&] {
        const size_t before = server.requests().size();
        browser().reload();
        EXPECT_TRUE(runUntil([&] { return server.requests().size() > before && !webkit_web_view_is_loading(activeView()); }));
        EXPECT_TRUE(runUntil([&] { return evaluate(activeView(), "document.readyState") == "\"complete\""; }));
        runFor(300);
        std::string requested;
        for (const auto& [host, path] : resources)
            requested += std::any_of(server.requests().begin() + before, server.requests().end(),
                                     [&](const SeenRequest& r) { return r.host == host && r.path == path; }) ? "+" : "-";
        return requested;
    };
    EXPECT_EQ(load(), "++++++++++");
    EXPECT_FALSE(logged(kAttached));
    EXPECT_EQ(display("cosmetic"), "\"block\"");

    browser().setAdBlockEnabled(true);
    EXPECT_EQ(load(), "------++++");
    EXPECT_EQ(display("cosmetic"), "\"none\"");
    EXPECT_EQ(display("article"), "\"block\"");
    EXPECT_TRUE(runUntil([&] { return browser().blockedBadge().get_text() == "🛡️ 6 blocked"; })) << browser().blockedBadge().get_text();

    // WebKit drops a hiding rule whose selector it cannot parse, silently, and with it all of its
    // batch: every selector of the lists must parse (and there are thousands).
    EXPECT_EQ(evaluate(activeView(), "(() => { let count = 0; const bad = []; for (const r of " + std::string(rules) + ") if (r.action.selector) {"
        " ++count; try { document.querySelectorAll(r.action.selector); } catch (e) { bad.push(r.action.selector.slice(0, 200)); } }"
        " return [count > 1000, bad]; })()", 60000), "[true,[]]");
    g_free(rules);
}

TEST_F(ContentBlocking, TheFirstLaunchCompilesAndTheSwitchActsOnEveryTab)
{
    serveAdPage();
    installRules(kSmallRules);
    setDefault(kAdBlockEnabledKey, "sometimes"); // not a boolean: on
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kAttached); }, 30000));
    // Bytes, not characters: "é" is two.
    EXPECT_TRUE(logged("Compiling content rule list from quilblock_rules.json (" + std::to_string(kSmallRules.size()) + " bytes)"));

    // A tab opened once the list is ready gets it at once. (That the tabs already open get it
    // when it arrives shows in the first page of a later launch, below.)
    const size_t blockedAds = adRequests();
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/fine.png").size() >= 2; }));
    runFor(200);
    EXPECT_EQ(adRequests(), blockedAds);
    EXPECT_EQ(display("hidden"), "\"none\"");

    // Switched off, both tabs load again, unblocked; switched on, blocked again with no second compile.
    const size_t pages = server.requestsFor("/").size();
    browser().setAdBlockEnabled(false);
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() == pages + 2 && adRequests() == blockedAds + 2; }));
    EXPECT_EQ(UserDefaults::standard().boolean(kAdBlockEnabledKey), false);
    browser().setAdBlockEnabled(true);
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() == pages + 4; }));
    ASSERT_TRUE(waitForLoad(tab(0).webView.get(), server.url("/")));
    ASSERT_TRUE(waitForLoad(tab(1).webView.get(), server.url("/")));
    runFor(300);
    EXPECT_EQ(adRequests(), blockedAds + 2);
    EXPECT_TRUE(logged("Ad blocking enabled across 2 tab(s)"));
    EXPECT_EQ(countLogged("Compiling content rule list"), 1);
}

TEST_F(ContentBlocking, WithoutUsableRulesTheBrowserRunsUnblocked)
{
    serveAdPage();
    launch();
    ASSERT_TRUE(runUntil([] { return logged("Ad blocking not active for this session"); }));
    EXPECT_TRUE(logged("quilblock_rules.json not found next to the app bundle -- ad blocking disabled"));
    EXPECT_TRUE(runUntil([&] { return adRequests() == 1; }));

    // Malformed and empty documents: the engine's own complaint is logged, also when an installed
    // compiler builds the list in a process of its own.
    const std::string first = bundleDirectory() + "/share/quillmere/quilblock_rules.json";
    auto failsWithAComplaint = [&](const char* bad) {
        g_file_set_contents(first.c_str(), bad, -1, nullptr);
        const int failures = countLogged(kFailed);
        EXPECT_FALSE(loadOnce()) << bad;
        EXPECT_EQ(countLogged(kFailed), failures + 1) << bad;
    };
    for (const char* bad : {kRejected, "", "not json"})
        failsWithAComplaint(bad);
    const std::string libexec = bundleDirectory() + "/libexec/quillmere";
    g_mkdir_with_parents(libexec.c_str(), 0700);
    ASSERT_EQ(symlink(QUILLMERE_RULES_COMPILER, (libexec + "/quillmere-rules-compiler").c_str()), 0);
    failsWithAComplaint(kRejected);
    for (const auto& entry : capturedLog())
        EXPECT_TRUE(!entry.message.starts_with(kFailed) || entry.message.size() > kFailed.size() + 5) << entry.message;

    // A file that is not UTF-8 text is not read.
    g_file_set_contents(first.c_str(), "[\xff\xfe]", -1, nullptr);
    EXPECT_FALSE(loadOnce());
    EXPECT_TRUE(logged("Failed to read rules file at " + first));

    // The search order: the bundle, the working directory, then ~/Quillmere. The compiler stores
    // what is found, and this process finds it in the store.
    g_remove(first.c_str());
    const std::string cwd = makeTemporaryDirectory("quillmere-cwd-XXXXXX"), home = std::string(g_get_home_dir()) + "/Quillmere";
    g_mkdir_with_parents(home.c_str(), 0700);
    char* previous = g_get_current_dir();
    g_chdir(cwd.c_str());
    for (const std::string& file : {home + "/quilblock_rules.json", cwd + "/quilblock_rules.json", first}) {
        g_file_set_contents(file.c_str(), kSmallRules.c_str(), -1, nullptr);
        EXPECT_EQ(QuilBlock::locateRulesFile(), file);
    }
    g_chdir(previous);
    g_free(previous);
    EXPECT_TRUE(loadOnce());
    EXPECT_TRUE(logged(kCompiled));
}

// A later launch finds the compiled list in the engine's store within milliseconds; the
// first page waits for that answer, so not even its first request escapes the rules.
TEST_F(ContentBlocking, AStoredListBlocksTheVeryFirstPageOfALaterLaunch)
{
    serveAdPage();
    installRules(kSmallRules);
    ASSERT_TRUE(loadOnce()); // what an earlier launch leaves in the store
    Program later(installCopy(QUILLMERE_BINARY, kSmallRules), {});
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/fine.png"); }, 30000));
    runFor(1000);
    EXPECT_EQ(adRequests(), 0u);
    activateAction("quit");
    ASSERT_TRUE(later.waitForExit());
    EXPECT_NE(later.log().find("Reusing cached content rule list, skipping recompile"), std::string::npos) << later.log();
    EXPECT_EQ(later.log().find("Compiling"), std::string::npos) << later.log();
}
