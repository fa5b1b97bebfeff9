#include "platform/Base64.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(Base64, DecodesPaddedStandardBase64AndRefusesAnythingElseWhole)
{
    const std::pair<const char*, std::string> cases[] = {{"", ""}, {"TQ==", "M"}, {"TWE=", "Ma"}, {"TWFu", "Man"},
        {"/+8A", std::string("\xff\xef\x00", 3)}, {"TWF", "<invalid>"}, {"TQ", "<invalid>"}, {"TQ=", "<invalid>"},
        {"TWFu\n", "<invalid>"}, {"TW Fu", "<invalid>"}, {"TW-u", "<invalid>"}, {"TW_u", "<invalid>"},
        {"T===", "<invalid>"}, {"====", "<invalid>"}, {"TQ==TWFu", "<invalid>"}, {"TW=u", "<invalid>"},
        {"=WFu", "<invalid>"}};
    for (const auto& [text, decoded] : cases) {
        const auto bytes = decodeBase64(text);
        EXPECT_EQ(bytes ? std::string(bytes->begin(), bytes->end()) : "<invalid>", decoded) << text;
    }
}
