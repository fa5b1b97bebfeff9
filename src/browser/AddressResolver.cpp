#include "browser/AddressResolver.h"

#include <cctype>
#include <cstring>

namespace quillmere {

namespace {

bool isAsciiAlnum(unsigned char c)
{
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

bool startsWith(std::string_view text, std::string_view prefix)
{
    return text.substr(0, prefix.size()) == prefix;
}

// Length of the white-space character at `pos` (a space or tab, or a Unicode space
// separator in UTF-8), or 0 when there is none.
size_t spaceLengthAt(std::string_view text, size_t pos)
{
    static constexpr std::string_view kWideSpaces[] = {
        "\xC2\xA0",
        "\xE1\x9A\x80",
        "\xE2\x80\x80",
        "\xE2\x80\x81",
        "\xE2\x80\x82",
        "\xE2\x80\x83",
        "\xE2\x80\x84",
        "\xE2\x80\x85",
        "\xE2\x80\x86",
        "\xE2\x80\x87",
        "\xE2\x80\x88",
        "\xE2\x80\x89",
        "\xE2\x80\x8A",
        "\xE2\x80\xAF",
        "\xE2\x81\x9F",
        "\xE3\x80\x80",
    };
    if (text[pos] == ' ' || text[pos] == '\t')
        return 1;
    for (auto space : kWideSpaces)
        if (text.substr(pos, space.size()) == space)
            return space.size();
    return 0;
}

// Length of a white-space character that ends at `end` (exclusive), or 0.
size_t spaceLengthBefore(std::string_view text, size_t end)
{
    for (size_t length = 1; length <= 3 && length <= end; ++length)
        if (spaceLengthAt(text, end - length) == length)
            return length;
    return 0;
}

} // namespace

std::string defaultHomepage()
{
    return std::string("https://") + kDefaultSearchHost;
}

std::string encodeQuery(std::string_view query)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(query.size());
    for (unsigned char c : query) {
        if (isAsciiAlnum(c) || (c != '\0' && std::strchr("!$&'()*+,-./:;=?@_~", c))) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string searchURL(std::string_view query)
{
    return "https://" + std::string(kDefaultSearchHost) + "/?q=" + encodeQuery(query);
}

std::string trimAddressText(std::string_view text)
{
    size_t begin = 0;
    while (begin < text.size()) {
        size_t length = spaceLengthAt(text, begin);
        if (!length)
            break;
        begin += length;
    }
    size_t end = text.size();
    while (end > begin) {
        size_t length = spaceLengthBefore(text, end);
        if (!length)
            break;
        end -= length;
    }
    return std::string(text.substr(begin, end - begin));
}

std::string resolveAddress(std::string_view typed)
{
    const std::string text = trimAddressText(typed);
    const bool looksLikeAddress =
        text.find(' ') == std::string::npos && (text.find('.') != std::string::npos || startsWith(text, "http"));
    if (!looksLikeAddress)
        return searchURL(text);
    if (startsWith(text, "http://") || startsWith(text, "https://"))
        return text;
    return "https://" + text;
}

} // namespace quillmere
