#include "browser/AddressResolver.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(AddressResolution, TypedTextBecomesAnAddressOrASearch)
{
    struct Case {
        const char* typed;
        const char* loaded;
    };
    const Case cases[] = {
        // A bare host with a dot goes over https, never http.
        {"example.org", "https://example.org"},
        {"http://127.0.0.1:8080/x", "http://127.0.0.1:8080/x"},
        {"https://example.org/a?b=c", "https://example.org/a?b=c"},
        // A space always means a search, even in something that looks like a URL.
        {"two words", "https://duckduckgo.com/?q=two%20words"},
        {"https://example.org/a b", "https://duckduckgo.com/?q=https://example.org/a%20b"},
        // The ampersand stays (it splits the query); the number sign is encoded.
        {"a#b&c=d", "https://duckduckgo.com/?q=a%23b&c=d"},
        // Only spaces: a search for nothing.
        {"     ", "https://duckduckgo.com/?q="},
        {"", "https://duckduckgo.com/?q="},
        // Leading and trailing spaces and tabs go before the decision.
        {"  \texample.org \t ", "https://example.org"},
        {"  two words  ", "https://duckduckgo.com/?q=two%20words"},
        // The scheme test is case-sensitive, so a capital scheme gets another in front.
        {"HTTP://Example.com", "https://HTTP://Example.com"},
        // No dot, but it begins with "http": an address.
        {"httpbin", "https://httpbin"},
        {"http:/x", "https://http:/x"},
        // No dot and no "http": a word or a host with a port is a search.
        {"localhost:8080", "https://duckduckgo.com/?q=localhost:8080"},
        {"quillmere", "https://duckduckgo.com/?q=quillmere"},
        // A typed file address gets https in front like any other.
        {"file:///tmp/page.html", "https://file:///tmp/page.html"},
        // Line breaks are not trimmed.
        {"example.org\n", "https://example.org\n"},
    };
    for (const auto& c : cases)
        EXPECT_EQ(resolveAddress(c.typed), c.loaded) << "typed: \"" << c.typed << "\"";
}

TEST(AddressResolution, SearchQueriesAreEncodedLikeAURLQuery)
{
    EXPECT_EQ(encodeQuery("abcXYZ019!$&'()*+,-./:;=?@_~"), "abcXYZ019!$&'()*+,-./:;=?@_~");
    EXPECT_EQ(encodeQuery("a b#c%d\"<>[]{}|\\^`"), "a%20b%23c%25d%22%3C%3E%5B%5D%7B%7D%7C%5C%5E%60");
    EXPECT_EQ(encodeQuery("café ☕"), "caf%C3%A9%20%E2%98%95");
    EXPECT_EQ(searchURL("1+1=2"), "https://duckduckgo.com/?q=1+1=2");
    EXPECT_EQ(defaultHomepage(), "https://duckduckgo.com");
}

TEST(AddressResolution, TrimsUnicodeSpacesButNotLineBreaks)
{
    EXPECT_EQ(trimAddressText("\xC2\xA0" "example.org\xE3\x80\x80"), "example.org");
    EXPECT_EQ(trimAddressText("\nexample.org\r\n"), "\nexample.org\r\n");
    EXPECT_EQ(trimAddressText(" \t "), "");
}

TEST(AddressResolution, OnlyWellFormedURLsParse)
{
    for (const char* good : {"https://example.org", "http://127.0.0.1:8080/x?y=1#z", "hello", "file:///tmp/a%20b.html",
                             "https://[::1]:8080/", "about:blank", "https://duckduckgo.com/?q=a%23b&c=d"})
        EXPECT_TRUE(isParsableURL(good)) << good;
    for (const char* bad : {"", "https://a b", "https://exa<mple.org", "https://x/%zz", "https://x/%4", "https://café.fr",
                            "https://example.org\n", "a#b#c", "https://x/{y}", "https://x/a\"b"})
        EXPECT_FALSE(isParsableURL(bad)) << bad;
    EXPECT_TRUE(isFileURL("file:///tmp/x.html"));
    EXPECT_TRUE(isFileURL("FILE:///tmp/x.html"));
    EXPECT_FALSE(isFileURL("https://file/"));
}
