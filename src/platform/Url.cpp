#include "platform/Url.h"

#include <glib.h>

#include <cctype>
#include <cstring>

namespace quillmere {

namespace {

bool isAsciiAlnum(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool isHex(unsigned char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

} // namespace

bool isParsableURL(std::string_view text)
{
    if (text.empty())
        return false;
    bool seenFragment = false;
    for (size_t i = 0; i < text.size(); ++i) {
        unsigned char c = text[i];
        if (c == '%') {
            if (i + 2 >= text.size())
                return false;
            if (!isHex(text[i + 1]) || !isHex(text[i + 2]))
                return false;
            i += 2;
            continue;
        }
        if (c == '#') {
            if (seenFragment)
                return false;
            seenFragment = true;
            continue;
        }
        if (isAsciiAlnum(c) || (c != '\0' && std::strchr("-._~:/?[]@!$&'()*+,;=", c)))
            continue;
        return false;
    }
    return true;
}

bool isFileURL(std::string_view text)
{
    if (text.size() < 5)
        return false;
    for (size_t i = 0; i < 5; ++i)
        if (std::tolower(static_cast<unsigned char>(text[i])) != "file:"[i])
            return false;
    return true;
}

std::string hostOf(const char* uri)
{
    g_autoptr(GUri) parsed = uri ? g_uri_parse(uri, G_URI_FLAGS_NONE, nullptr) : nullptr;
    const char* host = parsed ? g_uri_get_host(parsed) : nullptr;
    return host ? host : "";
}

} // namespace quillmere
