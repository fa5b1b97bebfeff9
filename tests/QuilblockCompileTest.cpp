// Rule lists against the real WebKitGTK content-blocker compiler. (That WebKit parses every
// selector of the built list is checked in ContentBlockingTest, in a real page.)
#include "FilterConverter.h"
#include "UrlPattern.h"

#include <webkit/webkit.h>

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <chrono>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>

namespace {

std::string readFile(const char* path)
{
    std::ostringstream text;
    text << std::ifstream(path, std::ios::binary).rdbuf();
    return text.str();
}

// Compiles a document in a throw-away store (isolate.sh removes its directory); answers WebKit's
// complaint, empty when it took the document. The answer is shared with the callback, which may
// come after a time-out gave up.
std::string compile(const std::string& document)
{
    auto answer = std::make_shared<std::optional<std::string>>();
    char* dir = g_dir_make_tmp("quilblock-store-XXXXXX", nullptr);
    WebKitUserContentFilterStore* store = webkit_user_content_filter_store_new(dir);
    GBytes* bytes = g_bytes_new(document.data(), document.size());
    webkit_user_content_filter_store_save(store, "quilblock", bytes, nullptr, [](GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<decltype(answer)> holder(static_cast<decltype(answer)*>(data));
        GError* error = nullptr;
        WebKitUserContentFilter* filter = webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(source), result, &error);
        **holder = filter ? "" : error ? error->message : "no list and no error";
        g_clear_pointer(&filter, webkit_user_content_filter_unref);
        g_clear_error(&error);
    }, new auto(answer));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(2);
    while (!*answer && std::chrono::steady_clock::now() < deadline)
        if (!g_main_context_iteration(nullptr, FALSE))
            g_usleep(1000);
    g_bytes_unref(bytes);
    g_object_unref(store);
    g_free(dir);
    EXPECT_TRUE(*answer) << "no answer from WebKit";
    return answer->value_or("");
}

} // namespace

TEST(QuilblockCompile, BuiltDocumentCompiles)
{
    const std::string document = readFile(QUILBLOCK_RULES_JSON);
    ASSERT_FALSE(document.empty()) << "missing " << QUILBLOCK_RULES_JSON;
    EXPECT_GE(nlohmann::json::parse(document).size(), 110000u); // and WebKit refuses more than 150,000
    EXPECT_EQ(compile(document), "") << "WebKit rejected " << QUILBLOCK_RULES_JSON;
}

// Every construct the converter emits compiles, and the converter's own check of url-filters
// agrees with WebKit, rejections included.
TEST(QuilblockCompile, FixtureCompilesAndUrlFiltersAreJudgedAsWebKitDoes)
{
    quilblock::FilterConverter converter;
    converter.addList(readFile(QUILBLOCK_TEST_DATA_DIR "/mixed.txt"));
    EXPECT_EQ(compile(quilblock::toJson(converter.convert())), "");
    for (const std::string pattern : {".*", "^a$", "a\\.b", "[^-_.%A-Za-z0-9]", "(ab)?c+", "(a(b)?)*d", "\\{\\}\\|\\$\\^", "x[\\]]", "\\!", "",
             "a|b", "a{2}", "\\d", "[\\d]", "a^b", "a$b", "(a$)", "(^a)", "a**", "*a", "[a", "(a", "a)", "caf\xc3\xa9"}) {
        const std::string rule = R"([{"trigger":{"url-filter":)" + nlohmann::json(pattern).dump() + R"(},"action":{"type":"block"}}])";
        EXPECT_EQ(compile(rule).empty(), quilblock::isWebKitUrlFilter(pattern)) << pattern;
    }
}
