// Strict standard Base64 (RFC 4648 alphabet with "+" and "/", padded to a multiple of
// four characters). Anything else, line breaks and spaces included, makes the whole
// text invalid rather than being skipped.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>
#include <vector>

namespace quillmere {

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text);

} // namespace quillmere
