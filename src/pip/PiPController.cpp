#include "pip/PiPController.h"

#include "pip/FrameDecoder.h"
#include "pip/PiPPanel.h"
#include "platform/Base64.h"
#include "platform/Log.h"
#include "platform/PageScript.h"

#include <string_view>

namespace quillmere {

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
        runScript(previous.get(), "window.__quilpipStop()");
    panel_->setWebView(view.get());
    // Shown at once, black until the first frame arrives.
    panel_->present();
    runScript(view.get(), "window.__quilpipStart()");
}

void PiPController::didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body)
{
    if (!body.isDictionary())
        return;
    const auto type = body.stringMember("type");
    if (!type)
        return;
    if (*type == "frame")
        receiveFrame(sender, body);
    else if (*type == "error")
        quillmereLog.error("Custom PiP error: %{public}s", body.stringMember("data").value_or("Unknown PiP error"));
    else if (*type == "diag")
        logDiag(body);
    // "started" and anything else: nothing to do.
}

void PiPController::receiveFrame(WebKitWebView* sender, const ScriptValue& body)
{
    // Counted first, so that frames dropped below still count.
    ++frameCounter_;
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
    std::string title = body.stringMember("title").value_or("");

    const auto now = std::chrono::steady_clock::now();
    if (!lastFrameLogTime_ || now - *lastFrameLogTime_ > std::chrono::seconds(1)) {
        lastFrameLogTime_ = now;
        const bool visible = panel_ && panel_->get_visible();
        const bool occluded = panel_ && panel_->occluded();
        quillmereLog.info("PiP frame received #%ld bytes=%ld panelVisible=%{bool}d panelOccluded=%{bool}d",
            frameCounter_, static_cast<std::int64_t>(image->size()), visible, occluded);
    }

    // The panel shows the page it is bound to; frames of any other page (one that
    // started streaming by itself, or one the panel has left) are counted and go no
    // further.
    if (!panel_ || panel_->webView().get() != sender)
        return;
    // A hidden panel shows nothing, so its frames carry only state and title.
    const bool wanted = panel_->get_visible();
    int width = 0, height = 0;
    panel_->pictureSize(width, height);
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
    quillmereLog.info("PiP diag: hidden=%{bool}d visibility=%{public}s hasFocus=%{bool}d videoPaused=%{bool}d "
                      "videoTime=%f videoReadyState=%ld",
        body.booleanMember("hidden").value_or(false), body.stringMember("visibilityState").value_or("?"),
        body.booleanMember("hasFocus").value_or(false), body.booleanMember("videoPaused").value_or(false),
        body.numberMember("videoCurrentTime").value_or(-1.0), body.integerMember("videoReadyState").value_or(-1));
}

} // namespace quillmere
