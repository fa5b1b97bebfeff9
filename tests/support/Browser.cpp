#include "support/Browser.h"

#include "platform/UserDefaults.h"
#include "support/Input.h"

#include <giomm/file.h>

namespace quillmere::test {

BrowserTest::BrowserTest()
    : application_(Gtk::Application::create("com.brenhollow.quillmere", Gio::Application::Flags::HANDLES_OPEN))
    , delegate_(std::make_unique<AppDelegate>(application_))
{
}

BrowserTest::~BrowserTest()
{
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
    ASSERT_TRUE(delegate_->controller());
    ASSERT_TRUE(runUntil([&] { return browser().window().get_mapped() && browser().contentView().get_height() > 0; }));
    focusWindow(browser().window());
}

bool BrowserTest::waitForLoad(WebKitWebView* view, const std::string& uri, int timeoutMs)
{
    return runUntil([&] {
        const char* current = webkit_web_view_get_uri(view);
        return current && uri == current && !webkit_web_view_is_loading(view);
    }, timeoutMs);
}

bool BrowserTest::waitForTitle(int tabIndex, const std::string& title, int timeoutMs)
{
    return runUntil([&] { return tabIndex < tabCount() && tab(tabIndex).title == title; }, timeoutMs);
}

std::string BrowserTest::evaluate(WebKitWebView* view, const std::string& script, int timeoutMs)
{
    struct State {
        bool done = false;
        std::string result;
    };
    // Shared with the callback, which may arrive after a time-out gave up on it.
    auto state = std::make_shared<State>();
    webkit_web_view_evaluate_javascript(view, script.c_str(), -1, nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::shared_ptr<State>> holder(static_cast<std::shared_ptr<State>*>(data));
            State& state = **holder;
            GError* error = nullptr;
            JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error);
            if (!value) {
                state.result = std::string("ERROR: ") + error->message;
                g_error_free(error);
            } else {
                char* json = jsc_value_is_undefined(value) ? g_strdup("undefined") : jsc_value_to_json(value, 0);
                state.result = json ? json : "null";
                g_free(json);
                g_object_unref(value);
            }
            state.done = true;
        }, new std::shared_ptr<State>(state));
    if (!runUntil([&] { return state->done; }, timeoutMs))
        return "ERROR: timed out";
    return state->result;
}

void BrowserTest::setDefault(const std::string& key, const std::string& value)
{
    UserDefaults::standard().setString(key, value);
}

} // namespace quillmere::test
