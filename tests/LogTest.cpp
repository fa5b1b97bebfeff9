#include "platform/Log.h"

#include <gtest/gtest.h>

#include <vector>

using namespace quillmere;

TEST(LogFormat, SpecifiersKeepTheirPrintedFormsAndArgumentsAreNeverFormats)
{
    const std::tuple<const char*, std::vector<LogArg>, const char*> cases[] = {
        {"#%ld bytes=%ld visible=%{bool}d occluded=%{bool}d", {5L, 123456789012L, true, false},
            "#5 bytes=123456789012 visible=true occluded=false"},
        {"%{public}s %s (%{public}ld) %f %ld 100%%", {"?", "ok", 42L, -1.0, -1L}, "? ok (42) -1.000000 -1 100%"},
        {"Homepage saved: %{public}s", {"%s %n %{bool}d"}, "Homepage saved: %s %n %{bool}d"},
        {"a %{public}s b", {}, "a <missing> b"}, {"trailing %", {}, "trailing %"}};
    for (const auto& [format, args, printed] : cases)
        EXPECT_EQ(formatLogMessage(format, args), printed) << format;
}

TEST(PageText, NeverStartsALineOfItsOwnAndStaysShort)
{
    const std::pair<std::string, std::string> cases[] = {
        {"plain text", "plain text"},
        {"one\nUpdate installed, relaunching\r\n", "one\\nUpdate installed, relaunching\\r\\n"},
        {std::string("tab\tnul\0esc\x1b[2J del\x7f", 20), "tab\\tnul\\x00esc\\x1b[2J del\\x7f"},
        {"next line \u0085 separators \u2028\u2029 emoji 🛡️",
            "next line \\u0085 separators \\u2028\\u2029 emoji 🛡️"},
        {"bad \xff byte", "bad \xEF\xBF\xBD byte"},
    };
    for (const auto& [text, escaped] : cases)
        EXPECT_EQ(escapePageText(text), escaped) << text;
    EXPECT_EQ(escapePageText(std::string(500, 'x')), std::string(200, 'x') + "…");
    EXPECT_EQ(escapePageText("ééé\n", 3), "ééé…");
}
