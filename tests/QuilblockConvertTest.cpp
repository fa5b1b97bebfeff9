// quilblock-convert: filter syntax to WebKit content-blocker rules, on small hand-written lists.
#include "FilterConverter.h"
#include "RuleParts.h"
#include "UrlPattern.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <filesystem>
#include <fstream>
#include <regex>
#include <set>
#include <sstream>

#include <sys/wait.h>
#include <unistd.h>

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

// Split lists: each part blocks a share of the rules and carries every exception at its place,
// since an exception only undoes the rules before it in its own list.
TEST(QuilblockConvert, SplitPartsCarryEveryExceptionAfterTheirBlocks)
{
    auto [whole, stats] = convert("||a.example^\n||b.example^\n||c.example^\n@@||b.example/ok^\n"
                                  "@@||c.example/fine^$image\n||d.example^$important\nexample.org##.ad\n");
    std::vector<ContentRule> rules;
    {
        FilterConverter converter;
        converter.addList("||a.example^\n||b.example^\n||c.example^\n@@||b.example/ok^\n"
                          "@@||c.example/fine^$image\n||d.example^$important\nexample.org##.ad\n");
        rules = converter.convert();
    }
    ASSERT_EQ(rules.size(), whole.size());
    size_t exceptions = 0;
    for (const auto& r : rules)
        exceptions += r.action == ActionType::IgnorePreviousRules;
    EXPECT_EQ(partsNeeded(rules, 1), 1u);
    EXPECT_EQ(partsNeeded(rules, 2), 2u);
    EXPECT_EQ(partsNeeded(rules, 1, exceptions + 2), 3u); // five blocks and hidings, two a part
    EXPECT_EQ(partsNeeded(rules, 1, exceptions), 0u); // the exceptions alone fill a list

    const auto parts = splitRules(rules, 3);
    ASSERT_EQ(parts.size(), 3u);
    std::multiset<std::string> dealt, original;
    for (const auto& r : rules)
        if (r.action != ActionType::IgnorePreviousRules)
            original.insert(json::parse(toJson({r})).dump());
    for (const auto& part : parts) {
        EXPECT_LE(part.size(), exceptions + 2);
        // The part is the whole list with the others' blocks and hidings taken out.
        const json got = json::parse(toJson(part));
        json expected = json::array();
        size_t at = 0;
        for (const auto& r : whole) {
            const bool ignore = r["action"]["type"] == "ignore-previous-rules";
            if (ignore || (at < got.size() && got[at] == r)) {
                expected.push_back(r);
                at += at < got.size() && got[at] == r;
            }
        }
        EXPECT_EQ(got, expected);
        for (const auto& r : got)
            if (r["action"]["type"] != "ignore-previous-rules")
                dealt.insert(json::array({r}).dump());
    }
    EXPECT_EQ(dealt, original); // every block and hiding in exactly one part
}

namespace {

// Runs the converter program; answers its exit status.
int runConverter(const std::vector<std::string>& arguments)
{
    std::string command = QUILBLOCK_CONVERT;
    for (const auto& a : arguments)
        command += " '" + a + "'";
    command += " >/dev/null 2>&1";
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string readText(const std::filesystem::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

} // namespace

// A run that fails a check writes nothing: the previous output stays, whole, and nothing
// beside it, so a build never takes a half-made list for an up-to-date one.
TEST(QuilblockConvert, TheConverterWritesOnlyAfterEveryCheck)
{
    namespace fs = std::filesystem;
    const fs::path dir = fs::temp_directory_path() / ("quilblock-convert-" + std::to_string(getpid()));
    fs::create_directories(dir);
    const std::string list = (dir / "list.txt").string(), out = (dir / "rules.json").string();
    std::ofstream(list) << "||a.example^\n||b.example^\n||c.example^\n@@||b.example/ok^\n";

    // Three blocks and six rules that undo (the two releases, the exception in four shapes):
    // a block and the six in each part.
    ASSERT_EQ(runConverter({"--parts", "3", "--starter", (dir / "starter.json").string(), "-o", out, list}), 0);
    const std::string first = readText(out);
    EXPECT_EQ(json::parse(first).size(), 7u);
    EXPECT_EQ(json::parse(readText(dir / "rules-3.json")).size(), 7u);
    EXPECT_EQ(json::parse(readText(dir / "starter.json")).size(), 9u); // every host is among the most named

    // Over the limit, or unreadable: the earlier output is untouched.
    EXPECT_EQ(runConverter({"--limit", "3", "-o", out, list}), 1);
    EXPECT_EQ(runConverter({"-o", out, (dir / "missing.txt").string()}), 1);
    EXPECT_EQ(readText(out), first);
    EXPECT_TRUE(fs::exists(dir / "rules-3.json"));

    // A smaller split removes the parts of the larger one.
    ASSERT_EQ(runConverter({"-o", out, list}), 0);
    EXPECT_EQ(json::parse(readText(out)).size(), 9u);
    std::set<std::string> files;
    for (const auto& entry : fs::directory_iterator(dir))
        files.insert(entry.path().filename().string());
    EXPECT_EQ(files, (std::set<std::string> {"list.txt", "rules.json", "starter.json"}));
    fs::remove_all(dir);
}

// The starter list: the hosts the most filters name, with the exceptions that can reach them.
TEST(QuilblockConvert, StarterListHoldsTheMostNamedHostsAndTheirExceptions)
{
    const std::string text = starterFilters({"||rare.example^\n||ads.example^\n||ads.example/x.js\n"
                                             "||cdn.ads.example/y.gif\n||track.example^\n/banner/*\n",
                                                "||track.example/p.gif\n@@||ok.ads.example^\n@@||elsewhere.example^\n"
                                                "@@/allowed-path/$image\n"},
        2);
    EXPECT_EQ(text.substr(text.find("||")),
        "||ads.example^\n||track.example^\n@@||ok.ads.example^\n@@/allowed-path/$image\n");
}

// "||" takes every scheme the engine checks loads of, the host and its subdomains, nothing else.
TEST(QuilblockConvert, HostAnchorTakesHttpAndWebSocketSchemes)
{
    const std::regex anchored(std::string(kHostAnchor) + "ads\\.example/");
    for (const char* url : {"http://ads.example/", "https://ads.example/", "ws://ads.example/", "wss://x.ads.example/"})
        EXPECT_TRUE(std::regex_search(url, anchored)) << url;
    for (const char* url : {"https://badads.example/", "https://ads.example.org/", "file:///ads.example/"})
        EXPECT_FALSE(std::regex_search(url, anchored)) << url;
}
