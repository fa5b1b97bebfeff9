#include "browser/WebViewFactory.h"

#include "platform/GraphicsProbe.h"
#include "platform/Resources.h"

namespace quillmere {

namespace {

struct PageScript {
    const char* resource;
    WebKitUserScriptInjectionTime time;
};

// Injection order matters: scripts of one injection time run in the order added, so
// the identity script always runs before the others at document start.
constexpr PageScript kPageScripts[] = {
    {"scripts/stealth.js", WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START},
    {"scripts/instrument.js", WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START},
    {"scripts/ad-skipper.js", WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END},
    {"scripts/pip.js", WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_END},
    {"scripts/counter.js", WEBKIT_USER_SCRIPT_INJECT_AT_DOCUMENT_START},
};

bool hasResource(const char* name)
{
    registerResources();
    const std::string path = std::string(kResourcePrefix) + name;
    return g_resources_get_info(path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr, nullptr, nullptr);
}

// Heap data of one channel's signal handler: lives as long as the content manager.
struct ChannelHook {
    ScriptMessageSink sink;
    const char* channel;
    GWeak<WebKitWebView> view;
};

void onScriptMessage(WebKitUserContentManager*, JSCValue* value, gpointer data)
{
    auto* hook = static_cast<ChannelHook*>(data);
    auto view = hook->view.peek();
    if (view && hook->sink)
        hook->sink(hook->channel, view.get(), value);
}

} // namespace

WebViewFactory::WebViewFactory()
{
    for (const auto& script : kPageScripts) {
        if (!hasResource(script.resource))
            continue;
        const std::string source = resourceText(script.resource);
        scripts_.emplace_back(webkit_user_script_new(
            source.c_str(), WEBKIT_USER_CONTENT_INJECT_ALL_FRAMES, script.time, nullptr, nullptr));
    }

    accelerated_ = !graphicsInfo().software;
}

GObjectPtr<WebKitWebView> WebViewFactory::makeWebView(
    const ScriptMessageSink& sink, WebKitUserContentFilter* ruleList, WebKitWebView* opener) const
{
    auto settings = adopt(webkit_settings_new());
    webkit_settings_set_user_agent(settings.get(), CUSTOM_UA.c_str());
    webkit_settings_set_enable_fullscreen(settings.get(), TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings.get(), FALSE);
    if (!accelerated_)
        webkit_settings_set_hardware_acceleration_policy(settings.get(), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    auto manager = adopt(webkit_user_content_manager_new());
    for (const auto& script : scripts_)
        webkit_user_content_manager_add_script(manager.get(), script.get());

    // A view opened by a page shares its opener's process and, the engine insists, its
    // content manager too, so the two pages' messages arrive as the opener's.
    auto view = retain(WEBKIT_WEB_VIEW(opener
            ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", opener, "settings", settings.get(),
                "user-content-manager", manager.get(), nullptr)
            : g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", webkit_network_session_get_default(), "settings",
                settings.get(), "user-content-manager", manager.get(), nullptr)));

    for (const char* channel : kMessageChannels) {
        webkit_user_content_manager_register_script_message_handler(manager.get(), channel, nullptr);
        const std::string signal = std::string("script-message-received::") + channel;
        g_signal_connect_data(
            manager.get(), signal.c_str(), G_CALLBACK(onScriptMessage),
            new ChannelHook {sink, channel, GWeak<WebKitWebView>(view.get())},
            [](gpointer data, GClosure*) { delete static_cast<ChannelHook*>(data); }, GConnectFlags(0));
    }

    if (ruleList)
        webkit_user_content_manager_add_filter(manager.get(), ruleList);
    return view;
}

} // namespace quillmere

std::string CUSTOM_UA;
