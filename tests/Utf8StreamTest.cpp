#include "platform/Utf8Stream.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(Utf8Stream, ACharacterSplitAcrossChunksArrivesWhole)
{
    const std::string line = "Page title: Zürich — 東京 🛡️ done\n";
    // Every split point, including inside the four-byte emoji.
    for (size_t split = 0; split <= line.size(); ++split) {
        Utf8StreamDecoder decoder;
        std::string text = decoder.feed(std::string_view(line).substr(0, split));
        text += decoder.feed(std::string_view(line).substr(split));
        EXPECT_EQ(text, line) << "split at byte " << split;
        EXPECT_TRUE(decoder.pending().empty());
    }
    // One byte at a time.
    Utf8StreamDecoder decoder;
    std::string text;
    for (char byte : line)
        text += decoder.feed(std::string_view(&byte, 1));
    EXPECT_EQ(text, line);
}

TEST(Utf8Stream, OnlyBytesThatCanNeverBeValidAreDropped)
{
    Utf8StreamDecoder decoder;
    EXPECT_EQ(decoder.feed("ok \xff\xfe and \xc3(x) \xe2\x82 then"), "ok  and (x)  then");
    // An incomplete tail waits; a stray continuation byte does not.
    EXPECT_EQ(decoder.feed("a\xe6\x9d"), "a");
    EXPECT_EQ(decoder.pending(), "\xe6\x9d");
    EXPECT_EQ(decoder.feed("\xb1\x80z"), "東z");
}
