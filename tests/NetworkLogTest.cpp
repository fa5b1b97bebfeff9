#include "devtools/NetworkEntry.h"
#include "platform/JsonText.h"

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

TEST(ResendStatement, SendsExactlyTheStoredStringsAndRunsNothingElse)
{
    Engine engine;
    int sends = 0;
    for (const auto& method : kHostile)
        for (const auto& url : {kHostile[2], kHostile[4], kHostile[7], kHostile[8]})
            for (const auto& body : {kHostile[3], kHostile[5], kHostile[6]}) {
                SCOPED_TRACE(method + " | " + url + " | " + body);
                EXPECT_EQ(engine.run(resendStatement({"id", method, url, "{\"X-Secret\":\"1\"}", body, "", "200", ""})),
                    "undefined");
                const std::string last = "sent[" + std::to_string(sends++) + "]";
                // Headers are never sent.
                EXPECT_EQ(engine.run(last + ".args + ':' + Object.keys(" + last + ".init)"), "2:method,body");
                EXPECT_EQ(engine.run(last + ".url") + "|" + engine.run(last + ".init.method") + "|"
                        + engine.run(last + ".init.body"),
                    url + "|" + method + "|" + body);
            }
    EXPECT_EQ(engine.run("tripped + ' ' + sent.length"), "false " + std::to_string(sends));

    // The body is left out for GET in any case, and when it is empty.
    EXPECT_EQ(resendStatement({"1", "get", "http://127.0.0.1/a", "{}", "x=1", "", "200", ""}),
        "fetch(\"http://127.0.0.1/a\", { method: \"get\" })");
    EXPECT_EQ(resendStatement({"2", "POST", "http://127.0.0.1/b", "{}", "", "", "200", ""}),
        "fetch(\"http://127.0.0.1/b\", { method: \"POST\" })");
    EXPECT_EQ(resendStatement({"3", "POST", "/c", "{}", "a\"\n", "", "200", ""}),
        "fetch(\"/c\", { method: \"POST\", body: \"a\\\"\\n\" })");
}

TEST(NetworkLog, NewestFirstAndResponsesFindTheNewestWithTheirId)
{
    NetworkLog log;
    EXPECT_FALSE(log.find("a"));
    for (const char* id : {"a", "b", "a", "c"})
        log.insert({id, "GET", "/" + std::to_string(log.size() + 1), "{}", "", "", "pending", ""});
    ASSERT_EQ(log.size(), 4u);
    EXPECT_EQ(log.at(0).url + log.at(3).url, "/4/1");
    EXPECT_EQ(log.find("a"), 1u);
    EXPECT_EQ(log.find("b"), 2u);
    EXPECT_FALSE(log.find("missing"));
    // A record handed out keeps following its entry as the log grows.
    auto shared = log.shared(1);
    log.insert({"d", "GET", "/5", "{}", "", "", "pending", ""});
    log.at(2).status = "200";
    EXPECT_EQ(shared->url + " " + shared->status, "/3 200");
    log.clear();
    EXPECT_TRUE(log.empty() && !log.find("a"));
}
