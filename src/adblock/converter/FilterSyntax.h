// Reading Adblock Plus filter syntax: lines, options, domain lists, element-hiding rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace quilblock {

std::string_view trim(std::string_view s);

// Value of a "!#if" expression. Every token is false: the lists use them for uBlock Origin
// and Safari only.
bool evaluateCondition(std::string_view expression);

// Request types a filter names, as bits.
enum FilterType : uint32_t {
    TScript = 1u << 0,
    TImage = 1u << 1,
    TStylesheet = 1u << 2,
    TObject = 1u << 3,
    TXhr = 1u << 4,
    TSubdocument = 1u << 5,
    TPing = 1u << 6,
    TWebsocket = 1u << 7,
    TWebrtc = 1u << 8,
    TMedia = 1u << 9,
    TFont = 1u << 10,
    TOther = 1u << 11,
    TDocument = 1u << 12,
    TPopup = 1u << 13,
};
// What a filter without type options applies to: not pages themselves, not popups.
inline constexpr uint32_t kDefaultTypes = TDocument - 1;

struct Domain {
    std::string name; // lower-case ASCII; for entities ("name.*") the part before ".*"
    bool negated = false;
    bool entity = false; // "name.*" or a /regex/: no content-blocker equivalent
};

// sub is a strict subdomain of parent.
bool isUnder(std::string_view sub, std::string_view parent);
bool coveredBy(std::string_view d, std::string_view by);

// Parses "a.com|~b.a.com" (separator '|') or "a.com,~b.com" (separator ',').
// Empty optional on a name that is not a host name.
std::optional<std::vector<Domain>> parseDomains(std::string_view list, char separator);

// A blocking filter or "@@" exception, split up. skip names the reason when an option
// already rules it out.
struct NetworkFilter {
    bool exception = false;
    std::string_view pattern; // without "@@" and options
    bool regex = false; // pattern is "/.../"
    uint32_t include = 0; // FilterType bits named, and named with "~"
    uint32_t exclude = 0;
    int party = 0; // 0: any, 1: first-party only, 3: third-party only
    bool matchCase = false;
    bool important = false;
    bool badfilter = false;
    bool generichide = false;
    bool hasDomains = false; // $domain given, even if every name in it was dropped
    std::vector<Domain> domains;
    std::string skip;
};

NetworkFilter parseNetwork(std::string_view line);

// The text a "$badfilter" filter cancels: itself without that option.
std::string withoutBadfilter(std::string_view line);

enum class CosmeticKind { Hide, HideException, Skip };

// An element-hiding line: "domains##selector" or "domains#@#selector".
struct CosmeticFilter {
    CosmeticKind kind = CosmeticKind::Skip;
    std::string_view domains;
    std::string_view selector;
    std::string skip;
};

// Finds "##", "#@#", "#?#", ... when what precedes can be a domain list. npos otherwise;
// length receives the separator's length.
size_t cosmeticSeparator(std::string_view line, size_t& length);

CosmeticFilter parseCosmetic(std::string_view line, size_t at, size_t length, bool nativeHas);

} // namespace quilblock
