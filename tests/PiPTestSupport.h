// Shared by the picture-in-picture tests: pages with the test videos (tests/data), with the
// "quilpip" messages recorded by the fixture on their way to the real controller.
#pragma once

#include "support/Browser.h"

#include "pip/PiPController.h"
#include "pip/PiPPanel.h"

#include <nlohmann/json.hpp>

namespace quillmere::test {

struct PiPMessage {
    nlohmann::json body; // the posted object, "data" of frames included
    std::string type() const
    {
        return body.is_object() && body.contains("type") && body["type"].is_string() ? body["type"].get<std::string>()
                                                                                     : "";
    }
};

// "WIDTHxHEIGHT" of the image in a frame's data URL, "none" when it holds none.
std::string frameImageSize(const PiPMessage& frame);

// A page titled "Main" with one playing video, "main".
inline constexpr const char* kMainVideoPage = "<title>Main</title><video id=main src='/pip-640x480.webm' muted "
                                              "autoplay style='width: 640px; height: 480px'></video>";

class PiPTest : public BrowserTest, public ScriptMessageHandler {
protected:
    ~PiPTest() override
    {
        if (recording)
            browser().setMessageHandler("quilpip", &controller());
    }
    // Serves the test videos and `html` at "/", launches on it and records "quilpip".
    void launchOn(const std::string& html);
    void didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body) override;
    std::vector<PiPMessage> ofType(const std::string& type) const;
    int count(const std::string& type) const { return static_cast<int>(ofType(type).size()); }
    bool waitForMessages(const std::string& type, int atLeast = 1)
    {
        return runUntil([&] { return count(type) >= atLeast; });
    }
    // Waits until the element `id` in the active view has at least `readyState`.
    bool waitForReadyState(const std::string& id, int readyState = 2)
    {
        return runUntil(
            [&] {
                return js("document.getElementById('" + id + "').readyState >= " + std::to_string(readyState))
                    == "true";
            },
            15000);
    }
    std::string js(const std::string& script) { return evaluate(activeView(), script); }
    // The same in the isolated world of the program's scripts, where the PiP functions live.
    std::string pip(const std::string& script) { return evaluatePrivate(activeView(), script); }
    // Hands the controller `object` (JavaScript source) as a "quilpip" message from the
    // active page's main frame: pages themselves have no way to post.
    void post(const std::string& object);
    PiPController& controller() { return browser().pipController(); }
    PiPPanel* panel() { return controller().panel(); }

    std::vector<PiPMessage> messages;
    bool recording = false;
    GObjectPtr<JSCContext> context = adopt(jsc_context_new());
};

} // namespace quillmere::test
