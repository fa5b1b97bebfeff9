#include "support/Browser.h"

#include "browser/QuestionBar.h"
#include "platform/Bundle.h"
#include "platform/UserDefaults.h"
#include "support/Input.h"
#include "support/Program.h"

#include <giomm/file.h>

namespace quillmere::test {

BrowserTest::BrowserTest()
    : bundle_(makeTemporaryDirectory("quillmere-bundle-XXXXXX"))
    , application_(AppDelegate::createApplication())
    , delegate_(std::make_unique<AppDelegate>(application_))
{
    // The build tree's full rules document would be compiled by every test; tests get
    // a bundle of their own, with rules only where a test puts them.
    setBundleDirectory(bundle_);
    g_mkdir_with_parents((bundle_ + "/share/quillmere").c_str(), 0700);
    linkWebProcessExtension(bundle_);
    // An emission hook sees the signal of every web view, the ones pages open included.
    // The signal exists once the class does (registering the type is not enough).
    g_type_class_unref(g_type_class_ref(WEBKIT_TYPE_WEB_VIEW));
    crashHook_ = g_signal_add_emission_hook(
        g_signal_lookup("web-process-terminated", WEBKIT_TYPE_WEB_VIEW), 0, webProcessTerminated, this, nullptr);
}

gboolean BrowserTest::webProcessTerminated(GSignalInvocationHint*, guint, const GValue* values, gpointer data)
{
    if (g_value_get_enum(&values[1]) != WEBKIT_WEB_PROCESS_TERMINATED_BY_API)
        ++static_cast<BrowserTest*>(data)->crashes_;
    return TRUE;
}

void BrowserTest::expectFreed(gpointer object)
{
    auto* ref = new GWeakRef;
    g_weak_ref_init(ref, object);
    mustBeFreed_.emplace_back(ref, [](GWeakRef* ref) {
        g_weak_ref_clear(ref);
        delete ref;
    });
}

BrowserTest::~BrowserTest()
{
    const bool freed = runUntil(
        [&] {
            for (auto& ref : mustBeFreed_)
                if (GObject* alive = static_cast<GObject*>(g_weak_ref_get(ref.get()))) {
                    g_object_unref(alive);
                    return false;
                }
            return true;
        },
        5000);
    EXPECT_TRUE(freed) << "an object the test expected to be freed is still alive";
    EXPECT_TRUE(crashes_ == 0 || crashExpected_) << crashes_ << " web process(es) ended unexpectedly";
    g_signal_remove_emission_hook(g_signal_lookup("web-process-terminated", WEBKIT_TYPE_WEB_VIEW), crashHook_);
    delegate_.reset();
    // Let the engine tear its views down before the next test's objects appear.
    runFor(50);
}

void BrowserTest::launch(const std::vector<std::string>& opened)
{
    application_->register_application();
    if (opened.empty()) {
        application_->activate();
    } else {
        std::vector<Glib::RefPtr<Gio::File>> files;
        for (const auto& argument : opened)
            files.push_back(Gio::File::create_for_commandline_arg(argument));
        application_->open(files);
    }
    if (!delegate_->controller())
        throw std::runtime_error("the launch made no browser window");
    if (!runUntil([&] { return browser().window().get_mapped() && browser().contentView().get_height() > 0; }))
        throw std::runtime_error("the browser window never came on screen");
    focusWindow(browser().window());
}

BrowserWindowController& BrowserTest::browser()
{
    if (!delegate_->controller())
        throw std::runtime_error("there is no browser window (was the program launched?)");
    return *delegate_->controller();
}

bool BrowserTest::waitForLoad(WebKitWebView* view, const std::string& uri, int timeoutMs)
{
    return runUntil(
        [&] {
            const char* current = webkit_web_view_get_uri(view);
            return current && uri == current && !webkit_web_view_is_loading(view);
        },
        timeoutMs);
}

QuestionBar* BrowserTest::waitForQuestion(int tabIndex)
{
    QuestionBar* bar = nullptr;
    runUntil([&] {
        auto questions = tab(tabIndex).questions();
        bar = questions.empty() ? nullptr : questions.front();
        return bar && bar->get_mapped();
    });
    return bar;
}

bool BrowserTest::waitForTitle(int tabIndex, const std::string& title, int timeoutMs)
{
    return runUntil([&] { return tabIndex < tabCount() && tab(tabIndex).title() == title; }, timeoutMs);
}

namespace {

// Waits for a script's result and answers it as JSON text ("ERROR: ..." when it threw).
// The state is shared with the callback, which may arrive after a time-out gave up.
struct ScriptResult {
    bool done = false;
    std::string text;

    static void deliver(gpointer data, JSCValue* value, GError* error)
    {
        std::unique_ptr<std::shared_ptr<ScriptResult>> holder(static_cast<std::shared_ptr<ScriptResult>*>(data));
        ScriptResult& result = **holder;
        if (!value) {
            result.text = std::string("ERROR: ") + error->message;
            g_error_free(error);
        } else {
            char* json = jsc_value_is_undefined(value) ? g_strdup("undefined") : jsc_value_to_json(value, 0);
            result.text = json ? json : "null";
            g_free(json);
            g_object_unref(value);
        }
        result.done = true;
    }
};

std::string awaitResult(const std::shared_ptr<ScriptResult>& result, int timeoutMs)
{
    if (!runUntil([&] { return result->done; }, timeoutMs))
        return "ERROR: timed out";
    return result->text;
}

} // namespace

std::string BrowserTest::evaluate(WebKitWebView* view, const std::string& script, int timeoutMs)
{
    return evaluateIn(nullptr, view, script, timeoutMs);
}

std::string BrowserTest::evaluatePrivate(WebKitWebView* view, const std::string& script, int timeoutMs)
{
    return evaluateIn(kScriptWorldName, view, script, timeoutMs);
}

std::string BrowserTest::evaluateIn(const char* world, WebKitWebView* view, const std::string& script, int timeoutMs)
{
    auto result = std::make_shared<ScriptResult>();
    webkit_web_view_evaluate_javascript(
        view, script.c_str(), -1, world, nullptr, nullptr,
        [](GObject* source, GAsyncResult* async, gpointer data) {
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), async, &error);
            ScriptResult::deliver(data, value, error);
        },
        new std::shared_ptr<ScriptResult>(result));
    return awaitResult(result, timeoutMs);
}

std::string BrowserTest::evaluateAsync(WebKitWebView* view, const std::string& body, int timeoutMs)
{
    auto result = std::make_shared<ScriptResult>();
    webkit_web_view_call_async_javascript_function(
        view, body.c_str(), -1, nullptr, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* async, gpointer data) {
            GError* error = nullptr;
            JSCValue* value =
                webkit_web_view_call_async_javascript_function_finish(WEBKIT_WEB_VIEW(source), async, &error);
            ScriptResult::deliver(data, value, error);
        },
        new std::shared_ptr<ScriptResult>(result));
    return awaitResult(result, timeoutMs);
}

Gdk::Rectangle allocationIn(Gtk::Widget& widget, Gtk::Widget& target)
{
    Gdk::Rectangle frame = widget.get_allocation();
    graphene_point_t origin = GRAPHENE_POINT_INIT(0, 0), moved;
    if (!gtk_widget_compute_point(widget.get_parent()->gobj(), target.gobj(), &origin, &moved))
        return Gdk::Rectangle(-1, -1, -1, -1);
    return Gdk::Rectangle(frame.get_x() + static_cast<int>(moved.x), frame.get_y() + static_cast<int>(moved.y),
        frame.get_width(), frame.get_height());
}

void BrowserTest::useServerAsProxy()
{
    WebKitNetworkProxySettings* settings = webkit_network_proxy_settings_new(server.url("").c_str(), nullptr);
    webkit_network_session_set_proxy_settings(
        webkit_network_session_get_default(), WEBKIT_NETWORK_PROXY_MODE_CUSTOM, settings);
    webkit_network_proxy_settings_free(settings);
}

std::string BrowserTest::testData(const std::string& name)
{
    const char* dir = std::getenv("QUILLMERE_TEST_DATA");
    gchar* contents = nullptr;
    gsize length = 0;
    if (!dir || !g_file_get_contents((std::string(dir) + "/" + name).c_str(), &contents, &length, nullptr))
        throw std::runtime_error("missing test data " + name);
    std::string text(contents, length);
    g_free(contents);
    return text;
}

std::string BrowserTest::makeTemporaryDirectory(const char* pattern)
{
    char* dir = g_dir_make_tmp(pattern, nullptr);
    std::string path = dir;
    g_free(dir);
    return path;
}

void BrowserTest::installRules(const std::string& json)
{
    g_file_set_contents((bundle_ + "/share/quillmere/quilblock_rules.json").c_str(), json.c_str(), -1, nullptr);
}

void BrowserTest::setDefault(const std::string& key, const std::string& value)
{
    UserDefaults::standard().setString(key, value);
}

} // namespace quillmere::test
