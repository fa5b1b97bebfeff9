#include "PiPTestSupport.h"

#include "pip/FrameDecoder.h"
#include "platform/Base64.h"
#include "platform/UserDefaults.h"

namespace quillmere::test {

std::string frameImageSize(const PiPMessage& frame)
{
    const std::string data = frame.body.value("data", "");
    const auto comma = data.find(',');
    const auto bytes =
        comma == std::string::npos ? std::nullopt : decodeBase64(std::string_view(data).substr(comma + 1));
    auto texture = bytes ? FrameDecoder::decodeImage(bytes->data(), bytes->size(), 0, 0) : nullptr;
    return texture ? std::to_string(gdk_texture_get_width(texture.get())) + "x"
            + std::to_string(gdk_texture_get_height(texture.get()))
                   : "none";
}

void PiPTest::launchOn(const std::string& html)
{
    // libsoup answers the byte ranges a video asks for when it seeks.
    for (const char* name : {"pip-640x480.webm", "pip-1920x1080.webm", "loop-2s.webm"})
        server.route(
            std::string("/") + name, Response {200, "video/webm", testData(name), {{"Accept-Ranges", "bytes"}}});
    server.page("/", html);
    setDefault(kHomepageKey, server.url("/"));
    launch();
    browser().setMessageHandler("quilpip", this);
    recording = true;
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
}

void PiPTest::post(const std::string& object)
{
    auto value = adopt(jsc_context_evaluate(context.get(), ("(" + object + ")").c_str(), -1));
    controller().didReceiveScriptMessage(ScriptSender {activeView(), 0, true}, ScriptValue(value.get()));
}

void PiPTest::didReceiveScriptMessage(const ScriptSender& sender, const ScriptValue& body)
{
    char* json = body.get() ? jsc_value_to_json(body.get(), 0) : nullptr;
    messages.push_back({json ? nlohmann::json::parse(json, nullptr, false) : nlohmann::json()});
    g_free(json);
    controller().didReceiveScriptMessage(sender, body);
}

std::vector<PiPMessage> PiPTest::ofType(const std::string& type) const
{
    std::vector<PiPMessage> list;
    std::copy_if(messages.begin(), messages.end(), std::back_inserter(list),
        [&](const PiPMessage& m) { return m.type() == type; });
    return list;
}

} // namespace quillmere::test
