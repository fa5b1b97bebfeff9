// The built rule list against the real WebKitGTK content-blocker compiler.
#include "FilterConverter.h"

#include <webkit/webkit.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <sstream>

using nlohmann::json;

namespace {

constexpr auto kTimeout = std::chrono::seconds(120);

std::string readFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Waits on the default main context until done() or the time-out.
template<typename Done>
bool iterateUntil(Done done)
{
    const auto deadline = std::chrono::steady_clock::now() + kTimeout;
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    }
    return true;
}

struct Compiled {
    WebKitUserContentFilter* filter = nullptr;
    std::string error;
    double seconds = 0;
};

// Compiles a document in a throw-away filter store.
Compiled compile(const std::string& document)
{
    char* dir = g_dir_make_tmp("quilblock-store-XXXXXX", nullptr);
    EXPECT_NE(dir, nullptr);
    WebKitUserContentFilterStore* store = webkit_user_content_filter_store_new(dir);
    GBytes* bytes = g_bytes_new(document.data(), document.size());

    struct State {
        Compiled result;
        bool done = false;
    };
    // Left allocated if WebKit never answers: its callback may still come.
    auto* state = new State;
    const auto start = std::chrono::steady_clock::now();
    webkit_user_content_filter_store_save(
        store, "quilblock", bytes, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* state = static_cast<State*>(data);
            GError* error = nullptr;
            state->result.filter = webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(source), result, &error);
            if (error) {
                state->result.error = error->message;
                g_error_free(error);
            }
            state->done = true;
        },
        state);
    Compiled compiled;
    if (iterateUntil([&] { return state->done; })) {
        compiled = state->result;
        delete state;
    } else {
        compiled.error = "no answer from WebKit within " + std::to_string(kTimeout.count()) + " s";
    }
    compiled.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    g_bytes_unref(bytes);
    g_object_unref(store);
    GFile* file = g_file_new_for_path(dir);
    // The store writes one file per identifier, no subdirectories.
    GFileEnumerator* entries = g_file_enumerate_children(file, G_FILE_ATTRIBUTE_STANDARD_NAME, G_FILE_QUERY_INFO_NONE, nullptr, nullptr);
    while (GFileInfo* info = entries ? g_file_enumerator_next_file(entries, nullptr, nullptr) : nullptr) {
        GFile* child = g_file_get_child(file, g_file_info_get_name(info));
        g_file_delete(child, nullptr, nullptr);
        g_object_unref(child);
        g_object_unref(info);
    }
    if (entries)
        g_object_unref(entries);
    g_file_delete(file, nullptr, nullptr);
    g_object_unref(file);
    g_free(dir);
    return compiled;
}

} // namespace

TEST(QuilblockCompile, BuiltDocumentCompiles)
{
    const std::string document = readFile(QUILBLOCK_RULES_JSON);
    ASSERT_FALSE(document.empty()) << "missing " << QUILBLOCK_RULES_JSON;
    const size_t rules = json::parse(document).size();
    EXPECT_GE(rules, 110000u);
    EXPECT_LT(rules, 150000u); // WebKit refuses more

    Compiled compiled = compile(document);
    EXPECT_NE(compiled.filter, nullptr) << "WebKit rejected " << QUILBLOCK_RULES_JSON << ": " << compiled.error;
    EXPECT_TRUE(compiled.error.empty()) << compiled.error;
    std::printf("compiled %zu rules in %.1f s\n", rules, compiled.seconds);
    if (compiled.filter)
        webkit_user_content_filter_unref(compiled.filter);
}

TEST(QuilblockCompile, RejectionIsDetected)
{
    Compiled compiled = compile(R"([{"trigger":{"url-filter":"ad{2}"},"action":{"type":"block"}}])");
    EXPECT_EQ(compiled.filter, nullptr);
    EXPECT_FALSE(compiled.error.empty());
}

TEST(QuilblockCompile, FixtureConversionCompiles)
{
    // Every construct the converter emits, in a document small enough to compile in a blink.
    quilblock::FilterConverter converter;
    converter.addList(readFile(QUILBLOCK_TEST_DATA_DIR "/mixed.txt"));
    Compiled compiled = compile(quilblock::toJson(converter.convert()));
    EXPECT_NE(compiled.filter, nullptr) << compiled.error;
    if (compiled.filter)
        webkit_user_content_filter_unref(compiled.filter);
}

// WebKit drops a css-display-none rule whose selector it cannot parse, silently; a batch
// holding one bad selector would lose them all. Parse every selector with WebKit's own parser.
TEST(QuilblockCompile, EverySelectorParses)
{
    if (!gtk_init_check())
        GTEST_SKIP() << "no display";
    json selectors = json::array();
    for (const auto& rule : json::parse(readFile(QUILBLOCK_RULES_JSON))) {
        if (rule["action"]["type"] == "css-display-none")
            selectors.push_back(rule["action"]["selector"]);
    }
    ASSERT_GT(selectors.size(), 1000u);
    const std::string script = "(() => { const bad = []; for (const s of " + selectors.dump()
        + ") { try { document.querySelectorAll(s); } catch (e) { bad.push(s.length > 200 ? s.slice(0, 200) + '...' : s); } }"
          " return JSON.stringify(bad); })()";

    WebKitWebView* view = WEBKIT_WEB_VIEW(g_object_ref_sink(webkit_web_view_new()));
    bool loaded = false;
    g_signal_connect(view, "load-changed", G_CALLBACK(+[](WebKitWebView*, WebKitLoadEvent event, gpointer data) {
        if (event == WEBKIT_LOAD_FINISHED)
            *static_cast<bool*>(data) = true;
    }), &loaded);
    webkit_web_view_load_html(view, "<!doctype html><p>x</p>", "https://quilblock.test/");
    ASSERT_TRUE(iterateUntil([&] { return loaded; }));

    struct State {
        std::string result;
        std::string error;
        bool done = false;
    } state;
    webkit_web_view_evaluate_javascript(view, script.c_str(), static_cast<gssize>(script.size()), nullptr, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* state = static_cast<State*>(data);
            GError* error = nullptr;
            if (JSCValue* value = webkit_web_view_evaluate_javascript_finish(WEBKIT_WEB_VIEW(source), result, &error)) {
                char* text = jsc_value_to_string(value);
                state->result = text;
                g_free(text);
                g_object_unref(value);
            } else {
                state->error = error->message;
                g_error_free(error);
            }
            state->done = true;
        },
        &state);
    ASSERT_TRUE(iterateUntil([&] { return state.done; }));
    ASSERT_TRUE(state.error.empty()) << state.error;
    EXPECT_EQ(state.result, "[]") << "selectors WebKit cannot parse";
    g_object_unref(view);
}
