// Applying the compiled rule list to the tabs (when it arrives, and when the user flips
// the switch) and keeping the per-tab count of blocked resources.
#include "browser/BrowserWindowController.h"

#include "adblock/BlockCounter.h"
#include "adblock/FilterListUpdater.h"
#include "adblock/QuilBlock.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/UserDefaults.h"

#include <glibmm/main.h>

#include <utility>

namespace quillmere {

namespace {
// How long pages may wait for a list to block them. A stored or shipped list answers in
// milliseconds; the starter list, compiled when the engine takes neither, in a few hundred.
constexpr unsigned kLookupWaitMs = 1000;
// The latest a first compile waits for the first page to finish.
constexpr unsigned kCompileAfterMs = 3000;
} // namespace

void BrowserWindowController::startContentBlocking()
{
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    blockCounter_ = std::make_shared<BlockCounter>();
    blockCounter_->setOnUpdate([weakSelf](WebKitWebView* view, std::uint64_t frame, std::int64_t count) {
        if (auto self = weakSelf.lock())
            self->blockCountUpdated(view, frame, count);
    });
    setMessageHandler(kBlockCountChannel, blockCounter_.get());

    // Fresh lists replace the one in use wherever it is attached.
    filterListUpdater_ = std::make_unique<FilterListUpdater>(profile_);
    filterListUpdater_->onNewList = [weakSelf](QuilBlock::RuleList list) {
        if (auto self = weakSelf.lock())
            self->ruleListArrived(std::move(list));
    };
    filterListUpdater_->startSchedule();

    quillmereLog.info("Quillmere launching, loading ad-block rule list");
    ruleListPending_ = true;
    QuilBlock::loadAndCompile(
        [weakSelf](QuilBlock::RuleList list) {
            auto self = weakSelf.lock();
            if (!self || !list) {
                quillmereLog.error("Ad blocking not active for this session");
                if (self)
                    self->releaseHeldLoads();
                return;
            }
            self->ruleListArrived(std::move(list));
        },
        [weakSelf](std::function<void()> compile) {
            auto self = weakSelf.lock();
            if (!self) {
                compile();
                return;
            }
            // Nothing stored: pages need not wait for a compile that takes seconds, and
            // the compile waits for the first page, so that the two do not share the
            // machine while the user waits for that page.
            self->releaseHeldLoads();
            self->pendingCompile_ = std::move(compile);
            dispatchAfter(kCompileAfterMs, [weakSelf] {
                if (auto self = weakSelf.lock())
                    self->startPendingCompile();
            });
        },
        [weakSelf](QuilBlock::RuleList starter) {
            if (auto self = weakSelf.lock())
                self->ruleListArrived(std::move(starter));
        });
}

// The first list, or one that replaces the list in use (the full list after the starter):
// every content manager in use swaps at once; a page-opened tab runs on its opener's.
void BrowserWindowController::ruleListArrived(QuilBlock::RuleList list)
{
    QuilBlock::RuleList previous = std::exchange(compiledRuleList_, list);
    std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
    dispatchMain([weakSelf, previous, list] {
        auto self = weakSelf.lock();
        if (!self)
            return;
        if (adBlockEnabled()) {
            for (const auto& tab : self->tabs_) {
                if (!tab->webView())
                    continue;
                WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(tab->webView());
                if (previous && previous != list)
                    previous->detachFrom(manager);
                list->attachTo(manager);
            }
            quillmereLog.info("Ad-block rule list attached to web view(s)");
        }
        self->releaseHeldLoads();
    });
}

void BrowserWindowController::setAdBlockEnabled(bool enabled)
{
    UserDefaults::standard().setBool(kAdBlockEnabledKey, enabled);
    if (!compiledRuleList_)
        return;
    for (const auto& tab : tabs_) {
        if (!tab->webView())
            continue; // a tab waiting for its page gets the current choice with its view
        WebKitUserContentManager* manager = webkit_web_view_get_user_content_manager(tab->webView());
        if (enabled)
            compiledRuleList_->attachTo(manager);
        else
            compiledRuleList_->detachFrom(manager);
        webkit_web_view_reload(tab->webView());
    }
    quillmereLog.info("Ad blocking %s across %ld tab(s)", enabled ? "enabled" : "disabled", tabs_.size());
}

void BrowserWindowController::blockCountUpdated(WebKitWebView* view, std::uint64_t frame, std::int64_t count)
{
    Tab* tab = Tab::fromView(view);
    if (!tab)
        return;
    tab->setFrameBlockedCount(frame, count);
    if (isActive(*tab))
        setBadgeCount(tab->blockedCount());
}

namespace {

// An empty address goes to the view's current history item, as a restored view needs.
void startLoad(WebKitWebView* view, const std::string& url)
{
    if (!url.empty()) {
        webkit_web_view_load_uri(view, url.c_str());
        return;
    }
    if (WebKitBackForwardListItem* item =
            webkit_back_forward_list_get_current_item(webkit_web_view_get_back_forward_list(view)))
        webkit_web_view_go_to_back_forward_list_item(view, item);
}

} // namespace

void BrowserWindowController::loadInView(WebKitWebView* view, const std::string& url)
{
    if (!ruleListPending_) {
        startLoad(view, url);
        return;
    }
    // Until the store answers, loads wait, so that a stored list is attached before a
    // page's first request; the first held load starts the clock that bounds the wait.
    if (heldLoads_.empty()) {
        std::weak_ptr<BrowserWindowController> weakSelf = weak_from_this();
        dispatchAfter(kLookupWaitMs, [weakSelf] {
            if (auto self = weakSelf.lock())
                self->releaseHeldLoads();
        });
    }
    heldLoads_.emplace_back(GWeak<WebKitWebView>(view), url);
}

void BrowserWindowController::startPendingCompile()
{
    if (auto compile = std::move(pendingCompile_)) {
        pendingCompile_ = nullptr;
        compile();
    }
}

void BrowserWindowController::releaseHeldLoads()
{
    ruleListPending_ = false;
    auto held = std::move(heldLoads_);
    heldLoads_.clear();
    for (auto& [weakView, url] : held)
        if (auto view = weakView.peek())
            startLoad(view.get(), url);
}

} // namespace quillmere
