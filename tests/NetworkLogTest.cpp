#include "devtools/NetworkEntry.h"
#include "platform/JsonText.h"

#include <gtest/gtest.h>
#include <jsc/jsc.h>

#include <string>
#include <vector>

using namespace quillmere;

namespace {

// A bare JavaScript engine whose fetch only records its arguments, and a canary that
// any code smuggled into a statement would trip.
class Engine {
public:
    Engine()
        : context_(jsc_context_new())
    {
        run("var sent = []; var tripped = false;"
            "function fetch(url, init) { sent.push({ args: arguments.length, url: url, init: init }); }"
            "function pwn() { tripped = true; }");
    }
    ~Engine() { g_object_unref(context_); }

    // The value of `script` as JSON text, or "EXCEPTION: ..." when it threw.
    std::string run(const std::string& script)
    {
        JSCValue* value = jsc_context_evaluate(context_, script.c_str(), static_cast<gssize>(script.size()));
        std::string answer;
        if (JSCException* exception = jsc_context_get_exception(context_)) {
            answer = std::string("EXCEPTION: ") + jsc_exception_get_message(exception);
            jsc_context_clear_exception(context_);
        } else {
            char* json = jsc_value_to_json(value, 0);
            answer = json ? json : "undefined";
            g_free(json);
        }
        g_object_unref(value);
        return answer;
    }

    // A string the engine holds, as UTF-8.
    std::string string(const std::string& expression)
    {
        JSCValue* value = jsc_context_evaluate(context_, expression.c_str(), -1);
        char* text = jsc_value_to_string(value);
        std::string answer = text ? text : "";
        g_free(text);
        g_object_unref(value);
        return answer;
    }

private:
    JSCContext* context_;
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
        engine.run("var read = " + literal + ";");
        EXPECT_EQ(engine.string("read"), text);
        EXPECT_EQ(engine.run("typeof read"), "\"string\"");
        // And as JSON, which the HTML editor's array relies on.
        EXPECT_EQ(engine.string("JSON.parse(" + jsonStringLiteral(literal) + ")"), text);
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
    for (const auto& method : kHostile) {
        for (const auto& url : {kHostile[2], kHostile[4], kHostile[7], kHostile[8]}) {
            for (const auto& body : {kHostile[3], kHostile[5], kHostile[6]}) {
                SCOPED_TRACE(method + " | " + url + " | " + body);
                NetworkEntry entry{"id", method, url, "{\"X-Secret\":\"1\"}", body, "2026-12-06T10:00:00.000Z", "200", ""};
                EXPECT_EQ(engine.run(resendStatement(entry)), "undefined");
                const std::string last = "sent[" + std::to_string(sends++) + "]";
                EXPECT_EQ(engine.run(last + ".args"), "2");
                EXPECT_EQ(engine.string(last + ".url"), url);
                EXPECT_EQ(engine.string(last + ".init.method"), method);
                // Headers are never sent; the body only when the request had one.
                EXPECT_EQ(engine.run("Object.keys(" + last + ".init).join()"), "\"method,body\"");
                EXPECT_EQ(engine.string(last + ".init.body"), body);
            }
        }
    }
    EXPECT_EQ(engine.run("tripped"), "false");
    EXPECT_EQ(engine.run("sent.length"), std::to_string(sends));
}

TEST(ResendStatement, GetAndEmptyBodiesLeaveTheBodyOut)
{
    Engine engine;
    const NetworkEntry lowerGet{"1", "get", "http://127.0.0.1/a", "{}", "x=1", "", "200", ""};
    EXPECT_EQ(resendStatement(lowerGet), "fetch(\"http://127.0.0.1/a\", { method: \"get\" })");
    const NetworkEntry emptyPost{"2", "POST", "http://127.0.0.1/b", "{}", "", "", "200", ""};
    EXPECT_EQ(resendStatement(emptyPost), "fetch(\"http://127.0.0.1/b\", { method: \"POST\" })");
    const NetworkEntry post{"3", "POST", "/c", "{}", "a\"\n", "", "200", ""};
    EXPECT_EQ(resendStatement(post), "fetch(\"/c\", { method: \"POST\", body: \"a\\\"\\n\" })");

    engine.run(resendStatement(lowerGet));
    EXPECT_EQ(engine.run("Object.keys(sent[0].init).join()"), "\"method\"");
}

TEST(NetworkLog, NewestFirstAndResponsesFindTheNewestWithTheirId)
{
    NetworkLog log;
    EXPECT_FALSE(log.find("a"));
    log.insert({"a", "GET", "/1", "{}", "", "", "pending", ""});
    log.insert({"b", "GET", "/2", "{}", "", "", "pending", ""});
    log.insert({"a", "POST", "/3", "{}", "", "", "pending", ""});
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log.at(0).url, "/3");
    EXPECT_EQ(log.at(2).url, "/1");
    EXPECT_EQ(log.find("a"), 0u);
    EXPECT_EQ(log.find("b"), 1u);
    log.insert({"c", "GET", "/4", "{}", "", "", "pending", ""});
    EXPECT_EQ(log.find("a"), 1u);
    EXPECT_EQ(log.find("b"), 2u);
    EXPECT_FALSE(log.find("missing"));

    // A record handed out keeps following its entry as the log grows.
    auto shared = log.shared(1);
    log.at(1).status = "200";
    EXPECT_EQ(shared->status, "200");
    EXPECT_EQ(shared->url, "/3");

    log.clear();
    EXPECT_TRUE(log.empty());
    EXPECT_FALSE(log.find("a"));
}

TEST(NetworkEntry, DetailIsSixLinesWithoutTheIdOrTime)
{
    const NetworkEntry entry{"id7", "POST", "http://h/x", "{\"a\":\"b\"}", "q=1", "2026-12-06T10:00:00.000Z", "pending", ""};
    EXPECT_EQ(entry.detailText(), "URL: http://h/x\nMethod: POST\nHeaders: {\"a\":\"b\"}\nBody: q=1\nStatus: pending\nResponse: ");
}
