#include "browser/WebViewFactory.h"

#include "platform/Bundle.h"
#include "platform/GraphicsProbe.h"
#include "platform/Log.h"

#include <glibmm/main.h>

#include <climits>
#include <cstdlib>

namespace quillmere {

namespace {

// The engine loads the extension into every web process it starts; the first of those
// starts with the first web view, so this runs before one exists. The sandbox the web
// processes run in must see the extension's real directory (the bundle of a test or an
// install copy links to the build's).
void loadWebProcessExtension()
{
    static const bool loaded = [] {
        const std::string directory = webProcessExtensionsDirectory();
        char resolved[PATH_MAX];
        if (!realpath(directory.c_str(), resolved)) {
            quillmereLog.error("Web process extension not found in %{public}s: pages get no scripts", directory);
            return false;
        }
        WebKitWebContext* context = webkit_web_context_get_default();
        webkit_web_context_add_path_to_sandbox(context, resolved, TRUE);
        webkit_web_context_set_web_process_extensions_directory(context, resolved);
        return true;
    }();
    (void)loaded;
}

// Messages wait for their answer until the main loop has nothing more urgent to do
// (drawing and input come first): the extension sends a page's next messages only then.
class Answers {
public:
    static void later(WebKitUserMessage* message)
    {
        static Answers& answers = *new Answers; // for the life of the process
        answers.waiting_.push_back(retain(message));
        if (!answers.scheduled_.connected())
            answers.scheduled_ = Glib::signal_idle().connect(
                [] {
                    auto waiting = std::move(answers.waiting_);
                    answers.waiting_.clear();
                    for (auto& message : waiting)
                        webkit_user_message_send_reply(message.get(), webkit_user_message_new("ack", nullptr));
                    return false;
                },
                Glib::PRIORITY_DEFAULT_IDLE);
    }

private:
    std::vector<GObjectPtr<WebKitUserMessage>> waiting_;
    sigc::connection scheduled_;
};

// The JavaScriptCore context the browser reads message bodies in.
JSCContext* messageContext()
{
    static JSCContext* context = jsc_context_new();
    return context;
}

// Heap data of one view's message handler: lives as long as the view's connection.
struct MessageHook {
    ScriptMessageSink sink;
};

gboolean onUserMessage(WebKitWebView* view, WebKitUserMessage* message, gpointer data)
{
    const auto channel = messageChannelIndex(webkit_user_message_get_name(message));
    if (!channel)
        return FALSE;
    Answers::later(message);
    GVariant* parameters = webkit_user_message_get_parameters(message);
    if (!parameters || !g_variant_is_of_type(parameters, G_VARIANT_TYPE(kFrameMessageFormat)))
        return TRUE;
    guint64 frame = 0;
    gboolean mainFrame = FALSE;
    gsize length = 0;
    g_variant_get_child(parameters, 0, "t", &frame);
    g_variant_get_child(parameters, 1, "b", &mainFrame);
    g_autoptr(GVariant) text = g_variant_get_child_value(parameters, 2);
    const char* json = g_variant_get_string(text, &length);
    // The extension never sends more; this is only a backstop.
    if (length > kMaxMessageBytes)
        return TRUE;
    JSCContext* context = messageContext();
    auto body = adopt(jsc_value_new_from_json(context, json));
    jsc_context_clear_exception(context);
    auto* hook = static_cast<MessageHook*>(data);
    if (body && hook->sink)
        hook->sink(kMessageChannels[*channel], ScriptSender {view, frame, mainFrame != FALSE}, body.get());
    return TRUE;
}

} // namespace

WebViewFactory::WebViewFactory()
{
    loadWebProcessExtension();
    accelerated_ = !graphicsInfo().software;
}

GObjectPtr<WebKitWebView> WebViewFactory::makeWebView(
    const ScriptMessageSink& sink, const QuilBlock::RuleSet* ruleList, WebKitWebView* opener) const
{
    auto settings = adopt(webkit_settings_new());
    webkit_settings_set_user_agent(settings.get(), CUSTOM_UA.c_str());
    webkit_settings_set_enable_fullscreen(settings.get(), TRUE);
    webkit_settings_set_media_playback_requires_user_gesture(settings.get(), FALSE);
    if (!accelerated_)
        webkit_settings_set_hardware_acceleration_policy(settings.get(), WEBKIT_HARDWARE_ACCELERATION_POLICY_NEVER);

    // A view opened by a page runs on its opener's content manager whatever it asks for,
    // so it is given that one, and holds it: the rules switch reaches its page through
    // it, also after the opener has closed. Its page is its own all the same, and so are
    // its messages.
    GObjectPtr<WebKitUserContentManager> manager =
        opener ? retain(webkit_web_view_get_user_content_manager(opener)) : adopt(webkit_user_content_manager_new());
    auto view = retain(WEBKIT_WEB_VIEW(opener
            ? g_object_new(WEBKIT_TYPE_WEB_VIEW, "related-view", opener, "settings", settings.get(),
                "user-content-manager", manager.get(), nullptr)
            : g_object_new(WEBKIT_TYPE_WEB_VIEW, "network-session", webkit_network_session_get_default(), "settings",
                settings.get(), "user-content-manager", manager.get(), nullptr)));

    g_signal_connect_data(
        view.get(), "user-message-received", G_CALLBACK(onUserMessage), new MessageHook {sink},
        [](gpointer data, GClosure*) { delete static_cast<MessageHook*>(data); }, GConnectFlags(0));

    if (ruleList)
        ruleList->attachTo(manager.get());
    return view;
}

} // namespace quillmere

std::string CUSTOM_UA;
