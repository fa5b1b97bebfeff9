#include "update/Updater.h"

#include "platform/Bundle.h"
#include "platform/Dispatch.h"
#include "platform/Log.h"
#include "platform/Url.h"

#include <gio/gio.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>
#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace quillmere::Updater {

namespace fs = std::filesystem;

namespace {

SoupSession* session()
{
    // One session for the process, with no cache: every check asks the host. A transfer
    // that stalls for 60 s fails.
    static SoupSession* shared = soup_session_new_with_options("timeout", 60, nullptr);
    return shared;
}

// The request for base + path, or null when the address does not parse.
SoupMessage* requestFor(const std::string& base, const char* path)
{
    const std::string address = base + path;
    if (!isParsableURL(address) || !g_uri_is_valid(address.c_str(), G_URI_FLAGS_NONE, nullptr))
        return nullptr;
    return soup_message_new("GET", address.c_str());
}

std::optional<std::int64_t> integerValue(const nlohmann::json& value)
{
    // An unsigned number is also "integer" to the parser, so it is looked at first.
    if (value.is_number_unsigned()) {
        const auto unsignedValue = value.get<std::uint64_t>();
        if (unsignedValue > static_cast<std::uint64_t>(INT64_MAX))
            return std::nullopt;
        return static_cast<std::int64_t>(unsignedValue);
    }
    if (value.is_number_integer())
        return value.get<std::int64_t>();
    if (value.is_number_float()) {
        const double number = value.get<double>();
        // 2^63 itself does not fit; -2^63 does.
        if (!std::isfinite(number) || std::trunc(number) != number || number >= 9223372036854775808.0
            || number < -9223372036854775808.0)
            return std::nullopt;
        return static_cast<std::int64_t>(number);
    }
    return std::nullopt;
}

} // namespace

std::optional<VersionDocument> parseVersionDocument(const std::string& body)
{
    if (body.empty())
        return std::nullopt;
    const auto document = nlohmann::json::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object() || document.empty())
        return std::nullopt;
    const auto build = document.find("build");
    if (build == document.end())
        return std::nullopt;
    const auto number = integerValue(*build);
    if (!number)
        return std::nullopt;
    const auto version = document.find("version");
    if (version == document.end() || !version->is_string())
        return std::nullopt;
    const auto notes = document.find("notes");
    return VersionDocument {*number, version->get<std::string>(),
        notes != document.end() && notes->is_string() ? notes->get<std::string>() : std::string()};
}

void checkForUpdate(const std::string& base, CheckCompletion completion)
{
    SoupMessage* message = requestFor(base, "/version.json");
    if (!message) {
        completion(UpdateStatus {UpdateStatus::Error {"Bad update URL"}});
        return;
    }
    soup_session_send_and_read_async(
        session(), message, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<CheckCompletion> completion(static_cast<CheckCompletion*>(data));
            GError* error = nullptr;
            GBytes* body = soup_session_send_and_read_finish(SOUP_SESSION(source), result, &error);
            UpdateStatus status;
            if (!body) {
                status.value = UpdateStatus::Error {error->message};
                g_error_free(error);
            } else {
                gsize size = 0;
                const auto* bytes = static_cast<const char*>(g_bytes_get_data(body, &size));
                const auto document = parseVersionDocument(std::string(bytes ? bytes : "", size));
                g_bytes_unref(body);
                if (!document) {
                    status.value = UpdateStatus::Error {"Bad version.json"};
                } else {
                    quillmereLog.info("Update check: remote build %ld, local build %ld", document->build, currentBuild);
                    if (document->build > currentBuild)
                        status.value = UpdateStatus::UpdateAvailable {document->version, document->notes};
                    else
                        status.value = UpdateStatus::UpToDate {};
                }
            }
            dispatchMain([completion = std::move(*completion), status = std::move(status)] { completion(status); });
        },
        new CheckCompletion(std::move(completion)));
    g_object_unref(message);
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
    std::string bundle;
    std::string archive;
    std::string staging;
    Progress progress;
    InstallCompletion completion;
    SoupMessage* message = nullptr;
    GOutputStream* file = nullptr;

    ~Install()
    {
        if (message)
            g_object_unref(message);
        if (file)
            g_object_unref(file);
    }
};

void fail(std::unique_ptr<Install> install, const std::string& message)
{
    std::error_code ignored;
    if (!install->staging.empty())
        fs::remove_all(install->staging, ignored);
    dispatchMain([completion = std::move(install->completion), message] { completion(false, message); });
}

// Our well-known bus name goes first, so that the new copy becomes the running
// instance instead of handing itself over to us just before we quit.
void releaseApplicationName()
{
    GApplication* application = g_application_get_default();
    GDBusConnection* bus = application ? g_application_get_dbus_connection(application) : nullptr;
    if (!bus)
        return;
    GVariant* reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
        "org.freedesktop.DBus", "ReleaseName", g_variant_new("(s)", g_application_get_application_id(application)),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 2000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
}

void relaunch(const std::string& bundle)
{
    releaseApplicationName();
    const std::string executable = bundle + "/bin/quillmere";
    char* argv[] = {const_cast<char*>(executable.c_str()), nullptr};
    // A copy that cannot be started changes nothing: we still quit.
    g_spawn_async(nullptr, argv, nullptr, G_SPAWN_DEFAULT, nullptr, nullptr, nullptr, nullptr);
    dispatchAfter(500, [] {
        if (GApplication* application = g_application_get_default())
            g_application_quit(application);
    });
}

// The unpacked copy replaces the installed bundle by two renames; if the second fails
// the first is undone, so the installed bundle is never half old and half new.
void swapIn(std::unique_ptr<Install> install)
{
    const fs::path bundle = install->bundle;
    const fs::path unpacked = fs::path(install->staging) / "quillmere";
    std::error_code error;
    if (!fs::is_regular_file(unpacked / "bin" / "quillmere", error)) {
        fail(std::move(install), "The update archive holds no quillmere/bin/quillmere");
        return;
    }
    const fs::path old = fs::path(install->staging) / "previous";
    fs::rename(bundle, old, error);
    if (error) {
        fail(std::move(install), "Could not move the installed copy aside: " + error.message());
        return;
    }
    fs::rename(unpacked, bundle, error);
    if (error) {
        std::error_code ignored;
        fs::rename(old, bundle, ignored);
        fail(std::move(install), "Could not move the new copy in place: " + error.message());
        return;
    }
    fs::remove_all(install->staging, error);

    quillmereLog.info("Update installed, relaunching");
    dispatchMain([progress = std::move(install->progress), completion = std::move(install->completion),
                     target = install->bundle] {
        progress("Relaunching...");
        relaunch(target);
        completion(true, "Updated");
    });
}

// Whether an entry name would land outside the directory it is unpacked into.
bool escapes(const std::string& name)
{
    if (name.empty() || name.front() == '/')
        return !name.empty();
    for (size_t start = 0; start <= name.size();) {
        const size_t end = name.find('/', start);
        if (name.compare(start, (end == std::string::npos ? name.size() : end) - start, "..") == 0)
            return true;
        if (end == std::string::npos)
            break;
        start = end + 1;
    }
    return false;
}

void extract(std::unique_ptr<Install> install);

void unpack(std::unique_ptr<Install> install)
{
    dispatchMain([progress = install->progress] { progress("Installing update..."); });

    // The unzip tool quietly drops "../" from entry names and unpacks the rest; an
    // archive that tries to reach outside its folder is refused instead. A file that is
    // no archive at all is left to the unpacking step, which reports the tool's status.
    GSubprocess* list =
        g_subprocess_new(GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_SILENCE), nullptr,
            "/usr/bin/unzip", "-Z1", install->archive.c_str(), nullptr);
    if (!list) {
        extract(std::move(install));
        return;
    }
    g_subprocess_communicate_utf8_async(
        list, nullptr, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Install> install(static_cast<Install*>(data));
            GSubprocess* list = G_SUBPROCESS(source);
            char* names = nullptr;
            g_subprocess_communicate_utf8_finish(list, result, &names, nullptr, nullptr);
            const bool listed = g_subprocess_get_if_exited(list) && g_subprocess_get_exit_status(list) == 0;
            g_object_unref(list);
            std::string escaping;
            if (listed && names) {
                char** lines = g_strsplit(names, "\n", -1);
                for (char** line = lines; *line && escaping.empty(); ++line)
                    if (escapes(*line))
                        escaping = *line;
                g_strfreev(lines);
            }
            g_free(names);
            if (!escaping.empty()) {
                g_remove(install->archive.c_str());
                fail(std::move(install), "The update archive reaches outside its folder: " + escaping);
                return;
            }
            extract(std::move(install));
        },
        install.release());
}

void extract(std::unique_ptr<Install> install)
{
    // Unpack into a fresh directory beside the bundle, never over it.
    const std::string pattern = fs::path(install->bundle).parent_path().string() + "/.quillmere-update-XXXXXX";
    std::string staging = pattern;
    if (!g_mkdtemp(staging.data())) {
        fail(std::move(install), std::string("Failed to unzip update: ") + g_strerror(errno));
        return;
    }
    install->staging = staging;

    GError* error = nullptr;
    GSubprocess* unzip = g_subprocess_new(G_SUBPROCESS_FLAGS_STDOUT_SILENCE, &error, "/usr/bin/unzip", "-o", "-q",
        install->archive.c_str(), "-d", staging.c_str(), nullptr);
    if (!unzip) {
        const std::string message = std::string("Failed to unzip update: ") + error->message;
        g_error_free(error);
        fail(std::move(install), message);
        return;
    }
    g_subprocess_wait_async(
        unzip, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Install> install(static_cast<Install*>(data));
            GSubprocess* unzip = G_SUBPROCESS(source);
            g_subprocess_wait_finish(unzip, result, nullptr);
            g_remove(install->archive.c_str());
            const int status = g_subprocess_get_if_exited(unzip) ? g_subprocess_get_exit_status(unzip)
                                                                 : 128 + g_subprocess_get_term_sig(unzip);
            g_object_unref(unzip);
            if (status != 0) {
                fail(std::move(install), "Unzip exited with status " + std::to_string(status));
                return;
            }
            swapIn(std::move(install));
        },
        install.release());
}

} // namespace

void downloadAndInstall(const std::string& base, Progress progress, InstallCompletion completion)
{
    SoupMessage* message = requestFor(base, "/latest.zip");
    if (!message) {
        completion(false, "Bad download URL");
        return;
    }
    progress("Downloading update...");

    auto install = std::make_unique<Install>();
    install->bundle = bundleDirectory();
    install->progress = std::move(progress);
    install->completion = std::move(completion);
    install->message = message;
    if (!isReplaceableBundle(install->bundle)) {
        fail(std::move(install),
            "This copy of Quillmere is not a self-contained install; update it the way it was installed.");
        return;
    }

    char* uuid = g_uuid_string_random();
    char* upper = g_ascii_strup(uuid, -1);
    install->archive = std::string(g_get_tmp_dir()) + "/quillmere-update-" + upper + ".zip";
    g_free(upper);
    g_free(uuid);

    soup_session_send_async(
        session(), message, G_PRIORITY_DEFAULT, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<Install> install(static_cast<Install*>(data));
            GError* error = nullptr;
            GInputStream* body = soup_session_send_finish(SOUP_SESSION(source), result, &error);
            if (!body) {
                const std::string message = error->message;
                g_error_free(error);
                fail(std::move(install), message);
                return;
            }
            GFile* target = g_file_new_for_path(install->archive.c_str());
            GFileOutputStream* file = g_file_replace(target, nullptr, FALSE, G_FILE_CREATE_PRIVATE, nullptr, &error);
            g_object_unref(target);
            if (!file) {
                const std::string message = std::string("Failed to save download: ") + error->message;
                g_error_free(error);
                g_object_unref(body);
                fail(std::move(install), message);
                return;
            }
            install->file = G_OUTPUT_STREAM(file);
            GOutputStream* output = install->file;
            g_output_stream_splice_async(
                output, body,
                GOutputStreamSpliceFlags(G_OUTPUT_STREAM_SPLICE_CLOSE_SOURCE | G_OUTPUT_STREAM_SPLICE_CLOSE_TARGET),
                G_PRIORITY_DEFAULT, nullptr,
                [](GObject* stream, GAsyncResult* result, gpointer data) {
                    std::unique_ptr<Install> install(static_cast<Install*>(data));
                    GError* error = nullptr;
                    if (g_output_stream_splice_finish(G_OUTPUT_STREAM(stream), result, &error) < 0) {
                        const std::string message = error->message;
                        g_error_free(error);
                        g_remove(install->archive.c_str());
                        fail(std::move(install), message);
                        return;
                    }
                    unpack(std::move(install));
                },
                install.release());
            g_object_unref(body);
        },
        install.release());
}

} // namespace quillmere::Updater
