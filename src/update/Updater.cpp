#include "update/Updater.h"

#include "BundleSwap.h"
#include "Relaunch.h"
#include "Transfer.h"

#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/GObjectPtr.h"
#include "platform/Log.h"
#include "platform/Url.h"
#include "platform/UserDefaults.h"
#include "platform/Uuid.h"
#include "update/BuildSeams.h"
#include "update/Unpacker.h"

#include <gio/gio.h>
#include <glib/gstdio.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace quillmere::Updater {

namespace fs = std::filesystem;

namespace {

// The last build a check offered, and where from: what "Download & Install" installs.
struct Offer {
    std::string base;
    VersionDocument document;
};
std::optional<Offer>& lastOffer()
{
    static std::optional<Offer> offer;
    return offer;
}

bool parses(const std::string& address)
{
    return isParsableURL(address) && g_uri_is_valid(address.c_str(), G_URI_FLAGS_NONE, nullptr);
}

std::int64_t rolledBackBuild()
{
    const auto text = UserDefaults::standard().string(kRolledBackBuildKey);
    std::int64_t build = 0;
    g_ascii_string_to_signed(text ? text->c_str() : "", 10, 0, INT64_MAX, &build, nullptr);
    return build;
}

UpdateStatus judge(const std::string& base, const std::string& body)
{
    const auto document = parseVersionDocument(body);
    if (!document)
        return {UpdateStatus::Error {"Bad version.json"}};
    switch (checkSignature(*document, releasePublicKey())) {
    case SignatureCheck::Unsigned:
        return {UpdateStatus::Error {"version.json is not signed"}};
    case SignatureCheck::Invalid:
        return {UpdateStatus::Error {"version.json does not carry a valid release signature"}};
    case SignatureCheck::Valid:
        break;
    }
    quillmereLog.info("Update check: remote build %ld, local build %ld", document->build, currentBuild);
    if (document->build <= currentBuild)
        return {UpdateStatus::UpToDate {}};
    if (document->build <= rolledBackBuild())
        return {UpdateStatus::Error {"Build " + std::to_string(document->build)
            + " did not start here and was rolled back; waiting for a newer build"}};
    lastOffer() = Offer {base, *document};
    return {UpdateStatus::UpdateAvailable {document->version, document->notes}};
}

} // namespace

std::string configuredBase()
{
    std::string base = UserDefaults::standard().string(kUpdateURLKey).value_or("");
    while (!base.empty() && base.back() == '/')
        base.pop_back();
    return base.empty() ? kUpdateBase : base;
}

void checkForUpdate(const std::string& base, CheckCompletion completion)
{
    const std::string address = base + "/version.json";
    if (!parses(address)) {
        completion(UpdateStatus {UpdateStatus::Error {"Bad update URL"}});
        return;
    }
    auto body = std::make_shared<std::string>();
    fetch(
        address, "version.json", kMaxVersionDocumentBytes,
        [body](GBytes* piece, auto resume) {
            gsize size = 0;
            const auto* bytes = static_cast<const char*>(g_bytes_get_data(piece, &size));
            body->append(bytes, size);
            resume(std::nullopt);
        },
        [base, body, completion = std::move(completion)](std::optional<std::string> problem) {
            UpdateStatus status = problem ? UpdateStatus {UpdateStatus::Error {*problem}} : judge(base, *body);
            dispatchMain([completion, status = std::move(status)] { completion(status); });
        });
}

bool isReplaceableBundle(const std::string& bundle)
{
    std::error_code error;
    const fs::path path = fs::weakly_canonical(bundle, error);
    if (error || path.filename() != "quillmere")
        return false;
    // A system-wide install belongs to the package manager.
    const std::string text = path.string();
    if (text == "/usr" || text.rfind("/usr/", 0) == 0)
        return false;
    const fs::path executable = path / "bin" / "quillmere";
    if (!fs::is_regular_file(executable, error))
        return false;
    return access(path.parent_path().c_str(), W_OK) == 0 && access(path.c_str(), W_OK) == 0;
}

namespace {

struct Install {
    VersionDocument release;
    std::string bundle;
    std::string archive;
    Progress progress;
    InstallCompletion completion;
    GObjectPtr<GOutputStream> file;
    Sha256 digest;
    std::unique_ptr<Staging> staging; // from the unpacking on
    std::optional<std::string> problem; // what the worker thread found wrong
};
using InstallPtr = std::shared_ptr<Install>;

void fail(const InstallPtr& install, const std::string& message)
{
    if (install->staging)
        install->staging->discard();
    if (!install->archive.empty())
        g_remove(install->archive.c_str());
    quillmereLog.error("Update failed: %{public}s", message);
    dispatchMain([completion = install->completion, message] { completion(false, message); });
}

// Runs `work` on a worker thread, then `then` on the main loop.
void inThread(std::function<void()> work, std::function<void()> then)
{
    struct Job {
        std::function<void()> work;
        std::function<void()> then;
    };
    auto task = adopt(g_task_new(
        nullptr, nullptr,
        [](GObject*, GAsyncResult* result, gpointer) {
            static_cast<Job*>(g_task_get_task_data(G_TASK(result)))->then();
        },
        nullptr));
    g_task_set_task_data(
        task.get(), new Job {std::move(work), std::move(then)}, [](gpointer job) { delete static_cast<Job*>(job); });
    g_task_run_in_thread(task.get(), [](GTask* task, gpointer, gpointer job, GCancellable*) {
        static_cast<Job*>(job)->work();
        g_task_return_boolean(task, TRUE);
    });
}

void relaunched(const InstallPtr& install, bool started);

// Unpacks and swaps on a worker thread (the flushing to disk takes its time), then
// hands over to the new copy.
void installArchive(const InstallPtr& install)
{
    install->progress("Installing update...");
    inThread(
        [install] {
            std::string error;
            install->staging = Staging::create(install->bundle, error);
            if (!install->staging) {
                install->problem = error;
                return;
            }
            install->problem = unpackBundle(install->archive, install->staging->path());
            g_remove(install->archive.c_str());
            install->archive.clear();
            if (install->problem)
                return;
            faultPoint("unpacked");
            install->problem = install->staging->swapIn();
        },
        [install] {
            if (install->problem) {
                fail(install, *install->problem);
                return;
            }
            quillmereLog.info("Update installed, relaunching");
            install->progress("Relaunching...");
            // The new copy owns the profile from here on; ours waits to see whether it
            // must take it back.
            UserDefaults::standard().holdSaving(true);
            relaunchAndWatch(
                install->bundle + "/bin/quillmere", [install](bool started) { relaunched(install, started); });
        });
}

void relaunched(const InstallPtr& install, bool started)
{
    if (started) {
        inThread([install] { install->staging->keep(); },
            [install] {
                quillmereLog.info("Update: build %ld started, the previous copy is removed", install->release.build);
                install->completion(true, "Updated");
                if (GApplication* application = g_application_get_default())
                    g_application_quit(application);
            });
        return;
    }
    inThread(
        [install] {
            install->problem = install->staging->restore();
            install->staging->discard();
        },
        [install] {
            UserDefaults::standard().holdSaving(false);
            reclaimApplicationName();
            if (install->problem) {
                quillmereLog.error("Update: the previous copy cannot be put back: %{public}s", *install->problem);
                install->completion(false,
                    "the new version did not start, and the previous version could not be put back: "
                        + *install->problem + " (a new launch will try again)");
                return;
            }
            UserDefaults::standard().setString(
                kRolledBackBuildKey, std::to_string(std::max(install->release.build, rolledBackBuild())));
            quillmereLog.error("Update: build %ld did not start; the previous copy is back", install->release.build);
            install->completion(false, "the new version did not start; the previous version was restored");
        });
}

void downloaded(const InstallPtr& install, std::optional<std::string> problem)
{
    g_autoptr(GError) error = nullptr;
    if (!problem && !g_output_stream_close(install->file.get(), nullptr, &error))
        problem = std::string("Failed to save download: ") + error->message;
    install->file.reset();
    if (problem) {
        fail(install, *problem);
        return;
    }
    if (install->digest.hex() != install->release.sha256) {
        fail(install, "The download does not match the signed digest");
        return;
    }
    installArchive(install);
}

} // namespace

void downloadAndInstall(const std::string& base, Progress progress, InstallCompletion completion)
{
    const std::string address = base + "/latest.zip";
    if (!parses(address)) {
        completion(false, "Bad download URL");
        return;
    }
    progress("Downloading update...");

    auto install = std::make_shared<Install>();
    install->bundle = bundleDirectory();
    install->progress = std::move(progress);
    install->completion = std::move(completion);
    const auto& offer = lastOffer();
    if (!offer || offer->base != base || offer->document.build <= currentBuild
        || offer->document.build <= rolledBackBuild()) {
        fail(install, "There is no checked update to install; check for updates first");
        return;
    }
    install->release = offer->document;
    if (!isReplaceableBundle(install->bundle)) {
        fail(install, "This copy of Quillmere is not a self-contained install; update it the way it was installed.");
        return;
    }

    std::string uuid = newUUID();
    std::ranges::transform(uuid, uuid.begin(), [](char c) { return g_ascii_toupper(c); });
    const std::string archive = std::string(g_get_tmp_dir()) + "/quillmere-update-" + uuid + ".zip";
    auto target = adopt(g_file_new_for_path(archive.c_str()));
    g_autoptr(GError) error = nullptr;
    install->file = GObjectPtr<GOutputStream>(
        G_OUTPUT_STREAM(g_file_replace(target.get(), nullptr, FALSE, G_FILE_CREATE_PRIVATE, nullptr, &error)));
    if (!install->file) {
        fail(install, std::string("Failed to save download: ") + error->message);
        return;
    }
    install->archive = archive;

    fetch(
        address, "latest.zip", kMaxArchiveBytes,
        [install](GBytes* piece, auto resume) {
            install->digest.update(
                std::span(static_cast<const std::uint8_t*>(g_bytes_get_data(piece, nullptr)), g_bytes_get_size(piece)));
            struct BytesUnref {
                void operator()(GBytes* bytes) const { g_bytes_unref(bytes); }
            };
            // Keeps the piece alive until it is written.
            struct Write {
                std::unique_ptr<GBytes, BytesUnref> piece;
                std::function<void(std::optional<std::string>)> resume;
            };
            auto* write = new Write {std::unique_ptr<GBytes, BytesUnref>(g_bytes_ref(piece)), std::move(resume)};
            g_output_stream_write_all_async(
                install->file.get(), g_bytes_get_data(piece, nullptr), g_bytes_get_size(piece), G_PRIORITY_DEFAULT,
                nullptr,
                [](GObject* stream, GAsyncResult* result, gpointer data) {
                    std::unique_ptr<Write> write(static_cast<Write*>(data));
                    g_autoptr(GError) error = nullptr;
                    if (!g_output_stream_write_all_finish(G_OUTPUT_STREAM(stream), result, nullptr, &error))
                        write->resume(std::string("Failed to save download: ") + error->message);
                    else
                        write->resume(std::nullopt);
                },
                write);
        },
        [install](std::optional<std::string> problem) { downloaded(install, std::move(problem)); });
}

void recoverInterruptedUpdates()
{
    recoverStaging(bundleDirectory(), startedByUpdate());
}

void takeRelaunchReport()
{
    takeReportChannel();
}

void reportStartedAfterUpdate()
{
    reportStarted();
    // Had the previous copy ended before it heard from us, the next launch would undo
    // the swap; a copy with its window up has shown that it works.
    keepSwapsOf(bundleDirectory());
}

} // namespace quillmere::Updater
