#include "platform/JsonText.h"

#include <glib.h>

#include <cstdio>

namespace quillmere {

namespace {

// GLib's repair treats a NUL byte as invalid; a NUL is a character like any other here.
std::string validUtf8(std::string_view text)
{
    std::string out;
    out.reserve(text.size());
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\0', start);
        if (end == std::string_view::npos)
            end = text.size();
        if (end > start) {
            g_autofree char* valid = g_utf8_make_valid(text.data() + start, static_cast<gssize>(end - start));
            out += valid;
        }
        if (end == text.size())
            break;
        out += '\0';
        start = end + 1;
    }
    return out;
}

} // namespace

std::string jsonStringLiteral(std::string_view text)
{
    const std::string input = validUtf8(text);

    std::string out;
    out.reserve(input.size() + 2);
    out += '"';
    for (size_t i = 0; i < input.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(input[i]);
        switch (c) {
        case '"':
            out += "\\\"";
            continue;
        case '\\':
            out += "\\\\";
            continue;
        case '\n':
            out += "\\n";
            continue;
        case '\r':
            out += "\\r";
            continue;
        case '\t':
            out += "\\t";
            continue;
        case '\b':
            out += "\\b";
            continue;
        case '\f':
            out += "\\f";
            continue;
        default:
            break;
        }
        if (c < 0x20 || c == 0x7f) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else if (c == 0xe2 && i + 2 < input.size() && static_cast<unsigned char>(input[i + 1]) == 0x80
            && (static_cast<unsigned char>(input[i + 2]) == 0xa8 || static_cast<unsigned char>(input[i + 2]) == 0xa9)) {
            out += static_cast<unsigned char>(input[i + 2]) == 0xa8 ? "\\u2028" : "\\u2029";
            i += 2;
        } else if (c == '<' && i + 1 < input.size() && input[i + 1] == '/') {
            out += "<\\/";
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

} // namespace quillmere
