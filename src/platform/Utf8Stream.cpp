#include "platform/Utf8Stream.h"

#include <glib.h>

namespace quillmere {

std::string Utf8StreamDecoder::feed(std::string_view bytes)
{
    std::string data = pending_;
    data.append(bytes);
    pending_.clear();

    std::string text;
    text.reserve(data.size());
    size_t at = 0;
    while (at < data.size()) {
        const char* end = nullptr;
        const gssize remaining = static_cast<gssize>(data.size() - at);
        if (g_utf8_validate_len(data.data() + at, remaining, &end)) {
            text.append(data, at, std::string::npos);
            break;
        }
        const size_t valid = static_cast<size_t>(end - (data.data() + at));
        text.append(data, at, valid);
        at += valid;
        // -2: a character that the next chunk may complete; -1: bytes that never can.
        const gunichar next = g_utf8_get_char_validated(data.data() + at, static_cast<gssize>(data.size() - at));
        if (next == static_cast<gunichar>(-2)) {
            pending_.assign(data, at, std::string::npos);
            break;
        }
        ++at;
    }
    return text;
}

} // namespace quillmere
