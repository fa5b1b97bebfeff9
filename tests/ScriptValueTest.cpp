#include "platform/ScriptValue.h"
#include "platform/GObjectPtr.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(ScriptValues, OnlyPlainObjectsAreDictionariesAndMembersAreReadByTheirType)
{
    // A standalone JavaScriptCore context: the engine that hands the program its script messages.
    const auto context = adopt(jsc_context_new());
    auto eval = [&](const std::string& expression) {
        return ScriptValue(adopt(jsc_context_evaluate(context.get(), expression.c_str(), -1)).get());
    };
    const std::pair<const char*, bool> dictionaries[] = {{"({count: 1})", true}, {"({})", true}, {"[1, 2]", false},
        {"null", false}, {"undefined", false}, {"'text'", false}, {"42", false}, {"true", false},
        {"(function () {})", false}};
    for (const auto& [expression, isDictionary] : dictionaries)
        EXPECT_EQ(eval(expression).isDictionary(), isDictionary) << expression;
    // Integers are integral numbers within 64 bits.
    const std::pair<const char*, std::optional<std::int64_t>> integers[] = {{"n: 3", 3}, {"n: 3.0", 3}, {"n: -7", -7},
        {"n: -(2 ** 63)", INT64_MIN}, {"n: 3.5", {}}, {"n: '3'", {}}, {"n: true", {}}, {"n: 2 ** 63", {}},
        {"n: 1e30", {}}, {"n: NaN", {}}, {"n: Infinity", {}}, {"n: null", {}}, {"n: undefined", {}}, {"", {}}};
    for (const auto& [members, integer] : integers)
        EXPECT_EQ(eval(std::string("({") + members + "})").integerMember("n"), integer) << members;

    ScriptValue body = eval("({type: 'frame', paused: true, n: 1.5, nested: {a: 'b'}, nothing: undefined, s: "
                            "'caf\\u00e9 \\ud83d\\udee1'})");
    EXPECT_EQ(std::tuple(body.stringMember("type"), body.booleanMember("paused"), body.numberMember("n"),
                  body.stringMember("s")),
        std::tuple("frame", true, 1.5, "café 🛡"));
    // Booleans are not numbers; undefined counts as absent.
    EXPECT_FALSE(body.stringMember("paused") || body.booleanMember("type") || body.numberMember("paused"));
    EXPECT_FALSE(body.member("nothing") || body.member("missing"));
    EXPECT_EQ(body.member("nested").value_or(body).stringMember("a"), "b");
}
