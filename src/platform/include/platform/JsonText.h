// JSON text for values the program writes into page scripts. A string becomes one
// double-quoted literal that any JavaScript engine reads back as exactly that string:
// quotes, backslashes and every control character are escaped, and so are U+2028 and
// U+2029 (line terminators to older engines) and "</" (harmless in a script, fatal
// inside an HTML <script> element).
#pragma once

#include <string>
#include <string_view>

namespace quillmere {

// `text` as a JSON string literal. Bytes that are not UTF-8 become U+FFFD.
std::string jsonStringLiteral(std::string_view text);

} // namespace quillmere
