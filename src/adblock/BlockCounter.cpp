#include "adblock/BlockCounter.h"

#include "platform/Dispatch.h"
#include "platform/GObjectPtr.h"

namespace quillmere {

void BlockCounter::didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body)
{
    if (!body.isDictionary())
        return;
    auto count = body.integerMember("count");
    if (!count || *count < 0)
        return;
    // One main-loop turn later, so a message racing a tab's closing finds the tab or
    // finds nothing; the view and the counter are both held weakly until then.
    std::weak_ptr<BlockCounter> weakSelf = weak_from_this();
    dispatchMain([weakSelf, view = GWeak<WebKitWebView>(sender.view), frame = sender.frame, total = *count] {
        auto self = weakSelf.lock();
        auto target = view.peek();
        if (!self || !target || !self->onUpdate_)
            return;
        self->onUpdate_(target.get(), frame, total);
    });
}

} // namespace quillmere
