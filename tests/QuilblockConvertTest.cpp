// quilblock-convert: filter syntax to WebKit content-blocker rules, on small hand-written lists.
#include "FilterConverter.h"
#include "Punycode.h"
#include "UrlPattern.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>

using nlohmann::json;
using namespace quilblock;

namespace {

const std::string kHost = "^[^:]+://([^/]+\\.)?";
const std::string kSep = "[^-_.%A-Za-z0-9]";

struct Converted {
    json rules;
    ConversionStats stats;
};

Converted convert(const std::string& list, ConversionOptions options = {})
{
    FilterConverter converter(options);
    converter.addList(list);
    auto rules = converter.convert();
    return {json::parse(toJson(rules)), converter.stats()};
}

std::string readFixture(const char* name)
{
    std::ifstream in(std::string(QUILBLOCK_TEST_DATA_DIR) + "/" + name);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The rules produced for one filter, release rules excluded.
json rulesOf(const std::string& filter)
{
    json out = json::array();
    for (auto& rule : convert(filter).rules) {
        if (rule["trigger"].contains("resource-type") && rule["trigger"]["url-filter"] == ".*"
            && rule["action"]["type"] == "ignore-previous-rules" && !rule["trigger"].contains("if-top-url"))
            continue;
        out.push_back(rule);
    }
    return out;
}

json only(const std::string& filter)
{
    json rules = rulesOf(filter);
    EXPECT_EQ(rules.size(), 1u) << filter << "\n" << rules.dump(1);
    return rules.empty() ? json::object() : rules[0];
}

size_t skipped(const Converted& c, const std::string& reason)
{
    auto it = c.stats.skipped.find(reason);
    return it == c.stats.skipped.end() ? 0 : it->second;
}

size_t indexOf(const json& rules, const std::string& urlFilter, const std::string& action)
{
    for (size_t i = 0; i < rules.size(); ++i) {
        if (rules[i]["trigger"]["url-filter"] == urlFilter && rules[i]["action"]["type"] == action)
            return i;
    }
    ADD_FAILURE() << "no " << action << " rule for " << urlFilter;
    return rules.size();
}

} // namespace

// ---- address patterns --------------------------------------------------------------------------

TEST(QuilblockAddress, TranslatesAnchorsSeparatorsAndWildcards)
{
    struct Case {
        const char* abp;
        std::vector<std::string> expected;
    } cases[] = {
        {"||example.com^", {kHost + "example\\.com" + kSep}},
        {"||example.com/ads/*.js", {kHost + "example\\.com/ads/.*\\.js"}},
        {"||example.com^*/slot^x", {kHost + "example\\.com" + kSep + ".*/slot" + kSep + "x"}},
        {"|https://ads.", {"^https://ads\\."}},
        {"swf|", {"swf$"}},
        {"*/banner/*", {"/banner/"}},
        {"*", {".*"}},
        {"", {".*"}},
        // A trailing separator may also be the end of the address: two rules, never a wider one.
        {"&ad_type=^", {"&ad_type=" + kSep, "&ad_type=$"}},
        {"/ad^|", {"/ad" + kSep + "$", "/ad$"}},
        {"/ad^*", {"/ad" + kSep, "/ad$"}},
        // Right after "||host" the address always goes on ("/" at least), so one rule does.
        {"||example.com^|", {kHost + "example\\.com" + kSep + "$"}},
    };
    for (const auto& c : cases) {
        auto t = translateAbpPattern(c.abp);
        ASSERT_TRUE(t.ok()) << c.abp << ": " << t.skipReason;
        EXPECT_EQ(t.urlFilters, c.expected) << c.abp;
    }
}

TEST(QuilblockAddress, EscapesRegexCharactersAndEncodesNonAscii)
{
    EXPECT_EQ(translateAbpPattern("/a+b?(c)[d]{e}.$f\\g").urlFilters,
        std::vector<std::string>{"/a\\+b\\?\\(c\\)\\[d\\]\\{e\\}\\.\\$f\\\\g"});
    EXPECT_EQ(translateAbpPattern("a|b").urlFilters, std::vector<std::string>{"a\\|b"});
    EXPECT_EQ(translateAbpPattern("/pub/p\xc3\xa4th/").urlFilters, std::vector<std::string>{"/pub/p%C3%A4th/"});
    EXPECT_EQ(translateAbpPattern("||b\xc3\xbc" "cher.example^").urlFilters,
        std::vector<std::string>{kHost + "xn--bcher-kva\\.example" + kSep});
    // Half a label cannot be punycoded.
    EXPECT_FALSE(translateAbpPattern("||b\xc3\xbc" "ch*").ok());
    EXPECT_FALSE(translateAbpPattern("/ad banner/").ok());
}

TEST(QuilblockAddress, RegexFiltersRewriteIntoTheSubsetOrAreRefused)
{
    struct Case {
        const char* regex;
        std::vector<std::string> expected; // empty: refused
    } cases[] = {
        {"\\d{2,3}x\\w", {"[0-9][0-9][0-9]?x[A-Za-z0-9_]"}},
        {"^https?:\\/\\/(a|bb)\\.com\\/", {"^https?://a\\.com/", "^https?://bb\\.com/"}},
        {"(?:ad|track)s?[0-9]+", {"ads?[0-9]+", "tracks?[0-9]+"}},
        {"x[\\d_.-]{3,}", {"x[0-9_.-][0-9_.-][0-9_.-]+"}},
        {"(ab)?c.*?d$", {"(ab)?c.*d$"}},
        {"\\.(php|j$)", {"\\.php", "\\.j$"}},
        {"^.*\\/ads\\/.*", {"/ads/"}},
        {"ad(?=s)", {}},
        {"\\bads", {}},
        {"(a|b)+", {}},
        {"a{100,}", {}},
        {"a$b", {}},
        {"x^y", {}},
        {"caf\xc3\xa9", {}},
        {"(a|b)(c|d)(e|f)(g|h)(i|j)(k|l)", {}},
    };
    for (const auto& c : cases) {
        auto t = translateRegexFilter(c.regex);
        if (c.expected.empty()) {
            EXPECT_FALSE(t.ok()) << c.regex << " gave " << (t.urlFilters.empty() ? "" : t.urlFilters[0]);
            EXPECT_TRUE(t.skipReason.starts_with("regex: ")) << t.skipReason;
        } else {
            ASSERT_TRUE(t.ok()) << c.regex << ": " << t.skipReason;
            EXPECT_EQ(t.urlFilters, c.expected) << c.regex;
        }
    }
}

TEST(QuilblockAddress, ValidatorKnowsWebKitsSubset)
{
    for (const char* good : {".*", "^a$", "a\\.b", "[^-_.%A-Za-z0-9]", "(ab)?c+", "(a(b)?)*d", "\\{\\}\\|\\$\\^", "x[\\]]"})
        EXPECT_TRUE(isWebKitUrlFilter(good)) << good;
    for (const char* bad : {"", "a|b", "a{2}", "\\d", "\\w", "a^b", "a$b", "(a$)", "(^a)", "()", "a**", "*a", "[]", "[a", "(a", "a)",
             "caf\xc3\xa9", "a\tb", "x}"})
        EXPECT_FALSE(isWebKitUrlFilter(bad)) << bad;
}

TEST(QuilblockAddress, Punycode)
{
    EXPECT_EQ(punycodeEncode("b\xc3\xbc" "cher"), "bcher-kva");
    EXPECT_EQ(punycodeEncode("m\xc3\xbcnchen"), "mnchen-3ya");
    EXPECT_EQ(punycodeEncode("\xd1\x8f\xd0\xbd\xd0\xb4\xd0\xb5\xd0\xba\xd1\x81"), "d1acpjx3f"); // яндекс
    EXPECT_EQ(punycodeEncode("\xe4\xb8\xad\xe5\x9b\xbd"), "fiqs8s");                             // 中国
    EXPECT_EQ(hostToAscii("WWW.B\xc3\xbc" "cher.DE"), "www.xn--bcher-kva.de");
    EXPECT_EQ(hostToAscii("\xd1\x8f\xd0\xbd\xd0\xb4\xd0\xb5\xd0\xba\xd1\x81.\xd1\x80\xd1\x84"), "xn--d1acpjx3f.xn--p1ai");
    EXPECT_FALSE(hostToAscii("bad host.com"));
    EXPECT_FALSE(hostToAscii("b\xc3.com")); // truncated UTF-8
}

// ---- options -------------------------------------------------------------------------------------

TEST(QuilblockOptions, PartyAndCase)
{
    EXPECT_EQ(only("||t.example^$third-party")["trigger"]["load-type"], json({"third-party"}));
    EXPECT_EQ(only("||t.example^$3p")["trigger"]["load-type"], json({"third-party"}));
    EXPECT_EQ(only("||t.example^$~third-party")["trigger"]["load-type"], json({"first-party"}));
    EXPECT_EQ(only("||t.example^$1p")["trigger"]["load-type"], json({"first-party"}));
    EXPECT_EQ(only("||t.example^$~1p")["trigger"]["load-type"], json({"third-party"}));
    EXPECT_EQ(only("/Track.JS$match-case")["trigger"]["url-filter-is-case-sensitive"], true);
    EXPECT_FALSE(only("/Track.JS")["trigger"].contains("url-filter-is-case-sensitive"));
}

TEST(QuilblockOptions, ResourceTypes)
{
    auto types = [](const std::string& filter) { return only(filter)["trigger"].value("resource-type", json::array()); };
    EXPECT_EQ(types("/a$script"), json({"script"}));
    EXPECT_EQ(types("/a$image,stylesheet,font,media"), json({"image", "style-sheet", "font", "media"}));
    EXPECT_EQ(types("/a$xmlhttprequest"), json({"fetch"}));
    EXPECT_EQ(types("/a$xhr,websocket"), json({"fetch", "websocket"}));
    EXPECT_EQ(types("/a$ping"), json({"ping"}));
    // Frames are "document"; top-level documents are released after all blocks.
    EXPECT_EQ(types("/a$subdocument"), json({"document"}));
    EXPECT_EQ(types("/a$script,subdocument"), json({"document", "script"}));
    // No type option: every type.
    EXPECT_EQ(types("/a"), json::array());
    EXPECT_EQ(types("/a$~object"), json::array());
    // Negations list every other type WebKit has.
    EXPECT_EQ(types("/a$~script"),
        json({"document", "image", "style-sheet", "font", "media", "fetch", "websocket", "ping", "other", "csp-report", "svg-document"}));
    EXPECT_EQ(types("/a$~image,~subdocument"),
        json({"style-sheet", "script", "font", "media", "fetch", "websocket", "ping", "other", "csp-report"}));
    // Beacons arrive as "other", so "other" never stands in for $other alone.
    auto c = convert("/a$other\n/b$object\n/c$webrtc\n");
    EXPECT_EQ(c.stats.rulesWritten, 2u);
    EXPECT_EQ(skipped(c, "type without an exact WebKit counterpart ($object, $webrtc, $other)"), 3u);
}

TEST(QuilblockOptions, DocumentAndPopupComeAfterTheRelease)
{
    auto rules = convert("||page.example^$document\n||pop.example^$popup\n/plain\n").rules;
    const size_t release = indexOf(rules, ".*", "ignore-previous-rules");
    EXPECT_EQ(rules[release]["trigger"]["resource-type"], json({"document"}));
    EXPECT_EQ(rules[release]["trigger"]["load-context"], json({"top-frame"}));
    EXPECT_EQ(rules[release + 1]["trigger"]["resource-type"], json({"popup"}));

    const size_t plain = indexOf(rules, "/plain", "block");
    const size_t page = indexOf(rules, kHost + "page\\.example" + kSep, "block");
    const size_t pop = indexOf(rules, kHost + "pop\\.example" + kSep, "block");
    EXPECT_LT(plain, release);
    EXPECT_GT(page, release + 1);
    EXPECT_GT(pop, release + 1);
    EXPECT_EQ(rules[page]["trigger"]["resource-type"], json({"document"}));
    EXPECT_EQ(rules[page]["trigger"]["load-context"], json({"top-frame"}));
    EXPECT_EQ(rules[pop]["trigger"]["resource-type"], json({"popup"}));
}

TEST(QuilblockOptions, Domains)
{
    json t = only("/a$domain=a.example|b.example")["trigger"];
    EXPECT_EQ(t["if-domain"], json({"*a.example", "*b.example"}));
    t = only("/a$domain=~a.example|~B.Example")["trigger"];
    EXPECT_EQ(t["unless-domain"], json({"*a.example", "*b.example"}));
    t = only("/a$domain=b\xc3\xbc" "cher.example")["trigger"];
    EXPECT_EQ(t["if-domain"], json({"*xn--bcher-kva.example"}));
    // An excluded name outside every included one changes nothing.
    t = only("/a$domain=a.example|~other.example")["trigger"];
    EXPECT_EQ(t["if-domain"], json({"*a.example"}));
    EXPECT_FALSE(t.contains("unless-domain"));
    // Entities cannot be expressed: dropped where that blocks less, skipped where it would block more.
    t = only("/a$domain=a.example|shop.*")["trigger"];
    EXPECT_EQ(t["if-domain"], json({"*a.example"}));
    EXPECT_EQ(skipped(convert("/a$domain=shop.*"), "only entity or regex domains (name.*)"), 1u);
    EXPECT_EQ(skipped(convert("/a$domain=~shop.*"), "entity or regex domain (name.*) excluded"), 1u);
    EXPECT_EQ(skipped(convert("/a$domain=a.example|~a.example"), "every domain excluded"), 1u);
    EXPECT_EQ(skipped(convert("/a$domain=a b.example"), "invalid domain in $domain"), 1u);
}

TEST(QuilblockOptions, ExcludedSubdomainIsReleasedRightAfterTheBlock)
{
    // if-domain and unless-domain cannot share a trigger.
    json rules = rulesOf("/a$script,domain=news.example|~blog.news.example\n/b\n");
    ASSERT_EQ(rules.size(), 3u) << rules.dump(1);
    EXPECT_EQ(rules[0]["action"]["type"], "block");
    EXPECT_EQ(rules[0]["trigger"]["if-domain"], json({"*news.example"}));
    EXPECT_EQ(rules[1]["action"]["type"], "ignore-previous-rules");
    EXPECT_EQ(rules[1]["trigger"]["if-domain"], json({"*blog.news.example"}));
    EXPECT_EQ(rules[1]["trigger"]["url-filter"], rules[0]["trigger"]["url-filter"]);
    EXPECT_EQ(rules[1]["trigger"]["resource-type"], json({"script"}));
    EXPECT_EQ(rules[2]["trigger"]["url-filter"], "/b");
}

// ---- exceptions ------------------------------------------------------------------------------------

TEST(QuilblockExceptions, ComeAfterEveryBlockTheyMayUndo)
{
    json rules = convert(readFixture("mixed.txt")).rules;
    size_t lastBlock = 0, firstException = rules.size(), firstImportant = rules.size();
    for (size_t i = 0; i < rules.size(); ++i) {
        const json& r = rules[i];
        bool important = r["action"]["type"] == "block" && r["trigger"]["url-filter"].get<std::string>().find("stay\\.example") != std::string::npos;
        if (important)
            firstImportant = std::min(firstImportant, i);
        else if (r["action"]["type"] == "block")
            lastBlock = i;
        bool releaseOrDomainExclusion = r["trigger"].contains("if-domain") || r["trigger"]["url-filter"] == ".*";
        if (r["action"]["type"] == "ignore-previous-rules" && !releaseOrDomainExclusion)
            firstException = std::min(firstException, i);
    }
    EXPECT_LT(lastBlock, firstException);
    // $important blocks stay blocked: nothing after them undoes them.
    EXPECT_LT(firstException, firstImportant);
    for (size_t i = firstImportant; i < rules.size(); ++i)
        EXPECT_EQ(rules[i]["action"]["type"], "block") << rules[i].dump();
}

TEST(QuilblockExceptions, Shapes)
{
    json r = only("@@||cdn.example^$script,domain=site.example");
    EXPECT_EQ(r["action"]["type"], "ignore-previous-rules");
    EXPECT_EQ(r["trigger"]["resource-type"], json({"script"}));
    EXPECT_EQ(r["trigger"]["if-domain"], json({"*site.example"}));

    // Exceptions never touch top-level pages unless they say $document.
    json frames = rulesOf("@@/frame/$subdocument");
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0]["trigger"]["resource-type"], json({"document"}));
    EXPECT_EQ(frames[0]["trigger"]["load-context"], json({"child-frame"}));
    json untyped = rulesOf("@@/ok/");
    ASSERT_EQ(untyped.size(), 2u);
    EXPECT_EQ(untyped[0]["trigger"]["resource-type"].size(), 11u);
    EXPECT_EQ(untyped[1]["trigger"]["load-context"], json({"child-frame"}));

    // A $document exception allow-lists the pages it matches.
    r = only("@@||trusted.example^$document");
    EXPECT_EQ(r["trigger"]["url-filter"], ".*");
    EXPECT_EQ(r["trigger"]["if-top-url"], json({kHost + "trusted\\.example" + kSep}));
    EXPECT_EQ(r["action"]["type"], "ignore-previous-rules");

    r = only("@@||ads.example^$popup");
    EXPECT_EQ(r["trigger"]["resource-type"], json({"popup"}));
}

// ---- element hiding --------------------------------------------------------------------------------

TEST(QuilblockHiding, GenericSelectorsAreBatched)
{
    ConversionOptions options;
    options.genericSelectorsPerRule = 2;
    auto c = convert("##.a\n###b\n##div[id^=\"c\"]\n##.a\n", options);
    ASSERT_EQ(c.rules.size(), 4u); // two batches after the release
    EXPECT_EQ(c.rules[2]["trigger"], json({{"url-filter", ".*"}}));
    EXPECT_EQ(c.rules[2]["action"], json({{"type", "css-display-none"}, {"selector", ".a, #b"}}));
    EXPECT_EQ(c.rules[3]["action"]["selector"], "div[id^=\"c\"]");
    EXPECT_EQ(skipped(c, "duplicate"), 1u);
}

TEST(QuilblockHiding, DomainSpecificAndExceptions)
{
    json r = only("a.example,b.example##.promo");
    EXPECT_EQ(r["trigger"]["url-filter"], ".*");
    EXPECT_EQ(r["trigger"]["if-domain"], json({"*a.example", "*b.example"}));
    EXPECT_EQ(r["action"]["selector"], ".promo");

    // A generic selector excepted on a site gets a rule of its own that leaves that site out.
    json rules = rulesOf("##.ad\n##.other\nquiet.example#@#.ad\n");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[0]["action"]["selector"], ".ad");
    EXPECT_EQ(rules[0]["trigger"]["unless-top-url"], json({kHost + "quiet\\.example" + kSep}));
    EXPECT_EQ(rules[1]["action"]["selector"], ".other");

    r = only("~quiet.example##.loud");
    EXPECT_EQ(r["trigger"]["unless-top-url"], json({kHost + "quiet\\.example" + kSep}));

    // if-domain cannot leave a subdomain out: keep the parent domain alone rather than hide more.
    r = only("big.example,other.example##.x\nsub.big.example#@#.x");
    EXPECT_EQ(r["trigger"]["if-domain"], json({"big.example", "*other.example"}));

    auto c = convert("##.gone\n#@#.gone\na.example##.gone2\na.example#@#.gone2\n");
    EXPECT_EQ(c.stats.rulesWritten, 2u);
    EXPECT_EQ(skipped(c, "disabled by #@# exception"), 2u);
}

TEST(QuilblockHiding, GenerichideLeavesPagesOutOfGenericHiding)
{
    json rules = rulesOf("##.ad\nsite.example##.own\n@@||quiet.example^$generichide\n@@$generichide,domain=calm.example\n"
                         "@@||search.example/results?$generichide\n");
    ASSERT_EQ(rules.size(), 2u);
    EXPECT_EQ(rules[1]["action"]["selector"], ".ad");
    EXPECT_EQ(rules[1]["trigger"]["unless-top-url"],
        json({kHost + "calm\\.example" + kSep, kHost + "quiet\\.example" + kSep, kHost + "search\\.example/results\\?"}));
    // Domain-specific hiding is not generic.
    EXPECT_FALSE(rules[0]["trigger"].contains("unless-top-url"));
}

// ---- what is left out --------------------------------------------------------------------------------

TEST(QuilblockSkips, EachReasonIsCounted)
{
    struct Case {
        const char* filter;
        const char* reason;
    } cases[] = {
        {"||a.example^$csp=script-src 'none'", "unsupported option $csp"},
        {"||a.example/x.js$script,redirect=noop.js", "unsupported option $redirect"},
        {"||a.example/x.js$redirect-rule=noop.js", "unsupported option $redirect-rule"},
        {"||a.example^$removeparam=utm_source", "unsupported option $removeparam"},
        {"||a.example/v.mp4$rewrite=abp-resource:blank-mp4", "unsupported option $rewrite"},
        {"||a.example^$sitekey=abcdef", "unsupported option $sitekey"},
        {"||a.example^$header=via:1.1", "unsupported option $header"},
        {"||a.example^$all", "unsupported option $all"},
        {"@@||a.example^$genericblock", "unsupported option $genericblock"},
        {"@@||a.example^$elemhide", "unsupported option $elemhide"},
        {"@@||a.example^$specifichide", "unsupported option $specifichide"},
        {"||a.example^$generichide", "$generichide on a blocking filter"},
        {"@@||a.example^$important", "$important on an exception"},
        {"||a.example^$frobnicate", "unknown option $frobnicate"},
        {"/ads(?!ok)/", "regex: lookaround or named group"},
        {"/a{500}/", "regex: repetition count too large"},
        {"a.example##+js(set, x, 1)", "scriptlet"},
        {"a.example#%#window.x = 1;", "scriptlet"},
        {"a.example#?#.x:-abp-has(.ad)", "procedural element hiding"},
        {"a.example##.x:has(.ad)", "procedural element hiding"},
        {"a.example##.x:has-text(Sponsored)", "procedural element hiding"},
        {"a.example##:xpath(//div)", "procedural element hiding"},
        {"a.example##.x:upward(2)", "procedural element hiding"},
        {"a.example#$#.x { display: none; }", "CSS injection"},
        {"a.example##.x:style(color: red)", "CSS injection"},
        {"a.example##^script:has-text(ads)", "HTML filtering"},
        {"a.example$$script[data-ad]", "HTML filtering"},
        {"shop.*##.x", "only entity or regex domains (name.*)"},
    };
    for (const auto& c : cases) {
        auto converted = convert(std::string(c.filter) + "\n");
        EXPECT_EQ(converted.stats.rulesWritten, 2u) << c.filter; // the release rules only
        EXPECT_EQ(skipped(converted, c.reason), 1u) << c.filter << "\n" << formatSummary(converted.stats);
    }
}

TEST(QuilblockSkips, CommentsPreprocessorAndBadfilter)
{
    auto c = convert("[Adblock Plus 2.0]\n! comment\n\n"
                     "!#if ext_ublock\n/ublock-only\n!#else\n/elsewhere\n!#endif\n"
                     "!#if !env_safari\n/not-safari\n!#endif\n"
                     "/cancelled$script\n/cancelled$script,badfilter\n/kept$image\n");
    EXPECT_EQ(c.stats.filtersRead, 6u);
    EXPECT_EQ(skipped(c, "inside an inactive !#if block"), 1u);
    EXPECT_EQ(skipped(c, "cancelled by $badfilter"), 1u);
    std::set<std::string> filters;
    for (auto& r : c.rules)
        filters.insert(r["trigger"]["url-filter"]);
    EXPECT_EQ(filters, (std::set<std::string>{".*", "/elsewhere", "/not-safari", "/kept"}));
}

TEST(QuilblockSkips, NativeHasIsAnOption)
{
    ConversionOptions options;
    options.nativeHasSelector = true;
    auto c = convert("a.example##.x:has(.ad)\na.example##.y:has-text(ad)\n", options);
    EXPECT_EQ(c.stats.rulesWritten, 3u);
    EXPECT_EQ(skipped(c, "procedural element hiding"), 1u);
}

// ---- the document as a whole ---------------------------------------------------------------------------

TEST(QuilblockDocument, ShapeAndVocabulary)
{
    auto c = convert(readFixture("mixed.txt"));
    const json& rules = c.rules;
    ASSERT_TRUE(rules.is_array());
    EXPECT_EQ(rules.size(), c.stats.rulesWritten);
    EXPECT_GT(rules.size(), 30u);

    const std::set<std::string> triggerKeys{"url-filter", "url-filter-is-case-sensitive", "resource-type", "load-type",
        "load-context", "if-domain", "unless-domain", "if-top-url", "unless-top-url"};
    const std::set<std::string> types{"document", "image", "style-sheet", "script", "font", "media", "fetch", "websocket",
        "ping", "other", "csp-report", "svg-document", "popup"};
    const std::set<std::string> actions{"block", "ignore-previous-rules", "css-display-none"};
    std::set<std::string> seenActions;
    for (const auto& rule : rules) {
        ASSERT_TRUE(rule.is_object());
        EXPECT_EQ(rule.size(), 2u);
        const json& t = rule.at("trigger");
        const json& a = rule.at("action");
        ASSERT_TRUE(t.at("url-filter").is_string());
        EXPECT_TRUE(isWebKitUrlFilter(t["url-filter"].get<std::string>())) << t;
        int conditions = 0;
        for (const auto& [key, value] : t.items()) {
            EXPECT_TRUE(triggerKeys.contains(key)) << key;
            if (key == "if-domain" || key == "unless-domain" || key == "if-top-url" || key == "unless-top-url") {
                ++conditions;
                ASSERT_FALSE(value.empty()) << t;
                for (const auto& v : value) {
                    std::string s = v;
                    if (key.ends_with("top-url")) {
                        EXPECT_TRUE(isWebKitUrlFilter(s)) << s;
                    } else {
                        for (char ch : s)
                            EXPECT_TRUE((ch >= 'a' && ch <= 'z') || (ch >= '0' && ch <= '9') || std::string_view("*.-_[]:").find(ch) != std::string_view::npos) << s;
                    }
                }
            }
        }
        EXPECT_LE(conditions, 1) << t;
        for (const auto& type : t.value("resource-type", json::array()))
            EXPECT_TRUE(types.contains(type.get<std::string>())) << type;
        ASSERT_TRUE(a.at("type").is_string());
        EXPECT_TRUE(actions.contains(a["type"].get<std::string>()));
        seenActions.insert(a["type"]);
        EXPECT_EQ(a.contains("selector"), a["type"] == "css-display-none");
        if (a.contains("selector")) {
            EXPECT_FALSE(a["selector"].get<std::string>().empty());
        }
    }
    EXPECT_EQ(seenActions, actions);
}
