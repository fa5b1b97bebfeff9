#include "platform/Base64.h"

#include <gtest/gtest.h>

#include <string>

using namespace quillmere;

namespace {
std::string decoded(std::string_view text)
{
    auto bytes = decodeBase64(text);
    return bytes ? std::string(bytes->begin(), bytes->end()) : "<invalid>";
}
} // namespace

TEST(Base64, DecodesPaddedStandardBase64)
{
    EXPECT_EQ(decoded(""), "");
    EXPECT_EQ(decoded("TQ=="), "M");
    EXPECT_EQ(decoded("TWE="), "Ma");
    EXPECT_EQ(decoded("TWFu"), "Man");
    EXPECT_EQ(decoded("/+8A"), std::string("\xff\xef\x00", 3));
}

TEST(Base64, RefusesAnythingElseWhole)
{
    for (const char* text : {"TWF", "TQ", "TQ=", "TWFu\n", "TW Fu", "TW-u", "TW_u", "T===", "====", "TQ==TWFu", "TW=u", "=WFu"})
        EXPECT_EQ(decoded(text), "<invalid>") << text;
}
