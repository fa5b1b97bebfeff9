// A WebKit content-blocker rule and its JSON form.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace quilblock {

enum class ActionType : uint8_t { Block, IgnorePreviousRules, CssDisplayNone };

const char* actionName(ActionType type);

// WebKit resource-type values, as bits.
enum ResourceType : uint16_t {
    RtDocument = 1 << 0,
    RtImage = 1 << 1,
    RtStyleSheet = 1 << 2,
    RtScript = 1 << 3,
    RtFont = 1 << 4,
    RtMedia = 1 << 5,
    RtFetch = 1 << 6,
    RtWebSocket = 1 << 7,
    RtPing = 1 << 8,
    RtOther = 1 << 9,
    RtCspReport = 1 << 10,
    RtSvgDocument = 1 << 11,
    RtPopup = 1 << 12,
};
inline constexpr int kResourceTypeCount = 13;
const char* resourceTypeName(int bitIndex);

enum class LoadType : uint8_t { Any, FirstParty, ThirdParty };
enum class LoadContext : uint8_t { Any, TopFrame, ChildFrame };

struct Trigger {
    std::string urlFilter;
    bool caseSensitive = false;
    LoadType loadType = LoadType::Any;
    LoadContext loadContext = LoadContext::Any;
    uint16_t resourceTypes = 0; // ResourceType bits; 0: every type
    // WebKit takes at most one of these four conditions per trigger.
    std::vector<std::string> ifDomain;
    std::vector<std::string> unlessDomain;
    std::vector<std::string> ifTopUrl;
    std::vector<std::string> unlessTopUrl;
};

struct ContentRule {
    Trigger trigger;
    ActionType action = ActionType::Block;
    std::string selector; // css-display-none only
};

void appendJsonString(std::string& out, std::string_view text);
void appendJson(std::string& out, const ContentRule& rule);
// The whole list as one JSON array, one rule a line so diffs of the built document stay readable.
std::string toJson(const std::vector<ContentRule>& rules);

} // namespace quilblock
