// The channels pages post on, and the receiving end of one channel. Features implement
// the handler; the browser registers the channels and routes each message to the
// handler of its channel, telling tabs apart by the sending view.
#pragma once

#include "platform/ScriptValue.h"

#include <webkit/webkit.h>

#include <optional>
#include <string_view>

namespace quillmere {

inline constexpr const char* kDevToolsChannel = "quildev";
inline constexpr const char* kPiPChannel = "quilpip";
inline constexpr const char* kBlockCountChannel = "quilblockcount";

// In registration order.
inline constexpr const char* kMessageChannels[] = {kDevToolsChannel, kPiPChannel, kBlockCountChannel};
inline constexpr std::size_t kMessageChannelCount = std::size(kMessageChannels);

// The position of `name` in kMessageChannels.
inline std::optional<std::size_t> messageChannelIndex(std::string_view name)
{
    for (std::size_t i = 0; i < kMessageChannelCount; ++i)
        if (name == kMessageChannels[i])
            return i;
    return std::nullopt;
}

class ScriptMessageHandler {
public:
    virtual ~ScriptMessageHandler() = default;
    virtual void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) = 0;
};

} // namespace quillmere
