#include "browser/AddressResolver.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(AddressResolution, TypedTextBecomesAnAddressOrASearchAndOnlyWellFormedURLsParse)
{
    const std::string search = "https://duckduckgo.com/?q=";
    const std::pair<const char*, std::string> cases[] = {
        // A bare host with a dot goes over https; a space always means a search, encoded like a URL query.
        {"example.org", "https://example.org"}, {"http://127.0.0.1:8080/x", "http://127.0.0.1:8080/x"}, {"", search},
        {"1+1=2", search + "1+1=2"}, {"https://example.org/a b", search + "https://example.org/a%20b"},
        {"a#b&c=d", search + "a%23b&c=d"},
        {"a b#c%d\"<>[]{}|\\^`café ☕", search + "a%20b%23c%25d%22%3C%3E%5B%5D%7B%7D%7C%5C%5E%60caf%C3%A9%20%E2%98%95"},
        // Spaces, tabs and Unicode spaces are trimmed first, line breaks are not; the scheme test is case-sensitive.
        {"  \texample.org \t ", "https://example.org"},
        {"\xC2\xA0"
         "example.org\xE3\x80\x80",
            "https://example.org"},
        {"example.org\n", "https://example.org\n"}, {"HTTP://Example.com", "https://HTTP://Example.com"},
        {"file:///tmp/a.html", "https://file:///tmp/a.html"},
        // Without a dot, only text beginning with "http" is an address.
        {"httpbin", "https://httpbin"}, {"http:/x", "https://http:/x"}, {"localhost:8080", search + "localhost:8080"},
        {"quillmere", search + "quillmere"}};
    for (const auto& [typed, loaded] : cases)
        EXPECT_EQ(resolveAddress(typed), loaded) << "typed: \"" << typed << "\"";
    EXPECT_EQ(encodeQuery("abcXYZ019!$&'()*+,-./:;=?@_~"), "abcXYZ019!$&'()*+,-./:;=?@_~");
    EXPECT_EQ(defaultHomepage(), "https://duckduckgo.com");

    for (const char* good : {"https://example.org", "http://127.0.0.1:8080/x?y=1#z", "hello", "file:///tmp/a%20b.html",
             "https://[::1]:8080/", "about:blank"})
        EXPECT_TRUE(isParsableURL(good)) << good;
    for (const char* bad : {"", "https://a b", "https://exa<mple.org", "https://x/%zz", "https://x/%4",
             "https://café.fr", "https://example.org\n", "a#b#c", "https://x/{y}", "https://x/a\"b"})
        EXPECT_FALSE(isParsableURL(bad)) << bad;
    EXPECT_TRUE(isFileURL("FILE:///tmp/x.html") && !isFileURL("https://file/"));
}
