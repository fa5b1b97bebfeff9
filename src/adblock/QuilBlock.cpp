#include "adblock/QuilBlock.h"

#include "platform/Bundle.h"
#include "platform/GObjectPtr.h"
#include "platform/Log.h"

#include <memory>

#include <csignal>
#include <sys/prctl.h>

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

void compileHere(std::unique_ptr<Request> request, BytesPtr source);
void compileInHelper(std::unique_ptr<Request> request, const std::string& compiler, const std::string& rulesFile);

void compiled(std::unique_ptr<Request> request, RuleList list, const std::string& failure)
{
    if (!list) {
        quillmereLog.error("Content rule list compilation failed: %{public}s", failure);
        finish(std::move(request), nullptr);
        return;
    }
    quillmereLog.info("Content rule list compiled successfully and ready");
    finish(std::move(request), std::move(list));
}

std::string compilerPath()
{
    return bundleDirectory() + "/libexec/quillmere/quillmere-rules-compiler";
}

void compileFresh(std::unique_ptr<Request> request)
{
    auto path = locateRulesFile();
    if (!path) {
        quillmereLog.error("quilblock_rules.json not found next to the app bundle -- ad blocking disabled");
        finish(std::move(request), nullptr);
        return;
    }

    g_autofree gchar* contents = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(path->c_str(), &contents, &length, nullptr)
        || !g_utf8_validate(contents, static_cast<gssize>(length), nullptr)) {
        quillmereLog.error("Failed to read rules file at %{public}s", *path);
        finish(std::move(request), nullptr);
        return;
    }

    g_autofree char* name = g_path_get_basename(path->c_str());
    quillmereLog.info(
        "Compiling content rule list from %{public}s (%{public}ld bytes)", name, static_cast<std::int64_t>(length));

    const std::string compiler = compilerPath();
    if (!g_file_test(compiler.c_str(), G_FILE_TEST_IS_EXECUTABLE)) {
        compileHere(std::move(request), adoptBytes(g_bytes_new_take(g_steal_pointer(&contents), length)));
        return;
    }
    compileInHelper(std::move(request), compiler, *path);
}

// Without the helper (a bare build, a test bundle) the engine compiles in this process.
void compileHere(std::unique_ptr<Request> request, BytesPtr source)
{
    webkit_user_content_filter_store_save(
        store(), kRuleListIdentifier, source.get(), nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> request(static_cast<Request*>(data));
            g_autoptr(GError) error = nullptr;
            WebKitUserContentFilter* list =
                webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
            if (!list) {
                compiled(std::move(request), nullptr, error ? error->message : "unknown error");
                return;
            }
            compiled(std::move(request), adoptRuleList(list), "");
        },
        request.release());
}

// The helper stores the compiled list; this process then looks it up, which takes
// milliseconds.
void compileInHelper(std::unique_ptr<Request> request, const std::string& compiler, const std::string& rulesFile)
{
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE);
    // The helper goes when we go: a compile nobody waits for is only a waste.
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
    const std::string directory = storeDirectory();
    GSubprocess* helper = g_subprocess_launcher_spawn(
        launcher, nullptr, compiler.c_str(), directory.c_str(), kRuleListIdentifier, rulesFile.c_str(), nullptr);
    if (!helper) {
        gchar* contents = nullptr;
        gsize length = 0;
        if (g_file_get_contents(rulesFile.c_str(), &contents, &length, nullptr))
            compileHere(std::move(request), adoptBytes(g_bytes_new_take(contents, length)));
        else
            compiled(std::move(request), nullptr, "the rules file could not be read again");
        return;
    }
    g_subprocess_communicate_utf8_async(
        helper, nullptr, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> request(static_cast<Request*>(data));
            // The reference the spawn gave us, kept for the call and dropped here.
            auto helper = adopt(G_SUBPROCESS(object));
            g_autofree char* output = nullptr;
            g_subprocess_communicate_utf8_finish(helper.get(), result, &output, nullptr, nullptr);
            std::string message = output ? output : "";
            const bool stored =
                g_subprocess_get_if_exited(helper.get()) && g_subprocess_get_exit_status(helper.get()) == 0;
            if (!stored) {
                if (message.empty())
                    message = "the rules compiler ended without a result";
                compiled(std::move(request), nullptr, message);
                return;
            }
            webkit_user_content_filter_store_load(
                store(), kRuleListIdentifier, nullptr,
                [](GObject* object, GAsyncResult* result, gpointer data) {
                    std::unique_ptr<Request> request(static_cast<Request*>(data));
                    g_autoptr(GError) error = nullptr;
                    WebKitUserContentFilter* list = webkit_user_content_filter_store_load_finish(
                        WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
                    const std::string failure = list ? "" : error ? error->message : "the compiled list is missing";
                    compiled(std::move(request), list ? adoptRuleList(list) : nullptr, failure);
                },
                request.release());
        },
        request.release());
}

} // namespace

std::string storeDirectory()
{
    return std::string(g_get_user_data_dir()) + "/quillmere/content-filters";
}

std::optional<std::string> locateRulesFile()
{
    g_autofree char* cwd = g_get_current_dir();
    const std::string candidates[] = {
        bundleResourcesDirectory() + "/" + kRulesFileName,
        std::string(cwd) + "/" + kRulesFileName,
        std::string(g_get_home_dir()) + "/Quillmere/" + kRulesFileName,
    };
    for (const auto& candidate : candidates)
        if (g_file_test(candidate.c_str(), G_FILE_TEST_EXISTS))
            return candidate;
    return std::nullopt;
}

void loadAndCompile(Completion completion, LookupMiss onLookupMiss)
{
    auto request = std::make_unique<Request>(Request {std::move(completion), std::move(onLookupMiss)});
    webkit_user_content_filter_store_load(
        store(), kRuleListIdentifier, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Request> request(static_cast<Request*>(data));
            WebKitUserContentFilter* list =
                webkit_user_content_filter_store_load_finish(WEBKIT_USER_CONTENT_FILTER_STORE(object), result, nullptr);
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
        },
        request.release());
}

} // namespace quillmere::QuilBlock
