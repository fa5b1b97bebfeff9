#include "devtools/NetworkEntry.h"
#include "platform/JsonText.h"
#include "platform/PageBridge.h"

#include <gtest/gtest.h>
#include <jsc/jsc.h>

using namespace quillmere;

namespace {

// A bare engine whose fetch only records its arguments; smuggled code would call pwn() and trip the canary.
struct Engine {
    JSCContext* context = jsc_context_new();
    Engine()
    {
        run("var sent = [], tripped = false; function fetch(url, init) { sent.push({ args: arguments.length, url, init "
            "}); } function pwn() { tripped = true; }");
    }
    ~Engine() { g_object_unref(context); }
    // The value of `script` as a string, or "EXCEPTION: ..." when it threw.
    std::string run(const std::string& script)
    {
        g_autoptr(JSCValue) value = jsc_context_evaluate(context, script.c_str(), static_cast<gssize>(script.size()));
        g_autofree char* text = jsc_value_to_string(value);
        JSCException* exception = jsc_context_get_exception(context);
        const std::string answer = exception ? std::string("EXCEPTION: ") + jsc_exception_get_message(exception)
            : text                           ? text
                                             : "";
        jsc_context_clear_exception(context);
        return answer;
    }
};

const std::vector<std::string> kHostile = {
    "",
    "plain",
    "\"); pwn(); (\"",
    "\", body: pwn(), x: \"",
    "back\\slash\\\" \\\\\"); pwn(); //",
    "line\nfeed\"); pwn(); //",
    "carriage\rreturn\r\n",
    "separator\u2028\"); pwn(); //\u2029end",
    "</script><script>pwn()</script>",
    "' + pwn() + '",
    "` + pwn() + `${pwn()}",
    "tab\tnul\x01\x7f",
    "emoji 🛡️ and é",
    "/* */ pwn() // ",
};

} // namespace

TEST(JsonText, EveryStringReadsBackExactlyAsOneLiteral)
{
    Engine engine;
    for (const auto& text : kHostile) {
        SCOPED_TRACE(text);
        const std::string literal = jsonStringLiteral(text);
        EXPECT_EQ(engine.run("var read = " + literal + "; typeof read === 'string' ? read : 'not a string'"), text);
        // And as JSON, which the HTML editor's array relies on.
        EXPECT_EQ(engine.run("JSON.parse(" + jsonStringLiteral(literal) + ")"), text);
    }
    EXPECT_EQ(engine.run("tripped"), "false");
    // A NUL is a character; bytes that are not UTF-8 become U+FFFD, never raw.
    EXPECT_EQ(jsonStringLiteral(std::string("a\0b", 3)), "\"a\\u0000b\"");
    EXPECT_EQ(jsonStringLiteral("bad \xff byte"), "\"bad \xEF\xBF\xBD byte\"");
    EXPECT_EQ(jsonStringLiteral("\u2028"), "\"\\u2028\"");
}

TEST(NetworkLog, NewestFirstAndResponsesFindTheNewestOfTheirFrameWithTheirId)
{
    NetworkLog log;
    EXPECT_FALSE(log.find(1, "a"));
    for (const char* id : {"a", "b", "a", "c"})
        log.insert({id, "GET", "/" + std::to_string(log.size() + 1), "{}", "", "", "pending", "", 1});
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log.at(0).url + log.at(3).url, "/4/1");
    EXPECT_EQ(log.find(1, "a"), 1u);
    EXPECT_EQ(log.find(1, "b"), 2u);
    // Another frame's ids are its own.
    EXPECT_FALSE(log.find(2, "a") || log.find(1, "missing"));
    // A record handed out keeps following its entry as the log grows.
    auto shared = log.shared(1);
    log.insert({"d", "GET", "/5", "{}", "", "", "pending", "", 1});
    log.at(2).status = "200";
    EXPECT_EQ(shared->url + " " + shared->status, "/3 200");
    log.clear();
    EXPECT_TRUE(log.empty() && !log.find(1, "a"));
}

TEST(NetworkLog, KeepsTheNewestEntriesByNumberAndBySize)
{
    NetworkLog log;
    size_t evicted = 0;
    for (size_t i = 0; i < kKeptNetworkEntries + 10; ++i)
        evicted += log.insert({"id" + std::to_string(i), "GET", "/" + std::to_string(i), "{}", "", "", "pending", ""});
    EXPECT_EQ(log.size(), kKeptNetworkEntries);
    EXPECT_EQ(evicted, 10u);
    EXPECT_EQ(log.at(log.size() - 1).url, "/10");
    // Gone with their entries, and found where they are for the rest.
    EXPECT_FALSE(log.find(0, "id9"));
    EXPECT_EQ(log.find(0, "id10"), kKeptNetworkEntries - 1);
    EXPECT_EQ(log.find(0, "id" + std::to_string(kKeptNetworkEntries + 9)), 0u);

    // Entries as large as a page may make them: far fewer fit.
    const std::string large(kShownCharacters * 3, 'x');
    for (int i = 0; i < 1000; ++i)
        log.insert({"big" + std::to_string(i), "POST", large, large, large, "", "pending", ""});
    EXPECT_LT(log.size() * 3 * large.size(), kKeptNetworkBytes);
    EXPECT_GT(log.size(), 100u);
    EXPECT_EQ(log.at(0).id, "big999");
}

TEST(CutText, KeepsTheFirstCharactersAndSaysHowManyMoreThereWere)
{
    EXPECT_EQ(cutText("short", 10), "short");
    EXPECT_EQ(cutText("exactly10!", 10), "exactly10!");
    EXPECT_EQ(cutText("abcdefghijkl", 10), "abcdefghij… (2 more characters)");
    // Characters, not bytes: a cut never splits one.
    EXPECT_EQ(cutText("ééééé🛡️", 3), "ééé… (4 more characters)");
}
