// The web process extension: a library the engine loads into each of its web processes
// (the browser points the engine at <bundle>/lib/quillmere/web-process-extensions).
// It is the only way page scripts reach the browser.
//
// In every new document of every frame, before the page's own scripts run, it installs
// the program's page scripts. Those that must replace the page's own functions (the
// identity script, the developer tools' instrumentation, the failed-fetch counter) run
// in the page's world; the others need only the DOM and run in an isolated world of the
// program's, which page code cannot reach. Each script is a function expression that
// the extension calls with native functions; those stay in the script's closure and are
// never put on any window. A native function knows the document it was made for, so
// every message names its frame, and the engine delivers it to the web view of the
// frame's page. No script-message handler is registered anywhere, so the engine gives no
// page a window.webkit either.
#include "Page.h"

#include "platform/GObjectPtr.h"
#include "platform/PageBridge.h"

#include <webkit/webkit-web-process-extension.h>

#include <initializer_list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

extern "C" {
void quillmere_web_process_register_resource(void);
GResource* quillmere_web_process_get_resource(void);
}

namespace quillmere::webprocess {

namespace {

constexpr const char* kScriptPrefix = "/com/brenhollow/quillmere/web-process/";

std::string scriptText(const char* name)
{
    const std::string path = std::string(kScriptPrefix) + name;
    g_autoptr(GBytes) bytes = g_resource_lookup_data(
        quillmere_web_process_get_resource(), path.c_str(), G_RESOURCE_LOOKUP_FLAGS_NONE, nullptr);
    if (!bytes)
        return {};
    gsize size = 0;
    const char* data = static_cast<const char*>(g_bytes_get_data(bytes, &size));
    return std::string(data, size);
}

WebKitScriptWorld* privateWorld()
{
    static WebKitScriptWorld* world = webkit_script_world_new_with_name(kScriptWorldName);
    return world;
}

// What a native function is made for: a document and, for send(), a channel.
struct Binding {
    std::shared_ptr<Document> document;
    std::size_t channel = 0;

    std::shared_ptr<Page> page() const { return document->page.lock(); }
};

GObjectPtr<JSCValue> nativeFunction(
    JSCContext* context, GCallback callback, Binding binding, GType returnType, guint parameterCount)
{
    auto* data = new Binding(std::move(binding));
    auto destroy = [](gpointer data) { delete static_cast<Binding*>(data); };
    switch (parameterCount) {
    case 0:
        return adopt(jsc_value_new_function(context, nullptr, callback, data, destroy, returnType, 0));
    case 1:
        return adopt(jsc_value_new_function(context, nullptr, callback, data, destroy, returnType, 1, JSC_TYPE_VALUE));
    default:
        return adopt(jsc_value_new_function(context, nullptr, callback, data, destroy, returnType, 4, JSC_TYPE_VALUE,
            JSC_TYPE_VALUE, JSC_TYPE_VALUE, JSC_TYPE_VALUE));
    }
}

std::optional<std::string> stringOf(JSCValue* value)
{
    if (!value || !jsc_value_is_string(value))
        return std::nullopt;
    g_autoptr(GBytes) bytes = jsc_value_to_string_as_bytes(value);
    gsize size = 0;
    const char* data = bytes ? static_cast<const char*>(g_bytes_get_data(bytes, &size)) : nullptr;
    return data ? std::string(data, size) : std::string();
}

// send(message): the message as JSON text, to the browser, on the binding's channel.
void send(JSCValue* message, Binding* binding)
{
    auto page = binding->page();
    if (!page || !message)
        return;
    JSCContext* context = jsc_value_get_context(message);
    GCharPtr json(jsc_value_to_json(message, 0));
    jsc_context_clear_exception(context);
    if (!json)
        return;
    std::string text(json.get());
    if (binding->channel == *messageChannelIndex(kPiPChannel)) {
        auto type = adopt(jsc_value_object_get_property(message, "type"));
        if (stringOf(type.get()) == "frame") {
            page->postFrame(*binding->document, std::move(text));
            return;
        }
    }
    page->post(binding->channel, *binding->document, std::move(text));
}

gboolean capturing(Binding* binding)
{
    auto page = binding->page();
    return page && page->capturing();
}

void countFailure(Binding* binding)
{
    auto page = binding->page();
    if (!page)
        return;
    binding->document->failedLoads += 1;
    page->postFailedLoads(*binding->document);
}

void remember(JSCValue* id, JSCValue* method, JSCValue* url, JSCValue* body, Binding* binding)
{
    auto key = stringOf(id), verb = stringOf(method), address = stringOf(url), content = stringOf(body);
    if (key && verb && address && content)
        binding->document->remember(*key, {std::move(*verb), std::move(*address), std::move(*content)});
}

// Runs one script: evaluates its function expression and calls it with `arguments`.
void install(JSCContext* context, const char* name, std::initializer_list<JSCValue*> arguments)
{
    static std::unordered_map<std::string, std::string> texts;
    auto& text = texts[name];
    if (text.empty())
        text = scriptText(name);
    auto function = adopt(jsc_context_evaluate(context, text.c_str(), static_cast<gssize>(text.size())));
    if (function && jsc_value_is_function(function.get())) {
        std::vector<JSCValue*> list(arguments);
        auto result = adopt(jsc_value_function_callv(function.get(), static_cast<guint>(list.size()), list.data()));
    }
    jsc_context_clear_exception(context);
}

void windowObjectCleared(WebKitScriptWorld* world, WebKitWebPage* webPage, WebKitFrame* frame, gpointer)
{
    const bool pageWorld = world == webkit_script_world_get_default();
    Page& page = Page::of(webPage);
    std::shared_ptr<Document> document = page.documentFor(frame, pageWorld);
    (pageWorld ? document->pageWorldInstalled : document->privateWorldInstalled) = true;

    auto context = adopt(webkit_frame_get_js_context_for_script_world(frame, world));
    auto sendOn = [&](const char* channel) {
        return nativeFunction(
            context.get(), G_CALLBACK(send), {document, *messageChannelIndex(channel)}, G_TYPE_NONE, 1);
    };
    auto counter = nativeFunction(context.get(), G_CALLBACK(countFailure), {document}, G_TYPE_NONE, 0);
    if (pageWorld) {
        auto capture = nativeFunction(context.get(), G_CALLBACK(capturing), {document}, G_TYPE_BOOLEAN, 0);
        auto keep = nativeFunction(context.get(), G_CALLBACK(remember), {document}, G_TYPE_NONE, 4);
        install(context.get(), "stealth.js", {});
        // Before the instrumentation, so that the counter wraps the engine's own fetch.
        install(context.get(), "counter-fetch.js", {counter.get()});
        install(context.get(), "instrument.js", {sendOn(kDevToolsChannel).get(), capture.get(), keep.get()});
    } else {
        install(context.get(), "ad-skipper.js", {sendOn(kDevToolsChannel).get()});
        install(context.get(), "pip.js", {sendOn(kPiPChannel).get()});
        install(context.get(), "counter.js", {counter.get()});
    }
}

} // namespace

} // namespace quillmere::webprocess

extern "C" G_MODULE_EXPORT void webkit_web_process_extension_initialize(WebKitWebProcessExtension* extension)
{
    using namespace quillmere::webprocess;
    quillmere_web_process_register_resource();
    g_signal_connect(extension, "page-created",
        G_CALLBACK(+[](WebKitWebProcessExtension*, WebKitWebPage* page, gpointer) { Page::of(page); }), nullptr);
    g_signal_connect(
        webkit_script_world_get_default(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
    g_signal_connect(privateWorld(), "window-object-cleared", G_CALLBACK(windowObjectCleared), nullptr);
}
