#include "browser/AddressResolver.h"

#include <glib.h>

#include <algorithm>
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

bool startsWithIgnoringCase(std::string_view text, std::string_view prefix)
{
    return text.size() >= prefix.size() && g_ascii_strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

bool isDigits(std::string_view text, size_t maxLength)
{
    return !text.empty() && text.size() <= maxLength
        && std::all_of(text.begin(), text.end(), [](unsigned char c) { return std::isdigit(c); });
}

bool isIPv4(std::string_view text)
{
    int parts = 0;
    for (size_t start = 0; start <= text.size(); ++parts) {
        const size_t end = std::min(text.find('.', start), text.size());
        const std::string_view part = text.substr(start, end - start);
        if (!isDigits(part, 3) || std::stoi(std::string(part)) > 255)
            return false;
        start = end + 1;
    }
    return parts == 4;
}

// "localhost", an IP address ("[::1]" for IPv6) or a single word followed by ":port".
bool isLocalHostPort(std::string_view hostPort)
{
    std::string_view host = hostPort;
    std::string_view port;
    const size_t colon = hostPort.rfind(':');
    if (colon != std::string_view::npos && hostPort.find(']', colon) == std::string_view::npos) {
        host = hostPort.substr(0, colon);
        port = hostPort.substr(colon + 1);
        if (!isDigits(port, 5))
            return false;
    }
    if (host.empty())
        return false;
    if (g_ascii_strncasecmp(host.data(), "localhost", host.size()) == 0 && host.size() == 9)
        return true;
    if (isIPv4(host) || (host.front() == '[' && host.back() == ']' && host.find(':') != std::string_view::npos))
        return true;
    const bool word =
        std::all_of(host.begin(), host.end(), [](unsigned char c) { return isAsciiAlnum(c) || c == '-'; });
    return word && !port.empty();
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
        if (isAsciiAlnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
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
    if (!text.empty() && text[0] == '/' && g_file_test(text.c_str(), G_FILE_TEST_EXISTS)) {
        g_autofree char* uri = g_filename_to_uri(text.c_str(), nullptr, nullptr);
        if (uri)
            return uri;
    }
    if (text.find(' ') != std::string::npos)
        return searchURL(text);
    if (startsWithIgnoringCase(text, "http://") || startsWithIgnoringCase(text, "https://") || isFileURL(text))
        return text;
    // Local servers: a bare word before a port, localhost or an IP address, which
    // rarely speak https.
    if (isLocalHostPort(text.substr(0, text.find('/'))))
        return "http://" + text;
    if (text.find('.') != std::string::npos || startsWith(text, "http"))
        return "https://" + text;
    return searchURL(text);
}

} // namespace quillmere
