// Host names as WebKit's content-blocker wants them: lower-case ASCII, IDN labels in punycode.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace quilblock {

// RFC 3492 encoding of one label given as UTF-8, without the "xn--" prefix.
// Empty result on malformed UTF-8.
std::optional<std::string> punycodeEncode(std::string_view utf8Label);

// Lower-cases ASCII and punycodes every label holding non-ASCII characters.
// No result when the name holds anything that cannot be part of a host name.
// Lists write IDNs in lower case, so only ASCII is case-folded.
std::optional<std::string> hostToAscii(std::string_view host);

} // namespace quilblock
