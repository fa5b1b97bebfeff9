#include "pip/PiPController.h"

#include "pip/FrameDecoder.h"
#include "pip/PiPPanel.h"
#include "platform/Base64.h"
#include "platform/Log.h"
#include "platform/PageScript.h"

#include <algorithm>
#include <string_view>

namespace quillmere {

namespace {
// Page log lines per tab: this many at once, and again after a minute.
constexpr double kLogLinesPerMinute = 6;
} // namespace

PiPController::PiPController() = default;
PiPController::~PiPController() = default;

void PiPController::start()
{
    auto view = viewOfOpenTab(webView_);
    if (!view)
        return;
    if (!panel_) {
        panel_ = std::make_unique<PiPPanel>();
        decoder_ = std::make_unique<FrameDecoder>();
        if (panelSetup_)
            panelSetup_(*panel_);
    }
    // One stream at a time: a page that streamed into the panel before gets its video
    // back instead of streaming on unseen.
    if (auto previous = panel_->webView(); previous && previous.get() != view.get())
        runPrivateScript(previous.get(), "window.__quilpipStop()");
    panel_->setWebView(view.get());
    // Shown at once, black until the first frame arrives.
    panel_->present();
    runPrivateScript(view.get(), "window.__quilpipStart()");
}

void PiPController::didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body)
{
    if (!body.isDictionary())
        return;
    const auto type = body.stringMember("type");
    if (!type)
        return;
    if (*type == "frame")
        receiveFrame(sender, body);
    else if (*type == "error" && mayLogFor(sender.view))
        quillmereLog.pageError(
            "Custom PiP error: %{public}s", escapePageText(body.stringMember("data").value_or("Unknown PiP error")));
    else if (*type == "diag" && mayLogFor(sender.view))
        logDiag(body);
    // "started" and anything else: nothing to do.
}

bool PiPController::mayLogFor(WebKitWebView* view)
{
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(logBudgets_, [](const LogBudget& budget) { return !budget.view; });
    auto budget = std::find_if(
        logBudgets_.begin(), logBudgets_.end(), [&](const LogBudget& b) { return b.view.peek().get() == view; });
    if (budget == logBudgets_.end())
        budget = logBudgets_.insert(logBudgets_.end(), {GWeak<WebKitWebView>(view), kLogLinesPerMinute, now});
    const double minutes = std::chrono::duration<double>(now - budget->updated).count() / 60;
    budget->tokens = std::min(kLogLinesPerMinute, budget->tokens + minutes * kLogLinesPerMinute);
    budget->updated = now;
    if (budget->tokens < 1)
        return false;
    budget->tokens -= 1;
    return true;
}

void PiPController::receiveFrame(const ScriptSender& sender, const ScriptValue& body)
{
    // Counted first, so that frames dropped below still count.
    ++frameCounter_;
    // The panel shows the main frame of the page it is bound to; frames of any other
    // page or frame go no further, and are not even decoded.
    if (!panel_ || !sender.mainFrame || panel_->webView().get() != sender.view)
        return;
    const auto data = body.stringMember("data");
    if (!data)
        return;
    const auto comma = data->find(',');
    if (comma == std::string::npos)
        return;
    auto image = decodeBase64(std::string_view(*data).substr(comma + 1));
    if (!image)
        return;
    const bool paused = body.booleanMember("paused").value_or(false);
    // Shown on one line in the panel; a page's title of a megabyte is not worth laying out.
    std::string title = cutText(body.stringMember("title").value_or(""), 1000);

    const auto now = std::chrono::steady_clock::now();
    if (!lastFrameLogTime_ || now - *lastFrameLogTime_ > std::chrono::seconds(1)) {
        lastFrameLogTime_ = now;
        const bool visible = panel_ && panel_->get_visible();
        const bool occluded = panel_ && panel_->occluded();
        quillmereLog.info("PiP frame received #%ld bytes=%ld panelVisible=%{bool}d panelOccluded=%{bool}d",
            frameCounter_, static_cast<std::int64_t>(image->size()), visible, occluded);
    }

    // A hidden panel shows nothing, so its frames carry only state and title.
    const bool wanted = panel_->get_visible();
    // Decoded at the size the picture is drawn at; before the panel's first layout, at
    // the size it opens with.
    int width = 0, height = 0;
    panel_->pictureSize(width, height);
    if (width <= 0 || height <= 0) {
        width = PiPPanel::kDefaultWidth;
        height = PiPPanel::kDefaultHeight;
    }
    std::weak_ptr<PiPController> weakSelf = weak_from_this();
    decoder_->decode(std::move(*image), wanted, width, height,
        [weakSelf, paused, title = std::move(title)](const Glib::RefPtr<Gdk::Texture>& picture) {
            auto self = weakSelf.lock();
            if (self && self->panel_)
                self->panel_->updateFrame(picture, paused, title);
        });
}

void PiPController::logDiag(const ScriptValue& body)
{
    quillmereLog.pageInfo("PiP diag: hidden=%{bool}d visibility=%{public}s hasFocus=%{bool}d videoPaused=%{bool}d "
                          "videoTime=%f videoReadyState=%ld",
        body.booleanMember("hidden").value_or(false),
        escapePageText(body.stringMember("visibilityState").value_or("?")),
        body.booleanMember("hasFocus").value_or(false), body.booleanMember("videoPaused").value_or(false),
        body.numberMember("videoCurrentTime").value_or(-1.0), body.integerMember("videoReadyState").value_or(-1));
}

} // namespace quillmere
