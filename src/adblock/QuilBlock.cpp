#include "adblock/QuilBlock.h"

#include "platform/Bundle.h"
#include "platform/Log.h"

#include <memory>

namespace quillmere::QuilBlock {

namespace {

WebKitUserContentFilterStore* store()
{
    // One store for the process; the engine keeps what it compiles across launches.
    static WebKitUserContentFilterStore* shared = webkit_user_content_filter_store_new(storeDirectory().c_str());
    return shared;
}

struct Request {
    Completion completion;
    LookupMiss onLookupMiss;
};

void finish(std::unique_ptr<Request> request, RuleList list)
{
    Completion completion = std::move(request->completion);
    completion(std::move(list));
}

void compileFresh(std::unique_ptr<Request> request)
{
    auto path = locateRulesFile();
    if (!path) {
        quillmereLog.error("quilblock_rules.json not found next to the app bundle -- ad blocking disabled");
        finish(std::move(request), nullptr);
        return;
    }

    gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path->c_str(), &contents, &length, nullptr)
        || !g_utf8_validate(contents, static_cast<gssize>(length), nullptr)) {
        g_free(contents);
        quillmereLog.error("Failed to read rules file at %{public}s", *path);
        finish(std::move(request), nullptr);
        return;
    }

    char* name = g_path_get_basename(path->c_str());
    quillmereLog.info("Compiling content rule list from %{public}s (%{public}ld bytes)", name, static_cast<std::int64_t>(length));
    g_free(name);

    GBytes* source = g_bytes_new_take(contents, length);
    webkit_user_content_filter_store_save(store(), kRuleListIdentifier, source, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> request(static_cast<Request*>(data));
            GError* error = nullptr;
            WebKitUserContentFilter* list = webkit_user_content_filter_store_save_finish(
                WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
            if (!list) {
                quillmereLog.error("Content rule list compilation failed: %{public}s", error ? error->message : "unknown error");
                g_clear_error(&error);
                finish(std::move(request), nullptr);
                return;
            }
            quillmereLog.info("Content rule list compiled successfully and ready");
            finish(std::move(request), adoptRuleList(list));
        }, request.release());
    g_bytes_unref(source);
}

} // namespace

std::string storeDirectory()
{
    return std::string(g_get_user_data_dir()) + "/quillmere/content-filters";
}

std::optional<std::string> locateRulesFile()
{
    char* cwd = g_get_current_dir();
    const std::string candidates[] = {
        bundleResourcesDirectory() + "/" + kRulesFileName,
        std::string(cwd) + "/" + kRulesFileName,
        std::string(g_get_home_dir()) + "/Quillmere/" + kRulesFileName,
    };
    g_free(cwd);
    for (const auto& candidate : candidates)
        if (g_file_test(candidate.c_str(), G_FILE_TEST_EXISTS))
            return candidate;
    return std::nullopt;
}

void loadAndCompile(Completion completion, LookupMiss onLookupMiss)
{
    auto request = std::make_unique<Request>(Request{std::move(completion), std::move(onLookupMiss)});
    webkit_user_content_filter_store_load(store(), kRuleListIdentifier, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> request(static_cast<Request*>(data));
            WebKitUserContentFilter* list = webkit_user_content_filter_store_load_finish(
                WEBKIT_USER_CONTENT_FILTER_STORE(object), result, nullptr);
            if (list) {
                quillmereLog.info("Reusing cached content rule list, skipping recompile");
                finish(std::move(request), adoptRuleList(list));
                return;
            }
            LookupMiss onLookupMiss = std::move(request->onLookupMiss);
            if (!onLookupMiss) {
                compileFresh(std::move(request));
                return;
            }
            auto pending = std::make_shared<std::unique_ptr<Request>>(std::move(request));
            onLookupMiss([pending] {
                if (*pending)
                    compileFresh(std::move(*pending));
            });
        }, request.release());
}

} // namespace quillmere::QuilBlock
