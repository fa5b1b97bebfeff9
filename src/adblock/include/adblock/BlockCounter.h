// Receives the failed-load totals that the web process extension counts for every
// frame of every tab and posts on "quilblockcount", and hands them to the window, which
// keeps them per tab and frame and shows the active tab's sum in the toolbar badge.
#pragma once

#include "platform/ScriptMessageHandler.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace quillmere {

class BlockCounter : public ScriptMessageHandler, public std::enable_shared_from_this<BlockCounter> {
public:
    // The total of one frame of the view's page.
    using UpdateHandler = std::function<void(WebKitWebView* view, std::uint64_t frame, std::int64_t count)>;

    void setOnUpdate(UpdateHandler handler) { onUpdate_ = std::move(handler); }
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override;

private:
    UpdateHandler onUpdate_;
};

} // namespace quillmere
