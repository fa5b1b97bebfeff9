// Rule lists against the real WebKitGTK content-blocker compiler.
#include "FilterConverter.h"

#include <webkit/webkit.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fstream>
#include <memory>
#include <optional>
#include <set>

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

// The build compiled its parts with this engine into the store it ships; together they hold
// the lists' rules, each part within the engine's limit, and the starter list compiles fast.
TEST(QuilblockCompile, BuiltPartsAreShippedCompiled)
{
    const std::string first = QUILBLOCK_RULES_JSON;
    const std::string stem = first.substr(0, first.size() - 5);
    std::set<std::string> distinct;
    size_t parts = 0;
    for (std::string path = first; g_file_test(path.c_str(), G_FILE_TEST_EXISTS);
         path = stem + "-" + std::to_string(++parts + 1) + ".json") {
        const auto rules = nlohmann::json::parse(readFile(path.c_str()));
        EXPECT_LE(rules.size(), 150000u) << path;
        for (const auto& rule : rules)
            distinct.insert(rule.dump());
    }
    EXPECT_GE(parts, 2u);
    EXPECT_GE(distinct.size(), 110000u);

    const std::string storeDir = first.substr(0, first.rfind('/')) + "/content-filters";
    WebKitUserContentFilterStore* store = webkit_user_content_filter_store_new(storeDir.c_str());
    for (size_t i = 0; i < parts; ++i) {
        const std::string identifier = "quilblock-main-v4" + (i ? "-part" + std::to_string(i + 1) : std::string());
        std::optional<bool> found;
        webkit_user_content_filter_store_load(
            store, identifier.c_str(), nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                WebKitUserContentFilter* filter = webkit_user_content_filter_store_load_finish(
                    WEBKIT_USER_CONTENT_FILTER_STORE(source), result, nullptr);
                *static_cast<std::optional<bool>*>(data) = filter != nullptr;
                g_clear_pointer(&filter, webkit_user_content_filter_unref);
            },
            &found);
        while (!found)
            g_main_context_iteration(nullptr, TRUE);
        EXPECT_TRUE(*found) << identifier;
    }
    g_object_unref(store);

    const std::string starter = readFile(QUILBLOCK_STARTER_JSON);
    EXPECT_LE(nlohmann::json::parse(starter).size(), 2200u);
    EXPECT_EQ(compile(starter), "");
}

// Every construct the converter emits compiles.
TEST(QuilblockCompile, FixtureCompiles)
{
    quilblock::FilterConverter converter;
    converter.addList(readFile(QUILBLOCK_TEST_DATA_DIR "/mixed.txt"));
    EXPECT_EQ(compile(quilblock::toJson(converter.convert())), "");
}
