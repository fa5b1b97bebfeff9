// Rule lists against the real WebKitGTK content-blocker compiler.
#include "FilterConverter.h"

#include <webkit/webkit.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <optional>

namespace {

std::string readFile(const char* path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Compiles in a throw-away store; answers WebKit's complaint, empty when it took the document. The
// answer is shared with the callback, which may come after the time-out gave up.
std::string compile(const std::string& document)
{
    auto answer = std::make_shared<std::optional<std::string>>();
    GBytes* bytes = g_bytes_new(document.data(), document.size());
    char* dir = g_dir_make_tmp("quilblock-store-XXXXXX", nullptr);
    WebKitUserContentFilterStore* store = webkit_user_content_filter_store_new(dir);
    webkit_user_content_filter_store_save(
        store, "quilblock", bytes, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<decltype(answer)> holder(static_cast<decltype(answer)*>(data));
            GError* error = nullptr;
            WebKitUserContentFilter* filter =
                webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(source), result, &error);
            **holder = filter ? "" : error ? error->message : "no list and no error";
            g_clear_pointer(&filter, webkit_user_content_filter_unref);
            g_clear_error(&error);
        },
        new auto(answer));
    for (const gint64 deadline = g_get_monotonic_time() + 120 * G_USEC_PER_SEC;
         !*answer && g_get_monotonic_time() < deadline;)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    g_bytes_unref(bytes);
    g_object_unref(store);
    g_free(dir);
    return answer->value_or("no answer from WebKit");
}

} // namespace

TEST(QuilblockCompile, BuiltDocumentCompiles)
{
    const std::string document = readFile(QUILBLOCK_RULES_JSON);
    EXPECT_GE(nlohmann::json::parse(document).size(), 110000u); // and WebKit refuses more than 150,000
    EXPECT_EQ(compile(document), "") << "WebKit rejected " << QUILBLOCK_RULES_JSON;
}

// Every construct the converter emits compiles.
TEST(QuilblockCompile, FixtureCompiles)
{
    quilblock::FilterConverter converter;
    converter.addList(readFile(QUILBLOCK_TEST_DATA_DIR "/mixed.txt"));
    EXPECT_EQ(compile(quilblock::toJson(converter.convert())), "");
}
