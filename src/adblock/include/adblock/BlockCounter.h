// Receives the running totals of failed resource loads that the counter script posts
// on "quilblockcount" from every frame of every tab, and hands them to the window,
// which keeps them per tab and shows the active tab's in the toolbar badge.
#pragma once

#include "platform/ScriptMessageHandler.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quillmere {

class BlockCounter : public ScriptMessageHandler, public std::enable_shared_from_this<BlockCounter> {
public:
    using UpdateHandler = std::function<void(WebKitWebView* view, std::int64_t count)>;

    void setOnUpdate(UpdateHandler handler) { onUpdate_ = std::move(handler); }
    void didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body) override;

private:
    UpdateHandler onUpdate_;
};

} // namespace quillmere
