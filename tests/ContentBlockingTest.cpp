#include "support/Browser.h"
#include "support/Program.h"

#include "adblock/QuilBlock.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <glib/gstdio.h>
#include <unistd.h>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// A small rules document: quick to compile, with a non-ASCII selector so that its size
// in bytes differs from its length in characters.
const std::string kSmallRules = R"([
  {"trigger": {"url-filter": "blocked-ad\\.png"}, "action": {"type": "block"}},
  {"trigger": {"url-filter": ".*"}, "action": {"type": "css-display-none", "selector": ".café-ad"}}
])";

const char* kCompiled = "Content rule list compiled successfully and ready";
const char* kAttached = "Ad-block rule list attached to web view(s)";
const char* kReused = "Reusing cached content rule list, skipping recompile";
const char* kNotActive = "Ad blocking not active for this session";

class ContentBlocking : public BrowserTest {
protected:
    // A page with one image the small rules block and one they allow.
    void serveAdPage()
    {
        const std::string pixel = testData("pixel.png");
        server.route("/blocked-ad.png", Response{200, "image/png", pixel, {}});
        server.route("/fine.png", Response{200, "image/png", pixel, {}});
        server.page("/", "<title>Ads</title><img src='/blocked-ad.png'><img src='/fine.png'>"
                         "<div class='café-ad' id='hidden'>x</div>");
    }

    size_t adRequests() { return server.requestsFor("/blocked-ad.png").size(); }

    // Loads the page again in tab `index` and waits until its images have settled.
    void reloadAndSettle(int index)
    {
        const size_t fine = server.requestsFor("/fine.png").size();
        webkit_web_view_reload(tab(index).webView.get());
        ASSERT_TRUE(runUntil([&] { return server.requestsFor("/fine.png").size() > fine; }));
        ASSERT_TRUE(waitForLoad(tab(index).webView.get(), server.url("/")));
    }
};

std::string readBuiltRules()
{
    gchar* text = nullptr;
    gsize length = 0;
    const std::string path = std::string(QUILLMERE_BUILD_DIR) + "/share/quillmere/quilblock_rules.json";
    if (!g_file_get_contents(path.c_str(), &text, &length, nullptr))
        throw std::runtime_error("the build has no rules document at " + path);
    std::string rules(text, length);
    g_free(text);
    return rules;
}

} // namespace

TEST_F(ContentBlocking, EasyListAndEasyPrivacyBlockExactlyWhatTheyList)
{
    installRules(readBuiltRules());
    useServerAsProxy();
    const std::string pixel = testData("pixel.png");
    const Response image{200, "image/png", pixel, {}};
    const Response script{200, "application/javascript", "window.loadedScripts = (window.loadedScripts || 0) + 1;", {}};
    // Listed: a host anchor, a third-party host, first-party paths, a tracking pixel.
    server.route("ib.adnxs.com", "/getuid.gif", image);
    server.route("sb.scorecardresearch.com", "/beacon.js", script);
    server.route("news.example", "/img/banner-ad.png", image);
    server.route("news.example", "/ads/banners/top.png", image);
    server.route("news.example", "/stats/pixel.gif", image);
    server.route("static.hotjar.com", "/c/hotjar.js", script);
    // Not listed, or excepted: a script the banner rule leaves alone, a site whose
    // own ads folder the list allows, ordinary resources.
    server.route("news.example", "/js/banner-ad.js", script);
    server.route("discretemath.org", "/ads/banners/top.png", image);
    server.route("news.example", "/img/photo.jpg", image);
    server.route("cdn.example", "/lib.js", script);
    server.route("news.example", "/", Response{200, "text/html", R"(<title>News</title>
        <img src="http://ib.adnxs.com/getuid.gif">
        <script src="http://sb.scorecardresearch.com/beacon.js"></script>
        <img src="/img/banner-ad.png">
        <img src="/ads/banners/top.png">
        <img src="/stats/pixel.gif?id=1">
        <script src="http://static.hotjar.com/c/hotjar.js"></script>
        <script src="/js/banner-ad.js"></script>
        <img src="http://discretemath.org/ads/banners/top.png">
        <img src="/img/photo.jpg">
        <script src="http://cdn.example/lib.js"></script>
        <div class="banner-ad" id="cosmetic">advert</div>
        <div class="article" id="article">story</div>)", {}});
    setDefault(kHomepageKey, "http://news.example/");
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kCompiled); }, 120000)) << "the engine did not compile the document";
    ASSERT_TRUE(runUntil([] { return logged(kAttached); }));

    auto load = [&] {
        const size_t before = server.requests().size();
        browser().reload();
        EXPECT_TRUE(runUntil([&] { return server.requests().size() > before && !webkit_web_view_is_loading(activeView()); }));
        EXPECT_TRUE(runUntil([&] { return evaluate(activeView(), "document.readyState") == "\"complete\""; }));
        runFor(300);
        std::vector<SeenRequest> seen(server.requests().begin() + before, server.requests().end());
        return seen;
    };
    auto requested = [](const std::vector<SeenRequest>& seen, const std::string& host, const std::string& path) {
        for (const auto& request : seen)
            if (request.host == host && request.path == path)
                return true;
        return false;
    };

    const auto blocked = load();
    EXPECT_FALSE(requested(blocked, "ib.adnxs.com", "/getuid.gif"));
    EXPECT_FALSE(requested(blocked, "sb.scorecardresearch.com", "/beacon.js"));
    EXPECT_FALSE(requested(blocked, "news.example", "/img/banner-ad.png"));
    EXPECT_FALSE(requested(blocked, "news.example", "/ads/banners/top.png"));
    EXPECT_FALSE(requested(blocked, "news.example", "/stats/pixel.gif"));
    EXPECT_FALSE(requested(blocked, "static.hotjar.com", "/c/hotjar.js"));
    EXPECT_TRUE(requested(blocked, "news.example", "/js/banner-ad.js"));
    EXPECT_TRUE(requested(blocked, "discretemath.org", "/ads/banners/top.png"));
    EXPECT_TRUE(requested(blocked, "news.example", "/img/photo.jpg"));
    EXPECT_TRUE(requested(blocked, "cdn.example", "/lib.js"));
    EXPECT_EQ(evaluate(activeView(), "getComputedStyle(document.getElementById('cosmetic')).display"), "\"none\"");
    EXPECT_EQ(evaluate(activeView(), "getComputedStyle(document.getElementById('article')).display"), "\"block\"");
    EXPECT_TRUE(runUntil([&] { return browser().blockedBadge().get_text() == "🛡️ 6 blocked"; }))
        << browser().blockedBadge().get_text();

    // Switched off, every request reaches the server again.
    browser().setAdBlockEnabled(false);
    const auto open = load();
    for (const auto& [host, path] : std::vector<std::pair<std::string, std::string>>{
             {"ib.adnxs.com", "/getuid.gif"}, {"sb.scorecardresearch.com", "/beacon.js"},
             {"news.example", "/img/banner-ad.png"}, {"news.example", "/ads/banners/top.png"},
             {"news.example", "/stats/pixel.gif"}, {"static.hotjar.com", "/c/hotjar.js"}})
        EXPECT_TRUE(requested(open, host, path)) << host << path;
    EXPECT_EQ(evaluate(activeView(), "getComputedStyle(document.getElementById('cosmetic')).display"), "\"block\"");
    EXPECT_EQ(browser().blockedBadge().get_text(), "🛡️ 0 blocked");
}

TEST_F(ContentBlocking, TheFirstLaunchCompilesAndLaterLookupsReuseTheStoredList)
{
    serveAdPage();
    installRules(kSmallRules);
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kAttached); }, 30000));

    // The byte count is of UTF-8 bytes: "é" is two.
    const std::string compiling = "Compiling content rule list from quilblock_rules.json (" +
                                  std::to_string(kSmallRules.size()) + " bytes)";
    EXPECT_EQ(kSmallRules.size(), g_utf8_strlen(kSmallRules.c_str(), -1) + 1);
    std::vector<std::string> sequence;
    for (const auto& entry : capturedLog())
        if (entry.message.rfind("Compiling", 0) == 0 || entry.message == kCompiled || entry.message == kAttached)
            sequence.push_back(entry.message);
    EXPECT_EQ(sequence, (std::vector<std::string>{compiling, kCompiled, kAttached}));

    // Tabs opened after the list is ready get it at once.
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/fine.png").size() >= 2; }));
    runFor(200);
    const size_t adsSoFar = adRequests();
    reloadAndSettle(1);
    EXPECT_EQ(adRequests(), adsSoFar);
    EXPECT_EQ(evaluate(activeView(), "getComputedStyle(document.getElementById('hidden')).display"), "\"none\"");

    // The engine's store now holds the list: a later load needs no file at all.
    g_remove((bundleDirectory() + "/share/quillmere/quilblock_rules.json").c_str());
    QuilBlock::RuleList reused;
    bool answered = false;
    QuilBlock::loadAndCompile([&](QuilBlock::RuleList list) {
        reused = std::move(list);
        answered = true;
    });
    ASSERT_TRUE(runUntil([&] { return answered; }));
    EXPECT_TRUE(reused);
    EXPECT_TRUE(logged(kReused));
    EXPECT_EQ(countLogged("Compiling content rule list"), 1);
}

TEST_F(ContentBlocking, WithoutUsableRulesTheBrowserRunsUnblocked)
{
    serveAdPage();
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kNotActive); }));
    EXPECT_TRUE(logged("quilblock_rules.json not found next to the app bundle -- ad blocking disabled"));
    EXPECT_TRUE(runUntil([&] { return adRequests() == 1; }));
    EXPECT_FALSE(browser().compiledRuleList());

    auto loadOnce = [] {
        bool answered = false;
        QuilBlock::RuleList result;
        QuilBlock::loadAndCompile([&](QuilBlock::RuleList list) {
            result = std::move(list);
            answered = true;
        });
        runUntil([&] { return answered; }, 30000);
        return result != nullptr;
    };
    const std::string first = bundleDirectory() + "/share/quillmere/quilblock_rules.json";
    const std::string home = std::string(g_get_home_dir()) + "/Quillmere/quilblock_rules.json";
    g_mkdir_with_parents((std::string(g_get_home_dir()) + "/Quillmere").c_str(), 0700);

    // A directory in the first place wins the search, then fails the read, even with a
    // good file further down.
    g_mkdir(first.c_str(), 0700);
    g_file_set_contents(home.c_str(), kSmallRules.c_str(), -1, nullptr);
    EXPECT_FALSE(loadOnce());
    EXPECT_TRUE(logged("Failed to read rules file at " + first));
    g_rmdir(first.c_str());

    // Malformed and empty documents: the engine's own complaint is logged.
    for (const char* bad : {"[{\"trigger\": {\"url-filter\": \"a{2}\"}, \"action\": {\"type\": \"block\"}}]", "", "not json"}) {
        g_file_set_contents(first.c_str(), bad, -1, nullptr);
        const int failures = countLogged("Content rule list compilation failed: ");
        EXPECT_FALSE(loadOnce()) << bad;
        EXPECT_EQ(countLogged("Content rule list compilation failed: "), failures + 1) << bad;
    }

    // A file that is not UTF-8 text is not read.
    g_file_set_contents(first.c_str(), "[\xff\xfe]", -1, nullptr);
    EXPECT_FALSE(loadOnce());
    EXPECT_EQ(countLogged("Failed to read rules file at " + first), 2);

    // The search order: the bundle, the working directory, then ~/Quillmere.
    const std::string cwd = makeTemporaryDirectory("quillmere-cwd-XXXXXX");
    char* previous = g_get_current_dir();
    g_chdir(cwd.c_str());
    g_file_set_contents((cwd + "/quilblock_rules.json").c_str(), "[]", -1, nullptr);
    EXPECT_EQ(QuilBlock::locateRulesFile(), first);
    g_remove(first.c_str());
    EXPECT_EQ(QuilBlock::locateRulesFile(), cwd + "/quilblock_rules.json");
    g_remove((cwd + "/quilblock_rules.json").c_str());
    EXPECT_EQ(QuilBlock::locateRulesFile(), home);
    g_chdir(previous);
    g_free(previous);

    // Only the home copy left: it is compiled.
    EXPECT_TRUE(loadOnce());
}

TEST_F(ContentBlocking, TheSwitchTakesTheListOutOfEveryTabAndPutsItBack)
{
    serveAdPage();
    installRules(kSmallRules);
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kAttached); }, 30000));
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    reloadAndSettle(0);
    reloadAndSettle(1);
    const size_t blockedAds = adRequests();

    const size_t pages = server.requestsFor("/").size();
    browser().setAdBlockEnabled(false);
    // Both tabs load again, unblocked.
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() == pages + 2; }));
    EXPECT_TRUE(runUntil([&] { return adRequests() == blockedAds + 2; }));
    EXPECT_TRUE(logged("Ad blocking disabled across 2 tab(s)"));
    EXPECT_EQ(UserDefaults::standard().boolean(kAdBlockEnabledKey), false);

    browser().setAdBlockEnabled(true);
    EXPECT_TRUE(runUntil([&] { return server.requestsFor("/").size() == pages + 4; }));
    ASSERT_TRUE(waitForLoad(tab(0).webView.get(), server.url("/")));
    ASSERT_TRUE(waitForLoad(tab(1).webView.get(), server.url("/")));
    runFor(300);
    EXPECT_EQ(adRequests(), blockedAds + 2);
    EXPECT_TRUE(logged("Ad blocking enabled across 2 tab(s)"));
    EXPECT_EQ(countLogged("Compiling content rule list"), 1) << "switching on again needs no compile";
}

TEST_F(ContentBlocking, ASwitchStoredOffAttachesNothingUntilTurnedOn)
{
    serveAdPage();
    installRules(kSmallRules);
    setDefault(kHomepageKey, server.url("/"));
    setDefault(kAdBlockEnabledKey, "false");
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kCompiled); }, 30000));
    runFor(300);
    EXPECT_FALSE(logged(kAttached));
    EXPECT_TRUE(browser().compiledRuleList());
    reloadAndSettle(0);
    browser().openNewTab(server.url("/"));
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
    EXPECT_TRUE(runUntil([&] { return adRequests() >= 3; }));

    browser().setAdBlockEnabled(true);
    EXPECT_TRUE(logged("Ad blocking enabled across 2 tab(s)"));
    runFor(500);
    const size_t ads = adRequests();
    reloadAndSettle(0);
    EXPECT_EQ(adRequests(), ads);
}

TEST_F(ContentBlocking, AnInstalledCompilerBuildsTheListInItsOwnProcess)
{
    const std::string libexec = bundleDirectory() + "/libexec/quillmere";
    g_mkdir_with_parents(libexec.c_str(), 0700);
    ASSERT_EQ(symlink(QUILLMERE_RULES_COMPILER, (libexec + "/quillmere-rules-compiler").c_str()), 0);

    // A document the engine rejects: its message comes back from the helper.
    installRules(R"([{"trigger": {"url-filter": "a{2}"}, "action": {"type": "block"}}])");
    serveAdPage();
    setDefault(kHomepageKey, server.url("/"));
    launch();
    ASSERT_TRUE(runUntil([] { return logged(kNotActive); }, 30000));
    ASSERT_EQ(countLogged("Content rule list compilation failed: "), 1);
    for (const auto& entry : capturedLog()) {
        if (entry.message.rfind("Content rule list compilation failed: ", 0) == 0) {
            EXPECT_GT(entry.message.size(), std::string("Content rule list compilation failed: ").size() + 5) << entry.message;
        }
    }

    // A good one: the helper stores it, this process finds it in the store.
    installRules(kSmallRules);
    QuilBlock::RuleList list;
    bool answered = false;
    QuilBlock::loadAndCompile([&](QuilBlock::RuleList compiled) {
        list = std::move(compiled);
        answered = true;
    });
    ASSERT_TRUE(runUntil([&] { return answered; }, 30000));
    EXPECT_TRUE(list);
    EXPECT_TRUE(logged(kCompiled));
}

TEST_F(ContentBlocking, ANonBooleanSwitchValueMeansOn)
{
    serveAdPage();
    installRules(kSmallRules);
    setDefault(kHomepageKey, server.url("/"));
    setDefault(kAdBlockEnabledKey, "sometimes");
    launch();
    EXPECT_TRUE(runUntil([] { return logged(kAttached); }, 30000));
}

// A later launch finds the compiled list in the engine's store within milliseconds; the
// first page waits for that answer, so not even its first request escapes the rules.
TEST(ContentBlockingAtLaunch, AStoredListBlocksTheVeryFirstPage)
{
    TestServer server;
    gchar* pixel = nullptr;
    gsize length = 0;
    g_file_get_contents((std::string(std::getenv("QUILLMERE_TEST_DATA")) + "/pixel.png").c_str(), &pixel, &length, nullptr);
    server.route("/blocked-ad.png", Response{200, "image/png", std::string(pixel, length), {}});
    g_free(pixel);
    server.page("/", "<title>Ads</title><img src='/blocked-ad.png'>");
    UserDefaults::standard().setString(kHomepageKey, server.url("/"));
    const std::string binary = installCopy(QUILLMERE_BINARY, kSmallRules);

    {
        Program first(binary, {});
        ASSERT_TRUE(runUntil([&] { return first.log().find(kAttached) != std::string::npos; }, 30000)) << first.log();
        activateAction("quit");
        ASSERT_TRUE(first.waitForExit());
    }
    const size_t pages = server.requestsFor("/").size();
    const size_t ads = server.requestsFor("/blocked-ad.png").size();

    Program second(binary, {});
    ASSERT_TRUE(runUntil([&] { return server.requestsFor("/").size() > pages; }, 30000));
    runFor(1000);
    EXPECT_EQ(server.requestsFor("/blocked-ad.png").size(), ads);
    const std::string log = second.log();
    EXPECT_NE(log.find(kReused), std::string::npos) << log;
    EXPECT_EQ(log.find("Compiling"), std::string::npos) << log;
    activateAction("quit");
    EXPECT_TRUE(second.waitForExit());
}
