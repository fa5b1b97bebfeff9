// quilblock-convert: filter syntax to WebKit content-blocker rules, on small hand-written lists.
#include "FilterConverter.h"
#include "UrlPattern.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>

using nlohmann::json;
using namespace quilblock;

namespace {

// The rules as JSON, and what was skipped for which reason.
std::pair<json, ConversionStats> convert(const std::string& list, ConversionOptions options = {})
{
    FilterConverter converter(options);
    converter.addList(list);
    return {json::parse(toJson(converter.convert())), converter.stats()};
}

// The rules that let top-level pages and popups through after all blocks.
bool isRelease(const json& r)
{
    const json& t = r["trigger"];
    return t.contains("resource-type") && t["url-filter"] == ".*" && r["action"]["type"] == "ignore-previous-rules" && !t.contains("if-top-url");
}

// Every rule but the releases, flat: the trigger's keys and "action" ("block", "allow" for
// ignore-previous-rules, "hide SELECTOR"), with the regexes of "||" and "^" written as those again.
json flatRules(const json& rules)
{
    std::string text = rules.dump();
    const std::string host = json(std::string(kHostAnchor)).dump();
    for (auto [from, to] : {std::pair{host.substr(1, host.size() - 2), "||"}, std::pair{std::string(kSeparatorClass), "^"}})
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
    json out = json::array();
    for (const auto& r : json::parse(text)) {
        json flat = r["trigger"];
        const std::string type = r["action"]["type"];
        flat["action"] = type == "css-display-none" ? "hide " + r["action"]["selector"].get<std::string>() : type == "ignore-previous-rules" ? "allow" : type;
        if (!isRelease(r))
            out.push_back(flat);
    }
    return out;
}

// Whether `got` has every key of `want` (or is for the url-filter `want`); null means absent, no action means "block".
bool matches(const json& got, json want)
{
    if (want.is_string())
        want = {{"url-filter", want}};
    want.emplace("action", "block"); // unless it names one
    for (const auto& [key, value] : want.items())
        if (value.is_null() ? got.contains(key) : !got.contains(key) || got.at(key) != value)
            return false;
    return true;
}

} // namespace

TEST(QuilblockConvert, EachSyntaxBecomesItsRulesOrIsSkippedForItsReason)
{
    struct Case {
        std::string list;
        std::string rules;        // the rules but the releases, in order: each a fragment of its flat form, or its
                                  // url-filter alone; a lone rule needs no array
        std::string skips = "{}"; // every reason a filter was left out for, with its count
        ConversionOptions options = {};
    };
    std::vector<Case> cases = {
        // Addresses.
        {"||example.com^\n||example.com/ads/*.js\n||example.com^*/slot^x\n||example.com^|\n|https://ads.\nswf|\n*/banner/*\n-ad-300x250.\n/a+b?(c)[d]{e}.|x\\g",
            R"(["||example\\.com^","||example\\.com/ads/.*\\.js","||example\\.com^.*/slot^x","||example\\.com^$","^https://ads\\.","swf$","/banner/",
                "-ad-300x250\\.","/a\\+b\\?\\(c\\)\\[d\\]\\{e\\}\\.\\|x\\\\g"])"},
        // A trailing separator may also be the end of the address: two rules, never a wider one.
        {"&ad_type=^\n/ad^|\n/ad^*", R"(["&ad_type=^","&ad_type=$","/ad^$","/ad$","/ad^","/ad$"])"},
        {"/pub/p\xc3\xa4th/x\n||b\xc3\xbc" "cher.example^\n||\xe4\xb8\xad\xe5\x9b\xbd.example^\n||b\xc3\xbc" "ch*\n"
         "||\xd1\x8f\xd0\xbd\xd0\xb4\xd0\xb5\xd0\xba\xd1\x81.\xd1\x80\xd1\x84^",
            R"(["/pub/p%C3%A4th/x","||xn--bcher-kva\\.example^","||xn--fiqs8s\\.example^","||xn--d1acpjx3f\\.xn--p1ai^"])",
            R"({"non-ASCII host in pattern":1})"},
        // Regex filters: rewritten into WebKit's subset, or refused.
        {"/\\d{2,3}x\\w/\n/x[\\d_.-]{3,}/\n/^.*\\/ads\\/.*/\n/^https?:\\/\\/(a|bb)\\.com\\//\n/(?:ad|track)s?[0-9]+/\n/(ab)?c.*?d$/\n"
         "/ads(?!ok)/\n/a{500}/\n/a{100,}/\n/(a|b)+/\n/(a|b)(c|d)(e|f)(g|h)(i|j)(k|l)/\n/caf\xc3\xa9/",
            R"(["[0-9][0-9][0-9]?x[A-Za-z0-9_]","x[0-9_.-][0-9_.-][0-9_.-]+","/ads/","^https?://a\\.com/","^https?://bb\\.com/","ads?[0-9]+","tracks?[0-9]+",
                "(ab)?c.*d$"])", R"({"regex: lookaround or named group":1,"regex: repetition count too large":2,"regex: repeated alternation":1,
                "regex: too many alternatives":1,"regex: non-ASCII or control character":1})"},
        // Party, case and resource types.
        {"||t.example^$third-party\n||t.example^$3p\n||t.example^$~third-party\n||t.example^$~1p",
            R"([{"load-type":["third-party"]},{"load-type":["third-party"]},{"load-type":["first-party"]},{"load-type":["third-party"]}])"},
        {"/Track.JS$match-case\n/Track.JS", R"([{"url-filter":"/Track\\.JS","url-filter-is-case-sensitive":true},
            {"url-filter":"/Track\\.JS","url-filter-is-case-sensitive":null,"resource-type":null,"load-type":null}])"},
        // Frames are "document"; top-level documents are released after all blocks. Beacons arrive as
        // "other", so "other" never stands in for $other alone.
        {"/a$image,stylesheet,font,media\n/a$xmlhttprequest,ping\n/a$xhr,websocket\n/a$script,subdocument\n/a$~object\n/a$other\n/b$object\n/c$webrtc",
            R"([{"resource-type":["image","style-sheet","font","media"]},{"resource-type":["fetch","ping"]},{"resource-type":["fetch","websocket"]},
                {"resource-type":["document","script"]},{"resource-type":null}])",
            R"j({"type without an exact WebKit counterpart ($object, $webrtc, $other)":3})j"},
        {"/a$~script\n/a$~image,~subdocument",
            R"([{"resource-type":["document","image","style-sheet","font","media","fetch","websocket","ping","other","csp-report","svg-document"]},
                {"resource-type":["style-sheet","script","font","media","fetch","websocket","ping","other","csp-report"]}])"},
        {"||page.example^$document\n||pop.example^$popup", R"([{"resource-type":["document"],"load-context":["top-frame"]},{"resource-type":["popup"]}])"},
        // Domains, each with its subdomains. Entities cannot be expressed: dropped where that blocks less,
        // skipped where it would block more.
        {"/a$domain=a.example|b\xc3\xbc" "cher.example\n/b$domain=~a.example|~B.Example\n/c$domain=a.example|~other.example\n"
         "/d$domain=a.example|shop.*\n/e$domain=shop.*\n/f$domain=~shop.*\n/g$domain=a.example|~a.example\n/h$domain=a b.example\n/i$domain=b\xc3.example",
            R"([{"if-domain":["*a.example","*xn--bcher-kva.example"]},{"unless-domain":["*a.example","*b.example"],"if-domain":null},
                {"if-domain":["*a.example"],"unless-domain":null},{"url-filter":"/d","if-domain":["*a.example"]}])",
            R"j({"only entity or regex domains (name.*)":1,"entity or regex domain (name.*) excluded":1,"every domain excluded":1,
                "invalid domain in $domain":2})j"},
        // if-domain and unless-domain cannot share a trigger: the excluded subdomain is released right after.
        {"/a$script,domain=news.example|~blog.news.example\n/b", R"([{"url-filter":"/a","if-domain":["*news.example"]},
            {"url-filter":"/a","if-domain":["*blog.news.example"],"resource-type":["script"],"action":"allow"},"/b"])"},
        // Exceptions; they never touch top-level pages unless they say $document.
        {"@@||cdn.example^$script,domain=site.example\n@@/frame/$subdocument\n@@||ads.example^$popup\n@@/ok/\n@@||trusted.example^$document",
            R"([{"resource-type":["script"],"if-domain":["*site.example"],"action":"allow"},
                {"resource-type":["document"],"load-context":["child-frame"],"action":"allow"},{"resource-type":["popup"],"action":"allow"},
                {"url-filter":"ok","resource-type":["image","style-sheet","script","font","media","fetch","websocket","ping","other","csp-report",
                 "svg-document"],"action":"allow"},{"url-filter":"ok","load-context":["child-frame"],"action":"allow"},
                {"url-filter":".*","if-top-url":["||trusted\\.example^"],"action":"allow"}])"},
        // Element hiding: generic selectors batched (up to a limit), the rest per domain.
        {"##.a\n###b\n##.a\na.example,b.example##.promo\n~quiet.example##.loud",
            R"([{"url-filter":".*","if-domain":["*a.example","*b.example"],"action":"hide .promo"},
                {"unless-top-url":["||quiet\\.example^"],"action":"hide .loud"},
                {"url-filter":".*","if-domain":null,"unless-top-url":null,"action":"hide .a, #b"}])", R"({"duplicate":1})"},
        {"##.a\n###b\n##div[id^=\"c\"]", R"([{"url-filter":".*","action":"hide .a, #b"},{"url-filter":".*","action":"hide div[id^=\"c\"]"}])", "{}",
            {.genericSelectorsPerRule = 2}},
        // A generic selector excepted on a site gets a rule of its own that leaves that site out.
        {"##.ad\n##.other\nquiet.example#@#.ad",
            R"([{"unless-top-url":["||quiet\\.example^"],"action":"hide .ad"},{"unless-top-url":null,"action":"hide .other"}])"},
        // if-domain cannot leave a subdomain out: keep the parent domain alone rather than hide more.
        {"big.example,other.example##.x\nsub.big.example#@#.x", R"({"if-domain":["big.example","*other.example"],"action":"hide .x"})"},
        {"##.gone\n#@#.gone\na.example##.gone2\na.example#@#.gone2", "[]", R"({"disabled by #@# exception":2})"},
        {"##.ad\nsite.example##.own\n@@||quiet.example^$generichide\n@@$generichide,domain=calm.example\n@@||search.example/results?$generichide",
            R"([{"unless-top-url":null,"action":"hide .own"},
                {"unless-top-url":["||calm\\.example^","||quiet\\.example^","||search\\.example/results\\?"],"action":"hide .ad"}])"},
        // Comments, the preprocessor and $badfilter.
        {"[Adblock Plus 2.0]\n! comment\n\n!#if ext_ublock\n/ublock-only\n!#else\n/elsewhere\n!#endif\n!#if !env_safari\n/not-safari\n!#endif\n"
         "/cancelled$script\n/cancelled$script,badfilter\n/kept$image",
            R"(["/elsewhere","/not-safari","/kept"])", R"({"inside an inactive !#if block":1,"cancelled by $badfilter":1})"},
        // What is left out.
        {"||a.example^$generichide\n@@||a.example^$important\n||a.example^$frobnicate\nshop.*##.x\na.example##+js(set, x, 1)\n"
         "a.example#%#window.x = 1;\na.example#?#.x:-abp-has(.ad)\na.example##.x:has(.ad)\na.example##.x:has-text(Sponsored)\n"
         "a.example##:xpath(//div)\na.example##.x:upward(2)\na.example#$#.x { display: none; }\na.example##.x:style(color: red)\n"
         "a.example##^script:has-text(ads)\na.example$$script[data-ad]", "[]",
            R"j({"$generichide on a blocking filter":1,"$important on an exception":1,"unknown option $frobnicate":1,
                "only entity or regex domains (name.*)":1,"scriptlet":2,"procedural element hiding":5,"CSS injection":2,"HTML filtering":2})j"},
        // WebKit has :has(), but it is costly on big pages: an option.
        {"a.example##.x:has(.ad)\na.example##.y:has-text(ad)", R"j({"if-domain":["*a.example"],"action":"hide .x:has(.ad)"})j",
            R"({"procedural element hiding":1})", {.nativeHasSelector = true}},
    };
    for (std::string f : {"||a.example^$csp=script-src 'none'", "||a.example/x.js$redirect=noop.js", "||a.example^$redirect-rule=noop.js",
             "||a.example^$removeparam=utm_source", "||a.example^$rewrite=abp-resource:blank-mp4", "||a.example^$sitekey=abcdef",
             "||a.example^$header=via:1.1", "||a.example^$all", "@@||a.example^$genericblock", "@@||a.example^$elemhide", "@@||a.example^$specifichide"})
        cases.push_back({f, "[]", json({{"unsupported option $" + f.substr(f.find('$') + 1, f.find('=') - f.find('$') - 1), 1}}).dump()});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.list);
        const auto [rules, stats] = convert(c.list + "\n", c.options);
        const json got = flatRules(rules);
        const json want = json::parse(c.rules.starts_with("[") ? c.rules : "[" + c.rules + "]");
        EXPECT_EQ(got.size(), want.size()) << got.dump(1);
        for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
            EXPECT_TRUE(matches(got[i], want[i])) << got[i].dump() << "\nwanted " << want[i].dump();
        EXPECT_EQ(json(stats.skipped), json::parse(c.skips));
    }
}

// The whole fixture: rules of the shape WebKit takes (that it compiles them is QuilblockCompileTest's
// part), in the order that keeps exceptions after what they undo and $important blocks after every exception.
TEST(QuilblockConvert, DocumentShapeAndOrder)
{
    std::ostringstream text;
    text << std::ifstream(QUILBLOCK_TEST_DATA_DIR "/mixed.txt").rdbuf();
    const auto [rules, stats] = convert(text.str());
    EXPECT_EQ(rules.size(), stats.rulesWritten);
    // Blocks, releases, top-level document and popup blocks, hiding, exceptions, $important blocks.
    enum Phase { Block, Release, PageBlock, Hide, Exception, Important };
    std::set<int> phases;
    for (const auto& r : rules) {
        ASSERT_EQ(r.size(), 2u) << r;
        const json& t = r.at("trigger");
        const std::string action = r.at("action").at("type");
        // WebKit takes one condition at most.
        EXPECT_LE(t.contains("if-domain") + t.contains("unless-domain") + t.contains("if-top-url") + t.contains("unless-top-url"), 1) << t;
        const int phase = action == "css-display-none" ? Hide
            : isRelease(r)                               ? Release
            : action == "ignore-previous-rules"          ? (t.contains("if-domain") ? -1 : Exception) // a domain exclusion sits by its block
            : t["url-filter"].get<std::string>().find("stay\\.example") != std::string::npos ? Important
            : t.value("load-context", json()) == json({"top-frame"}) || t.value("resource-type", json()) == json({"popup"}) ? PageBlock
                                                                                                                              : Block;
        if (phase >= 0) {
            EXPECT_GE(phase, phases.empty() ? Block : *phases.rbegin()) << r;
            phases.insert(phase);
        }
    }
    EXPECT_EQ(phases, (std::set<int>{Block, Release, PageBlock, Hide, Exception, Important}));
}
