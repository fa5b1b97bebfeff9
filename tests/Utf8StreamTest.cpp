#include "platform/Utf8Stream.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(Utf8Stream, SplitCharactersArriveWholeAndOnlyNeverValidBytesAreDropped)
{
    const std::string line = "Page title: Zürich — 東京 🛡️ done\n";
    for (size_t split = 0; split <= line.size();
         ++split) { // byte by byte up to every point, even inside the emoji, then the rest at once
        Utf8StreamDecoder decoder;
        std::string text;
        for (size_t i = 0; i < split; ++i)
            text += decoder.feed(std::string_view(line).substr(i, 1));
        text += decoder.feed(std::string_view(line).substr(split));
        EXPECT_EQ(text + "|" + decoder.pending(), line + "|") << "split at byte " << split;
    }
    Utf8StreamDecoder decoder;
    EXPECT_EQ(decoder.feed("ok \xff\xfe and \xc3(x) \xe2\x82 then"), "ok  and (x)  then");
    // An incomplete tail waits; a stray continuation byte does not.
    EXPECT_EQ(decoder.feed("a\xe6\x9d"), "a");
    EXPECT_EQ(decoder.pending(), "\xe6\x9d");
    EXPECT_EQ(decoder.feed("\xb1\x80z"), "東z");
}
