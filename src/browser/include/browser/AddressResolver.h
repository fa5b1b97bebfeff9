// What typed text means: a web address or a search. Pure functions, so the rules can
// be tested without a window.
#pragma once

#include "platform/Url.h"

#include <string>
#include <string_view>

namespace quillmere {

inline constexpr const char* kDefaultSearchHost = "duckduckgo.com";

// "https://" + the default search host.
std::string defaultHomepage();

// "https://" + host + "/?q=" + the query, encoded as a form value.
std::string searchURL(std::string_view query);

// Percent-encodes everything but the unreserved characters (letters, digits, -._~), so
// that the search engine receives exactly what was typed.
std::string encodeQuery(std::string_view query);

// Trims spaces and tabs from both ends; line breaks stay.
std::string trimAddressText(std::string_view text);

// The URL that typed text stands for.
std::string resolveAddress(std::string_view typed);

} // namespace quillmere
