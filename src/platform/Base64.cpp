#include "platform/Base64.h"

#include <array>

namespace quillmere {

namespace {

constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> makeTable()
{
    std::array<std::uint8_t, 256> table {};
    for (auto& entry : table)
        entry = kInvalid;
    constexpr char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = static_cast<std::uint8_t>(i);
    return table;
}

constexpr auto kTable = makeTable();

} // namespace

std::optional<std::vector<std::uint8_t>> decodeBase64(std::string_view text)
{
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;

    std::vector<std::uint8_t> out(text.size() / 4 * 3 - padding);
    const auto* in = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t fullGroups = text.size() / 4 - (padding ? 1 : 0);
    std::uint8_t* write = out.data();
    for (std::size_t group = 0; group < fullGroups; ++group, in += 4) {
        const std::uint8_t a = kTable[in[0]], b = kTable[in[1]], c = kTable[in[2]], d = kTable[in[3]];
        if ((a | b | c | d) & 0xc0) // valid digits are below 64
            return std::nullopt;
        const std::uint32_t bits = (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6) | d;
        *write++ = static_cast<std::uint8_t>(bits >> 16);
        *write++ = static_cast<std::uint8_t>(bits >> 8);
        *write++ = static_cast<std::uint8_t>(bits);
    }
    if (padding) {
        // The last group: two or three real characters, then the padding.
        const std::uint8_t a = kTable[in[0]], b = kTable[in[1]];
        const std::uint8_t c = padding == 1 ? kTable[in[2]] : 0;
        if ((a | b | c) & 0xc0)
            return std::nullopt;
        const std::uint32_t bits = (std::uint32_t(a) << 18) | (std::uint32_t(b) << 12) | (std::uint32_t(c) << 6);
        *write++ = static_cast<std::uint8_t>(bits >> 16);
        if (padding == 1)
            *write++ = static_cast<std::uint8_t>(bits >> 8);
    }
    return out;
}

} // namespace quillmere
