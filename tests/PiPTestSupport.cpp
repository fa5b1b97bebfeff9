#include "PiPTestSupport.h"

#include "platform/Base64.h"
#include "platform/UserDefaults.h"

namespace quillmere::test {

void PiPRecorder::didReceiveScriptMessage(WebKitWebView* sender, const ScriptValue& body)
{
    char* json = body.get() ? jsc_value_to_json(body.get(), 0) : nullptr;
    messages.push_back({sender, g_get_monotonic_time(), json ? nlohmann::json::parse(json, nullptr, false) : nlohmann::json()});
    g_free(json);
    if (next_)
        next_->didReceiveScriptMessage(sender, body);
}

std::vector<PiPMessage> PiPRecorder::ofType(const std::string& type) const
{
    std::vector<PiPMessage> list;
    for (const auto& message : messages)
        if (message.type() == type)
            list.push_back(message);
    return list;
}

ImageSize frameImageSize(const PiPMessage& frame)
{
    const std::string data = frame.body.value("data", "");
    const auto comma = data.find(',');
    if (comma == std::string::npos)
        return {};
    auto bytes = decodeBase64(std::string_view(data).substr(comma + 1));
    if (!bytes)
        return {};
    GBytes* jpeg = g_bytes_new(bytes->data(), bytes->size());
    GdkTexture* texture = gdk_texture_new_from_bytes(jpeg, nullptr);
    g_bytes_unref(jpeg);
    if (!texture)
        return {};
    ImageSize size{gdk_texture_get_width(texture), gdk_texture_get_height(texture)};
    g_object_unref(texture);
    return size;
}

PiPTest::~PiPTest()
{
    if (recorder)
        browser().setMessageHandler("quilpip", &controller());
}

namespace {

// Answers byte-range requests, as media servers do: a video fetches from a new offset
// with one when it seeks.
Response rangedVideo(const std::string& data, const SeenRequest& request)
{
    std::string range;
    for (const auto& [name, value] : request.headers)
        if (g_ascii_strcasecmp(name.c_str(), "Range") == 0)
            range = value;
    Response response{200, "video/webm", data, {{"Accept-Ranges", "bytes"}}};
    std::size_t first = 0, last = data.size() - 1;
    if (range.rfind("bytes=", 0) != 0)
        return response;
    const std::string bytes = range.substr(6);
    const auto dash = bytes.find('-');
    if (dash == std::string::npos)
        return response;
    first = std::stoul(bytes.substr(0, dash));
    if (dash + 1 < bytes.size())
        last = std::min<std::size_t>(last, std::stoul(bytes.substr(dash + 1)));
    if (first > last) {
        response.status = 416;
        response.body.clear();
        response.headers["Content-Range"] = "bytes */" + std::to_string(data.size());
        return response;
    }
    response.status = 206;
    response.body = data.substr(first, last - first + 1);
    response.headers["Content-Range"] = "bytes " + std::to_string(first) + "-" + std::to_string(last) + "/" + std::to_string(data.size());
    return response;
}

} // namespace

void PiPTest::launchOn(const std::string& html)
{
    for (const char* name : {"pip-640x480.webm", "pip-1920x1080.webm", "pip-audio.webm"}) {
        std::string data = testData(name);
        server.route(std::string("/") + name, [data](const SeenRequest& request) { return rangedVideo(data, request); });
    }
    server.page("/", html);
    setDefault(kHomepageKey, server.url("/"));
    launch();
    recorder = std::make_unique<PiPRecorder>(&controller());
    browser().setMessageHandler("quilpip", recorder.get());
    ASSERT_TRUE(waitForLoad(activeView(), server.url("/")));
}

bool PiPTest::waitForReadyState(WebKitWebView* view, const std::string& id, int readyState)
{
    return runUntil([&] {
        return evaluate(view, "document.getElementById('" + id + "').readyState >= " + std::to_string(readyState)) == "true";
    }, 15000);
}

bool PiPTest::waitForMessages(const std::string& type, int count, int timeoutMs)
{
    return runUntil([&] { return recorder->count(type) >= count; }, timeoutMs);
}

} // namespace quillmere::test
