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
std::pair<json, ConversionStats> convert(const std::string& list)
{
    FilterConverter converter;
    converter.addList(list);
    return {json::parse(toJson(converter.convert())), converter.stats()};
}

// The rules that let top-level pages and popups through after all blocks.
bool isRelease(const json& r)
{
    const json& t = r["trigger"];
    return t.contains("resource-type") && t["url-filter"] == ".*" && r["action"]["type"] == "ignore-previous-rules"
        && !t.contains("if-top-url");
}

// Every rule but the releases, flat: the trigger's keys and "action" ("block", "allow" for
// ignore-previous-rules, "hide SELECTOR"), with the regexes of "||" and "^" written as those again.
json flatRules(const json& rules)
{
    std::string text = rules.dump();
    const std::string host = json(std::string(kHostAnchor)).dump();
    for (auto [from, to] :
        {std::pair {host.substr(1, host.size() - 2), "||"}, std::pair {std::string(kSeparatorClass), "^"}})
        for (size_t at; (at = text.find(from)) != std::string::npos;)
            text.replace(at, from.size(), to);
    json out = json::array();
    for (const auto& r : json::parse(text)) {
        json flat = r["trigger"];
        const std::string type = r["action"]["type"];
        flat["action"] = type == "css-display-none" ? "hide " + r["action"]["selector"].get<std::string>()
            : type == "ignore-previous-rules"       ? "allow"
                                                    : type;
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
    // A list; its rules but the releases, in order, each a fragment of its flat form or its url-filter; the skips by
    // reason.
    const std::tuple<std::string, std::string, std::string> cases[] = {
        // Addresses.
        {"||example.com^\n||example.com/ads/*.js\n|https://ads.\nswf|\n*/banner/*\n/a+b?(c)[d]{e}.|x\\g",
            R"(["||example\\.com^","||example\\.com/ads/.*\\.js","^https://ads\\.","swf$","/banner/","/a\\+b\\?\\(c\\)\\[d\\]\\{e\\}\\.\\|x\\\\g"])",
            "{}"},
        // Party, case and resource types; frames are "document", and $other has no exact counterpart.
        {"||t.example^$third-party\n||t.example^$~third-party\n/Track.JS$match-case\n/a$image,stylesheet,font,media\n/"
         "a$xhr,ping\n/a$script,subdocument,websocket\n"
         "/a$~script\n/a$other\n||pop.example^$popup",
            R"([{"load-type":["third-party"]},{"load-type":["first-party"]},{"url-filter":"/Track\\.JS","url-filter-is-case-sensitive":true},
                {"resource-type":["image","style-sheet","font","media"]},{"resource-type":["fetch","ping"]},{"resource-type":["document","script","websocket"]},
                {"resource-type":["document","image","style-sheet","font","media","fetch","websocket","ping","other","csp-report","svg-document"]},
                {"resource-type":["popup"]}])",
            R"j({"type without an exact WebKit counterpart ($object, $webrtc, $other)":1})j"},
        // Domains with their subdomains, punycoded; if-domain and unless-domain cannot share a trigger, so the
        // excluded subdomain is released right after its block.
        {"/a$domain=a.example|b\xc3\xbc"
         "cher.example\n/b$domain=~a.example|~B.Example\n/c$script,domain=news.example|~blog.news.example",
            R"([{"if-domain":["*a.example","*xn--bcher-kva.example"]},{"unless-domain":["*a.example","*b.example"],"if-domain":null},
                {"url-filter":"/c","if-domain":["*news.example"]},{"url-filter":"/c","if-domain":["*blog.news.example"],"action":"allow"}])",
            "{}"},
        // Exceptions, after the blocks; they never touch top-level pages unless they say $document.
        {"@@||cdn.example^$script,domain=site.example\n@@/frame/$subdocument\n@@||trusted.example^$document\n/b",
            R"(["/b",{"resource-type":["script"],"if-domain":["*site.example"],"action":"allow"},
                {"resource-type":["document"],"load-context":["child-frame"],"action":"allow"},{"url-filter":".*","if-top-url":["||trusted\\.example^"],"action":"allow"}])",
            "{}"},
        // Element hiding: generic selectors batched, the rest per domain, #@# exceptions.
        {"##.a\n###b\n##.a\na.example,b.example##.promo\n~quiet.example##.loud\n##.gone\n#@#.gone",
            R"([{"url-filter":".*","if-domain":["*a.example","*b.example"],"action":"hide .promo"},
                {"unless-top-url":["||quiet\\.example^"],"action":"hide .loud"},
                {"url-filter":".*","if-domain":null,"unless-top-url":null,"action":"hide .a, #b"}])",
            R"({"duplicate":1,"disabled by #@# exception":1})"},
        // What is left out, never approximated (regex filters WebKit's subset cannot take among it).
        {"/ads(?!ok)/\n/cancelled$script\n/cancelled$script,badfilter\n/kept$image\n||a.example^$csp=script-src "
         "'none'\n||a.example/x.js$redirect=noop.js\n"
         "||a.example^$removeparam=utm_source\na.example##+js(set, x, 1)\na.example##.x:has-text(Sponsored)",
            R"(["/kept"])",
            R"j({"regex: lookaround or named group":1,"cancelled by $badfilter":1,"unsupported option $csp":1,"unsupported option $redirect":1,
                "unsupported option $removeparam":1,"scriptlet":1,"procedural element hiding":1})j"},
    };
    for (const auto& [list, rules, skips] : cases) {
        SCOPED_TRACE(list);
        const auto [converted, stats] = convert(list + "\n");
        const json got = flatRules(converted), want = json::parse(rules);
        EXPECT_EQ(got.size(), want.size()) << got.dump(1);
        for (size_t i = 0; i < std::min(got.size(), want.size()); ++i)
            EXPECT_TRUE(matches(got[i], want[i])) << got[i].dump() << "\nwanted " << want[i].dump();
        EXPECT_EQ(json(stats.skipped), json::parse(skips));
    }
}

// The whole fixture: rules of the shape WebKit takes (that it compiles them is QuilblockCompileTest's
// part), in the order that keeps exceptions after what they undo and $important blocks after every exception.
TEST(QuilblockConvert, DocumentShapeAndOrder)
{
    const json rules =
        convert((std::ostringstream() << std::ifstream(QUILBLOCK_TEST_DATA_DIR "/mixed.txt").rdbuf()).str()).first;
    // Blocks, releases, top-level document and popup blocks, hiding, exceptions, $important blocks.
    enum Phase { Block, Release, PageBlock, Hide, Exception, Important };
    std::set<int> phases;
    for (const auto& r : rules) {
        ASSERT_EQ(r.size(), 2u) << r;
        const json& t = r.at("trigger");
        const std::string action = r.at("action").at("type");
        // WebKit takes one condition at most.
        EXPECT_LE(t.contains("if-domain") + t.contains("unless-domain") + t.contains("if-top-url")
                + t.contains("unless-top-url"),
            1)
            << t;
        const int phase = action == "css-display-none" ? Hide
            : isRelease(r)                             ? Release
            : action == "ignore-previous-rules"
            ? (t.contains("if-domain") ? -1 : Exception) // a domain exclusion sits by its block
            : t["url-filter"].get<std::string>().find("stay\\.example") != std::string::npos ? Important
            : t.value("load-context", json()) == json({"top-frame"})
                || t.value("resource-type", json()) == json({"popup"})
            ? PageBlock
            : Block;
        EXPECT_TRUE(phase < 0 || phases.empty() || phase >= *phases.rbegin()) << r;
        if (phase >= 0)
            phases.insert(phase);
    }
    EXPECT_EQ(phases, (std::set<int> {Block, Release, PageBlock, Hide, Exception, Important}));
}
