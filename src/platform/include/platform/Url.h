// URL checks that code on every layer needs (the address field, the updater).
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// Whether `text` parses as a URL reference: only characters a URL may hold, and
// well-formed percent escapes. A relative reference ("hello") parses; "a b" does not.
bool isParsableURL(std::string_view text);

// Whether `text` is an absolute file URL.
bool isFileURL(std::string_view text);

// The host of an absolute URL, or "" when it has none (file:, about:) or does not parse.
std::string hostOf(const char* uri);

} // namespace quillmere
