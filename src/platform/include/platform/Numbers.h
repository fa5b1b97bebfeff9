// Numbers that arrive as doubles (from scripts, from JSON) but stand for integers.
#pragma once

#include <cmath>
#include <cstdint>
#include <optional>

namespace quillmere {

// `number` as a 64-bit integer when it is integral and in range. 2^63 itself does not
// fit; -2^63 does.
inline std::optional<std::int64_t> exactInt64(double number)
{
    if (!std::isfinite(number) || std::trunc(number) != number || number >= 9223372036854775808.0
        || number < -9223372036854775808.0)
        return std::nullopt;
    return static_cast<std::int64_t>(number);
}

} // namespace quillmere
