#include "adblock/QuilBlock.h"

#include "RuleParts.h"
#include "platform/Bundle.h"
#include "platform/GObjectPtr.h"
#include "platform/Log.h"

#include <chrono>
#include <memory>

#include <csignal>
#include <sys/prctl.h>

namespace quillmere::QuilBlock {

std::string partIdentifier(const std::string& base, size_t index)
{
    return index == 0 ? base : base + "-part" + std::to_string(index + 1);
}

std::string partFileName(const std::string& firstPart, size_t index)
{
    return quilblock::partPath(firstPart, index);
}

RuleSet::RuleSet(std::vector<WebKitUserContentFilter*> adoptedParts)
    : parts_(std::move(adoptedParts))
{
}

RuleSet::~RuleSet()
{
    for (auto* part : parts_)
        webkit_user_content_filter_unref(part);
}

void RuleSet::attachTo(WebKitUserContentManager* manager) const
{
    for (auto* part : parts_)
        webkit_user_content_manager_add_filter(manager, part);
}

void RuleSet::detachFrom(WebKitUserContentManager* manager) const
{
    for (auto* part : parts_)
        webkit_user_content_manager_remove_filter(manager, part);
}

const char* RuleSet::identifier() const
{
    return parts_.empty() ? "" : webkit_user_content_filter_get_identifier(parts_.front());
}

RuleList makeList(std::vector<WebKitUserContentFilter*> parts)
{
    return std::make_shared<const RuleSet>(std::move(parts));
}

namespace {

// Parts beyond a list's own that an earlier, larger split may have left in the store.
constexpr size_t kStalePartsChecked = 4;

WebKitUserContentFilterStore* store()
{
    // One store for the process; the engine keeps what it compiles across launches.
    static WebKitUserContentFilterStore* shared = webkit_user_content_filter_store_new(storeDirectory().c_str());
    return shared;
}

std::string shippedStoreDirectory()
{
    return bundleResourcesDirectory() + "/" + kShippedStoreName;
}

struct Request {
    Completion completion;
    LookupMiss onLookupMiss;
    Starter onStarter;
};

void finish(std::unique_ptr<Request> request, RuleList list)
{
    Completion completion = std::move(request->completion);
    completion(std::move(list));
}


// Looks up part after part until one is missing; answers the parts found (none when even
// the first is missing) and the engine's word on the first that failed.
using PartsFound = std::function<void(std::vector<WebKitUserContentFilter*> parts, std::string failure)>;
struct PartLookup {
    GObjectPtr<WebKitUserContentFilterStore> store;
    std::string base;
    std::vector<WebKitUserContentFilter*> parts;
    PartsFound done;
};

void lookupNextPart(std::unique_ptr<PartLookup> lookup)
{
    const std::string identifier = partIdentifier(lookup->base, lookup->parts.size());
    WebKitUserContentFilterStore* from = lookup->store.get();
    webkit_user_content_filter_store_load(
        from, identifier.c_str(), nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<PartLookup> lookup(static_cast<PartLookup*>(data));
            g_autoptr(GError) error = nullptr;
            WebKitUserContentFilter* part =
                webkit_user_content_filter_store_load_finish(WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
            if (part) {
                lookup->parts.push_back(part);
                lookupNextPart(std::move(lookup));
                return;
            }
            PartsFound done = std::move(lookup->done);
            done(std::move(lookup->parts), error ? error->message : "not found");
        },
        lookup.release());
}

void lookupParts(GObjectPtr<WebKitUserContentFilterStore> from, const std::string& base, PartsFound done)
{
    lookupNextPart(std::make_unique<PartLookup>(PartLookup {std::move(from), base, {}, std::move(done)}));
}

void releaseParts(std::vector<WebKitUserContentFilter*>& parts)
{
    for (auto* part : parts)
        if (part)
            webkit_user_content_filter_unref(part);
    parts.clear();
}

} // namespace

std::vector<std::string> partFiles(const std::string& firstPart)
{
    std::vector<std::string> files {firstPart};
    while (g_file_test(partFileName(firstPart, files.size()).c_str(), G_FILE_TEST_IS_REGULAR))
        files.push_back(partFileName(firstPart, files.size()));
    return files;
}

namespace {

void compileFresh(std::unique_ptr<Request> request);

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


// Every part compiles at once, each in a helper process of its own when there is one: the
// engine's compile of a part runs on one core.
struct Batch {
    GObjectPtr<WebKitUserContentFilterStore> store;
    std::string directory;
    Compiled done;
    size_t remaining = 0;
    std::vector<WebKitUserContentFilter*> parts; // compiled here, in part order
    std::string failure;
    bool inHelpers = false;
};

void batchDone(std::shared_ptr<Batch> batch)
{
    const size_t count = batch->parts.size();
    if (!batch->failure.empty()) {
        releaseParts(batch->parts);
        batch->done(nullptr, batch->failure);
        return;
    }
    for (size_t i = count; i < count + kStalePartsChecked; ++i)
        webkit_user_content_filter_store_remove(
            batch->store.get(), partIdentifier(kRuleListIdentifier, i).c_str(), nullptr,
            [](GObject* store, GAsyncResult* result, gpointer) {
                // Mostly there is no such part; nothing to say either way.
                webkit_user_content_filter_store_remove_finish(WEBKIT_USER_CONTENT_FILTER_STORE(store), result, nullptr);
            },
            nullptr);
    if (!batch->inHelpers) {
        batch->done(makeList(std::move(batch->parts)), "");
        return;
    }
    // The helpers stored the parts; looking them up takes milliseconds.
    releaseParts(batch->parts);
    Compiled done = std::move(batch->done);
    lookupParts(std::move(batch->store), kRuleListIdentifier,
        [done, count](std::vector<WebKitUserContentFilter*> parts, std::string failure) {
            if (parts.size() < count) {
                releaseParts(parts);
                done(nullptr, failure.empty() ? "the compiled list is missing" : failure);
                return;
            }
            done(makeList(std::move(parts)), "");
        });
}

void partFinished(std::shared_ptr<Batch> batch, const std::string& failure)
{
    if (!failure.empty() && batch->failure.empty())
        batch->failure = failure;
    if (--batch->remaining == 0)
        batchDone(std::move(batch));
}

// Without the helper (a bare build, a test bundle) the engine compiles in this process.
void compileHere(std::shared_ptr<Batch> batch, size_t index, GBytes* source)
{
    struct Pending {
        std::shared_ptr<Batch> batch;
        size_t index;
    };
    webkit_user_content_filter_store_save(
        batch->store.get(), partIdentifier(kRuleListIdentifier, index).c_str(), source, nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            g_autoptr(GError) error = nullptr;
            WebKitUserContentFilter* list =
                webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
            if (list)
                pending->batch->parts[pending->index] = list;
            partFinished(pending->batch, list ? "" : error ? error->message : "unknown error");
        },
        new Pending {batch, index});
}

void compileInHelper(std::shared_ptr<Batch> batch, size_t index, const std::string& rulesFile, GBytes* source)
{
    const bool started = runHelper({batch->directory, partIdentifier(kRuleListIdentifier, index), rulesFile}, nullptr,
        [batch](bool succeeded, std::string output) {
            if (!succeeded && output.empty())
                output = "the rules compiler ended without a result";
            partFinished(batch, succeeded ? "" : output);
        });
    if (!started)
        compileHere(std::move(batch), index, source);
}

} // namespace

void compileRules(const std::string& directory, const std::string& firstPart, Compiled done,
    std::function<void(const std::string& file)> unreadable)
{
    const auto files = partFiles(firstPart);
    std::vector<BytesPtr> sources;
    std::int64_t length = 0;
    for (const auto& file : files) {
        gchar* contents = nullptr;
        gsize size = 0;
        if (!g_file_get_contents(file.c_str(), &contents, &size, nullptr)
            || !g_utf8_validate(contents, static_cast<gssize>(size), nullptr)) {
            g_free(contents);
            if (unreadable)
                unreadable(file);
            else
                done(nullptr, "cannot read " + file);
            return;
        }
        length += static_cast<std::int64_t>(size);
        sources.push_back(adoptBytes(g_bytes_new_take(contents, size)));
    }

    g_autofree char* name = g_path_get_basename(firstPart.c_str());
    quillmereLog.info("Compiling content rule list from %{public}s (%{public}ld bytes)", name, length);

    auto batch = std::make_shared<Batch>();
    batch->store = directory == storeDirectory() ? retain(store()) : adopt(webkit_user_content_filter_store_new(directory.c_str()));
    batch->directory = directory;
    batch->done = std::move(done);
    batch->remaining = files.size();
    batch->parts.assign(files.size(), nullptr);
    batch->inHelpers = g_file_test(compilerPath().c_str(), G_FILE_TEST_IS_EXECUTABLE);
    for (size_t i = 0; i < files.size(); ++i) {
        if (batch->inHelpers)
            compileInHelper(batch, i, files[i], sources[i].get());
        else
            compileHere(batch, i, sources[i].get());
    }
}

namespace {

void compileFresh(std::unique_ptr<Request> request)
{
    auto path = locateRulesFile();
    if (!path) {
        quillmereLog.error("quilblock_rules.json not found next to the app bundle -- ad blocking disabled");
        finish(std::move(request), nullptr);
        return;
    }

    auto pending = std::make_shared<std::unique_ptr<Request>>(std::move(request));
    compileRules(storeDirectory(), *path, [pending](RuleList list, std::string failure) {
        if (!*pending)
            return; // a file was unreadable: already answered
        compiled(std::move(*pending), std::move(list), failure);
    }, [pending](const std::string& file) {
        quillmereLog.error("Failed to read rules file at %{public}s", file);
        finish(std::move(*pending), nullptr);
    });
}

// No compiled list: the starter list first, if there is one, then the full compile.
void lookupMissed(std::unique_ptr<Request> request);

void compileStarter(std::unique_ptr<Request> request)
{
    const std::string path = bundleResourcesDirectory() + "/" + kStarterFileName;
    gchar* contents = nullptr;
    gsize length = 0;
    if (!request->onStarter || !g_file_get_contents(path.c_str(), &contents, &length, nullptr)) {
        lookupMissed(std::move(request));
        return;
    }
    auto source = adoptBytes(g_bytes_new_take(contents, length));
    struct Pending {
        std::unique_ptr<Request> request;
        std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    };
    webkit_user_content_filter_store_save(
        store(), kStarterIdentifier, source.get(), nullptr,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Pending> pending(static_cast<Pending*>(data));
            g_autoptr(GError) error = nullptr;
            WebKitUserContentFilter* list =
                webkit_user_content_filter_store_save_finish(WEBKIT_USER_CONTENT_FILTER_STORE(object), result, &error);
            if (!list) {
                quillmereLog.error("Starter content rule list compilation failed: %{public}s",
                    std::string(error ? error->message : "unknown error"));
            } else {
                const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(
                    std::chrono::steady_clock::now() - pending->start);
                quillmereLog.info("Starter content rule list compiled in %ld ms, blocking until the full list is ready",
                    static_cast<std::int64_t>(ms.count()));
                Starter onStarter = std::move(pending->request->onStarter);
                onStarter(makeList({list}));
            }
            lookupMissed(std::move(pending->request));
        },
        new Pending {std::move(request)});
}

void lookupMissed(std::unique_ptr<Request> request)
{
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
}

// The list the build compiled, when this engine takes it as it is: every part loads.
void useShipped(std::unique_ptr<Request> request)
{
    const std::string directory = shippedStoreDirectory();
    const auto rules = bundleResourcesDirectory() + "/" + kRulesFileName;
    if (!g_file_test(directory.c_str(), G_FILE_TEST_IS_DIR) || !g_file_test(rules.c_str(), G_FILE_TEST_IS_REGULAR)) {
        compileStarter(std::move(request));
        return;
    }
    const size_t expected = partFiles(rules).size();
    auto pending = std::make_shared<std::unique_ptr<Request>>(std::move(request));
    lookupParts(adopt(webkit_user_content_filter_store_new(directory.c_str())), kRuleListIdentifier,
        [pending, expected](std::vector<WebKitUserContentFilter*> parts, std::string failure) {
            if (parts.size() == expected) {
                quillmereLog.info("Using the content rule list compiled with Quillmere");
                finish(std::move(*pending), makeList(std::move(parts)));
                return;
            }
            releaseParts(parts);
            quillmereLog.info("The content rule list compiled with Quillmere does not load on this engine: %{public}s",
                failure);
            compileStarter(std::move(*pending));
        });
}

} // namespace

std::string compilerPath()
{
    return bundleDirectory() + "/libexec/quillmere/quillmere-rules-compiler";
}

bool runHelper(const std::vector<std::string>& arguments, GCancellable* cancellable, HelperDone done)
{
    const std::string compiler = compilerPath();
    std::vector<const char*> argv {compiler.c_str()};
    for (const auto& argument : arguments)
        argv.push_back(argument.c_str());
    argv.push_back(nullptr);
    g_autoptr(GSubprocessLauncher) launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDOUT_PIPE);
    // The helper goes when we go: work nobody waits for is only a waste.
    g_subprocess_launcher_set_child_setup(
        launcher, [](gpointer) { prctl(PR_SET_PDEATHSIG, SIGTERM); }, nullptr, nullptr);
    GSubprocess* helper = g_subprocess_launcher_spawnv(launcher, argv.data(), nullptr);
    if (!helper)
        return false;
    g_subprocess_communicate_utf8_async(
        helper, nullptr, cancellable,
        [](GObject* object, GAsyncResult* result, gpointer data) {
            std::unique_ptr<HelperDone> done(static_cast<HelperDone*>(data));
            // The reference the spawn gave us, kept for the call and dropped here.
            auto helper = adopt(G_SUBPROCESS(object));
            g_autofree char* output = nullptr;
            g_subprocess_communicate_utf8_finish(helper.get(), result, &output, nullptr, nullptr);
            (*done)(g_subprocess_get_if_exited(helper.get()) && g_subprocess_get_exit_status(helper.get()) == 0,
                output ? output : "");
        },
        new HelperDone(std::move(done)));
    return true;
}

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

void loadAndCompile(Completion completion, LookupMiss onLookupMiss, Starter onStarter)
{
    auto request =
        std::make_unique<Request>(Request {std::move(completion), std::move(onLookupMiss), std::move(onStarter)});
    auto pending = std::make_shared<std::unique_ptr<Request>>(std::move(request));
    lookupParts(retain(store()), kRuleListIdentifier,
        [pending](std::vector<WebKitUserContentFilter*> parts, std::string) {
            if (!parts.empty()) {
                quillmereLog.info("Reusing cached content rule list, skipping recompile");
                finish(std::move(*pending), makeList(std::move(parts)));
                return;
            }
            useShipped(std::move(*pending));
        });
}

} // namespace quillmere::QuilBlock
