#include "browser/AddressResolver.h"

#include <gtest/gtest.h>

using namespace quillmere;

TEST(AddressResolution, TypedTextBecomesAnAddressOrASearchAndOnlyWellFormedURLsParse)
{
    const std::string search = "https://duckduckgo.com/?q=";
    const std::string file = testing::TempDir() + "quillmere resolver.html";
    fclose(fopen(file.c_str(), "w"));
    const std::pair<std::string, std::string> cases[] = {
        // A bare host with a dot goes over https; a space always means a search.
        {"example.org", "https://example.org"}, {"http://127.0.0.1:8080/x", "http://127.0.0.1:8080/x"}, {"", search},
        // Search terms arrive exactly as typed: everything but letters, digits and -._~ is encoded.
        {"1+1=2", search + "1%2B1%3D2"}, {"AT&T", search + "AT%26T"}, {"c++ lambdas", search + "c%2B%2B%20lambdas"},
        {"cats&kp=-2 x", search + "cats%26kp%3D-2%20x"},
        {"https://example.org/a b", search + "https%3A%2F%2Fexample.org%2Fa%20b"},
        {"a b#c%d\"<>café ☕", search + "a%20b%23c%25d%22%3C%3Ecaf%C3%A9%20%E2%98%95"},
        // Spaces, tabs and Unicode spaces are trimmed first, line breaks are not; a scheme in any case is one.
        {"  \texample.org \t ", "https://example.org"},
        {"\xC2\xA0"
         "example.org\xE3\x80\x80",
            "https://example.org"},
        {"example.org\n", "https://example.org\n"}, {"HTTP://Example.com", "HTTP://Example.com"},
        {"file:///tmp/a.html", "file:///tmp/a.html"},
        // Local servers load over http: localhost, IP addresses, and a single word before a port.
        {"localhost", "http://localhost"}, {"localhost:8080", "http://localhost:8080"},
        {"127.0.0.1:8000/x", "http://127.0.0.1:8000/x"}, {"intranet:3000", "http://intranet:3000"},
        {"10.0.0.1", "http://10.0.0.1"}, {"[::1]:8080/a", "http://[::1]:8080/a"},
        {"intranet:x", search + "intranet%3Ax"}, {"300.1.1.1", "https://300.1.1.1"},
        // An absolute path of an existing file opens the file; one that does not exist is a search.
        {file, "file://" + testing::TempDir() + "quillmere%20resolver.html"},
        {"/no/such/file", search + "%2Fno%2Fsuch%2Ffile"},
        // Without a dot, only text beginning with "http" is an address.
        {"httpbin", "https://httpbin"}, {"http:/x", "https://http:/x"}, {"quillmere", search + "quillmere"}};
    for (const auto& [typed, loaded] : cases)
        EXPECT_EQ(resolveAddress(typed), loaded) << "typed: \"" << typed << "\"";
    EXPECT_EQ(
        encodeQuery("abcXYZ019-._~!$&'()*+,/:;=?@"), "abcXYZ019-._~%21%24%26%27%28%29%2A%2B%2C%2F%3A%3B%3D%3F%40");
    EXPECT_EQ(defaultHomepage(), "https://duckduckgo.com");

    for (const char* good : {"https://example.org", "http://127.0.0.1:8080/x?y=1#z", "hello", "file:///tmp/a%20b.html",
             "https://[::1]:8080/", "about:blank"})
        EXPECT_TRUE(isParsableURL(good)) << good;
    for (const char* bad : {"", "https://a b", "https://exa<mple.org", "https://x/%zz", "https://x/%4",
             "https://café.fr", "https://example.org\n", "a#b#c", "https://x/{y}", "https://x/a\"b"})
        EXPECT_FALSE(isParsableURL(bad)) << bad;
    EXPECT_TRUE(isFileURL("FILE:///tmp/x.html") && !isFileURL("https://file/"));
}
