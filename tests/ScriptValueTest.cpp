#include "platform/ScriptValue.h"

#include <gtest/gtest.h>

using namespace quillmere;

namespace {

// Evaluates a JavaScript expression in a standalone JavaScriptCore context, the same
// engine that hands the program its script messages.
class ScriptValues : public ::testing::Test {
protected:
    ScriptValues() : context_(jsc_context_new()) {}
    ~ScriptValues() override { g_object_unref(context_); }

    ScriptValue eval(const char* expression)
    {
        JSCValue* value = jsc_context_evaluate(context_, expression, -1);
        ScriptValue result(value);
        g_object_unref(value);
        return result;
    }

    JSCContext* context_;
};

} // namespace

TEST_F(ScriptValues, OnlyPlainObjectsAreDictionaries)
{
    EXPECT_TRUE(eval("({count: 1})").isDictionary());
    EXPECT_TRUE(eval("({})").isDictionary());
    for (const char* notDictionary : {"[1, 2]", "null", "undefined", "'text'", "42", "true", "(function () {})"})
        EXPECT_FALSE(eval(notDictionary).isDictionary()) << notDictionary;
}

TEST_F(ScriptValues, IntegersAreIntegralNumbersWithin64Bits)
{
    EXPECT_EQ(eval("({n: 3})").integerMember("n"), 3);
    EXPECT_EQ(eval("({n: 3.0})").integerMember("n"), 3);
    EXPECT_EQ(eval("({n: -7})").integerMember("n"), -7);
    EXPECT_EQ(eval("({n: -(2 ** 63)})").integerMember("n"), INT64_MIN);
    for (const char* notInteger : {"({n: 3.5})", "({n: '3'})", "({n: true})", "({n: 2 ** 63})", "({n: 1e30})",
                                   "({n: NaN})", "({n: Infinity})", "({n: null})", "({})", "({n: undefined})"})
        EXPECT_FALSE(eval(notInteger).integerMember("n").has_value()) << notInteger;
}

TEST_F(ScriptValues, MembersAreReadByTheirType)
{
    ScriptValue body = eval("({type: 'frame', data: 'x,y', paused: true, n: 1.5, nested: {a: 'b'}, nothing: undefined})");
    EXPECT_EQ(body.stringMember("type"), "frame");
    EXPECT_EQ(body.booleanMember("paused"), true);
    EXPECT_EQ(body.numberMember("n"), 1.5);
    EXPECT_FALSE(body.stringMember("paused").has_value());
    EXPECT_FALSE(body.booleanMember("type").has_value());
    EXPECT_FALSE(body.numberMember("paused").has_value()) << "booleans are not numbers";
    EXPECT_FALSE(body.member("nothing").has_value());
    EXPECT_FALSE(body.member("missing").has_value());
    ASSERT_TRUE(body.member("nested").has_value());
    EXPECT_EQ(body.member("nested")->stringMember("a"), "b");
    EXPECT_EQ(eval("({s: 'caf\\u00e9 \\ud83d\\udee1'})").stringMember("s"), "café 🛡");
}
