// The updater through the settings window: what a check believes, what an install
// refuses, the whole hand-over to a new copy, and the way back when that copy fails.
#include "support/Browser.h"
#include "support/Input.h"
#include "support/TestBuild.h"
#include "support/UpdateArchives.h"

#include "platform/Bundle.h"
#include "platform/GObjectPtr.h"
#include "platform/UserDefaults.h"
#include "settings/SettingsWindow.h"
#include "update/Updater.h"

#include <gio/gio.h>

#include <csignal>
#include <filesystem>
#include <fstream>

using namespace quillmere;
using namespace quillmere::test;
namespace fs = std::filesystem;

namespace {

// An HTTP server that answers each path with raw bytes and then closes the connection:
// for answers that lie about their length or announce none. Each connection has a thread.
class RawServer {
public:
    explicit RawServer(std::map<std::string, std::string> answers)
        : answers_(std::move(answers))
        , service_(adopt(g_threaded_socket_service_new(4)))
    {
        auto address = adopt(g_inet_socket_address_new_from_string("127.0.0.1", 0));
        GSocketAddress* bound = nullptr;
        g_socket_listener_add_address(G_SOCKET_LISTENER(service_.get()), address.get(), G_SOCKET_TYPE_STREAM,
            G_SOCKET_PROTOCOL_TCP, nullptr, &bound, nullptr);
        port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(adopt(bound).get()));
        g_signal_connect(service_.get(), "run", G_CALLBACK(&RawServer::run), this);
    }
    ~RawServer() { g_socket_service_stop(service_.get()); }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    static std::string answer(const std::string& status, const std::string& body)
    {
        return "HTTP/1.1 " + status + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    }
    static std::string ok(const std::string& body) { return answer("200 OK", body); }

private:
    // The answer goes out once the request is in, so that the client sees no reset.
    static gboolean run(GThreadedSocketService*, GSocketConnection* socket, GObject*, gpointer data)
    {
        std::string request;
        char buffer[4096];
        for (gssize count = 1; count > 0 && request.find("\r\n\r\n") == std::string::npos;) {
            count = g_input_stream_read(
                g_io_stream_get_input_stream(G_IO_STREAM(socket)), buffer, sizeof buffer, nullptr, nullptr);
            request.append(buffer, std::max<gssize>(count, 0));
        }
        const size_t start = request.find(' ') + 1; // "GET /path HTTP/1.1"
        const auto& answers = static_cast<RawServer*>(data)->answers_;
        if (auto found = answers.find(request.substr(start, request.find(' ', start) - start)); found != answers.end())
            g_output_stream_write_all(g_io_stream_get_output_stream(G_IO_STREAM(socket)), found->second.data(),
                found->second.size(), nullptr, nullptr, nullptr);
        g_io_stream_close(G_IO_STREAM(socket), nullptr, nullptr);
        return TRUE;
    }

    const std::map<std::string, std::string> answers_;
    GObjectPtr<GSocketService> service_;
    int port_ = 0;
};

bool anyDownloadLeft()
{
    return std::ranges::any_of(fs::directory_iterator(g_get_tmp_dir()),
        [](const auto& entry) { return entry.path().filename().string().starts_with("quillmere-update-"); });
}

} // namespace

class Updates : public BrowserTest {
protected:
    // Opens the settings window, its update address taken from the user default.
    SettingsWindow& openSettings(const std::string& base)
    {
        UserDefaults::standard().setString(Updater::kUpdateURLKey, base + "/");
        launch();
        delegate().openSettings();
        return *delegate().settingsWindow();
    }

    // Runs a check and answers the status it ends with.
    static std::string check(SettingsWindow& settings)
    {
        settings.checkForUpdates();
        EXPECT_EQ(settings.updateStatus().get_text(), "Checking...");
        EXPECT_FALSE(settings.updateButton().get_sensitive());
        runUntil([&] { return settings.updateButton().get_sensitive(); }, 30000);
        return settings.updateStatus().get_text();
    }

    // Runs an install and answers every status it shows, until the button is enabled again
    // or `done` holds.
    static std::vector<std::string> install(
        SettingsWindow& settings, bool byClick = false, const std::function<bool()>& done = [] { return false; })
    {
        std::vector<std::string> shown;
        auto connection = settings.updateStatus().property_label().signal_changed().connect(
            [&] { shown.push_back(settings.updateStatus().get_text()); });
        byClick ? click(settings.updateButton()) : settings.installUpdate();
        runUntil([&] { return !shown.empty() && (settings.updateButton().get_sensitive() || done()); }, 60000);
        connection.disconnect();
        EXPECT_EQ(shown.empty() ? "" : shown.front(), "Downloading update...");
        return shown.empty() ? std::vector<std::string> {"<nothing shown>"} : shown;
    }

    void offer(const std::string& document, const std::string& archive)
    {
        server.route("/version.json", Response {200, "application/json", document});
        server.route("/latest.zip", Response {200, "application/zip", archive});
    }
};

TEST_F(Updates, TheCheckBelievesOnlyASignedDocumentFromAPlain200AnswerWithinItsCap)
{
    SettingsWindow& settings = openSettings(server.url(""));
    EXPECT_EQ(Updater::configuredBase(), server.url("")) << "the user default, without its last slash";
    EXPECT_EQ(settings.updateStatus().get_text(), "Build 2");
    const std::string archive = zipOf(bundleEntries("#!/bin/sh\n", {}));
    const std::string good = signedRelease(3, "1.3", "Fixes", archive);
    std::array<std::uint8_t, 32> otherPublic;
    std::array<std::uint8_t, 64> otherKey;
    crypto_sign_keypair(otherPublic.data(), otherKey.data());
    auto withNotes = [&](std::string document, const std::string& notes) {
        return document.replace(document.find("Fixes"), 5, notes);
    };
    const std::string failed = "Update check failed: ", latest = "You're on the latest version (build 2).";
    const std::tuple<const char*, Response, std::string> cases[] = {
        {"no signature", {200, "application/json", R"({"build": 3, "version": "1.3", "notes": "Fixes"})"},
            failed + "version.json is not signed"},
        {"another key", {200, "application/json", signedRelease(3, "1.3", "Fixes", archive, otherKey)},
            failed + "version.json does not carry a valid release signature"},
        {"notes changed after signing", {200, "application/json", withNotes(good, "Install me")},
            failed + "version.json does not carry a valid release signature"},
        {"a replayed older release", {200, "application/json", signedRelease(2, "1.2", "", archive)}, latest},
        {"a release from long ago", {200, "application/json", signedRelease(-5, "0.1", "", archive)}, latest},
        {"not found", {404, "text/html", "<html>Not here</html>"}, failed + "The update host answered 404 Not Found"},
        {"a server error with a good body", {500, "application/json", good},
            failed + "The update host answered 500 Internal Server Error"},
        {"a redirect to http", {302, "text/plain", "", {{"Location", server.url("/elsewhere.json")}}},
            failed + "Refused a redirect to " + server.url("/elsewhere.json") + ": only https is followed"},
        {"a document past 64 KiB", {200, "application/json", withNotes(good, std::string(65 * 1024, 'x'))},
            failed + "version.json is larger than 64 KiB"},
        {"a bad document", {200, "application/json", R"({"build": "3", "version": "1.3"})"},
            failed + "Bad version.json"},
    };
    for (const auto& [what, response, shown] : cases) {
        server.route("/version.json", response);
        EXPECT_EQ(check(settings), shown) << what;
        EXPECT_EQ(settings.updateButton().get_label(), "Check for Updates") << what;
    }
    EXPECT_FALSE(server.sawPath("/elsewhere.json"));

    // A redirect to https is followed: to a closed port, so the connection is what fails.
    const int closedPort = TestServer().port();
    server.route("/version.json",
        Response {301, "text/plain", "", {{"Location", "https://127.0.0.1:" + std::to_string(closedPort) + "/"}}});
    const std::string followed = check(settings);
    EXPECT_TRUE(followed.starts_with(failed) && followed.find("Refused") == std::string::npos
        && followed.size() > failed.size())
        << followed;
    // A body that announces no length is capped as it arrives; a closed port gives the transport's own words.
    RawServer endless({{"/version.json",
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
            + withNotes(good, std::string(70 * 1024, 'x'))}});
    settings.setUpdateBase(endless.url());
    EXPECT_EQ(check(settings), failed + "version.json is larger than 64 KiB");
    settings.setUpdateBase("http://127.0.0.1:" + std::to_string(closedPort));
    const std::string closed = check(settings);
    EXPECT_TRUE(closed.starts_with(failed) && closed.size() > failed.size()) << closed;

    // A build rolled back here is not offered again; a newer one is.
    settings.setUpdateBase(server.url(""));
    UserDefaults::standard().setString(Updater::kRolledBackBuildKey, "3");
    server.route("/version.json", Response {200, "application/json", good});
    EXPECT_EQ(check(settings), failed + "Build 3 did not start here and was rolled back; waiting for a newer build");
    server.route("/version.json", Response {200, "application/json", signedRelease(4, "1.4", "Fixes", archive)});
    EXPECT_EQ(check(settings), "Version 1.4 available: Fixes");
    EXPECT_EQ(settings.updateButton().get_label(), "Download & Install");
}

TEST_F(Updates, AnInstallRefusesWhatTheSignatureDoesNotCoverAndWhatDoesNotBelongInABundle)
{
    SettingsWindow& settings = openSettings(server.url(""));
    // Not a self-contained install (the test's own bundle is not named quillmere): nothing is fetched.
    const std::string archive = zipOf(bundleEntries("#!/bin/sh\nexit 0\n", {{"share/quillmere/new", "new"}}));
    server.route("/version.json", Response {200, "application/json", signedRelease(3, "1.3", "", archive)});
    ASSERT_EQ(check(settings), "Version 1.3 available: ");
    EXPECT_EQ(install(settings).back(),
        "Update failed: This copy of Quillmere is not a self-contained install; update it the way it was installed.");
    EXPECT_FALSE(
        Updater::isReplaceableBundle("/usr/lib/quillmere") || Updater::isReplaceableBundle(QUILLMERE_BUILD_DIR));
    EXPECT_FALSE(server.sawPath("/latest.zip"));

    const fs::path bundle =
        installBundle(bundleEntries("#!/bin/sh\necho previous\n", {{"share/quillmere/old", "old"}}));
    setBundleDirectory(bundle);
    auto plus = [](std::vector<ArchiveEntry> extra) { return zipOf(bundleEntries("#!/bin/sh\nexit 0\n", {}, extra)); };
    const std::string digestMismatch = "The download does not match the signed digest";
    // Which entries the unpacker refuses is its own test's; here only that a refusal stops the install.
    const std::tuple<const char*, std::string, std::string, std::string> cases[] = {
        // what, the archive the document is signed over, the raw answer for latest.zip (empty: that archive), failure
        {"a tampered archive", archive, RawServer::ok(std::string(archive).replace(archive.find("new"), 3, "bad")),
            digestMismatch},
        {"a good signature over another digest", zipOf(bundleEntries("other")), RawServer::ok(archive), digestMismatch},
        {"half of the archive", archive, RawServer::ok(archive.substr(0, archive.size() / 2)), digestMismatch},
        {"a connection that ends early", archive,
            "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + archive.substr(0, 1000), ""},
        {"an announced size past 256 MiB", archive, "HTTP/1.1 200 OK\r\nContent-Length: 300000000\r\n\r\n" + archive,
            "latest.zip is larger than 256 MiB"},
        {"not found", archive, RawServer::answer("404 Not Found", "<html>Not here</html>"),
            "The update host answered 404 Not Found"},
        {"a server error", archive, RawServer::answer("500 Internal Server Error", archive),
            "The update host answered 500 Internal Server Error"},
        {"an archive past 1 GiB unpacked",
            withRecordedSize(plus({{"quillmere/big", "x"}}), "quillmere/big", 0xfffffff0u), "",
            "The update archive unpacks to more than 1024 MiB"},
        {"an entry that climbs out", plus({{"quillmere/../../escaped", "x"}}), "",
            "The update archive reaches outside its folder: quillmere/../../escaped"},
    };
    const auto before = snapshot(bundle.parent_path());
    for (const auto& [what, signedFor, zipAnswer, failure] : cases) {
        SCOPED_TRACE(what);
        RawServer raw({{"/version.json", RawServer::ok(signedRelease(3, "1.3", "", signedFor))},
            {"/latest.zip", zipAnswer.empty() ? RawServer::ok(signedFor) : zipAnswer}});
        settings.setUpdateBase(raw.url());
        ASSERT_EQ(check(settings), "Version 1.3 available: ");
        const auto shown = install(settings);
        EXPECT_TRUE(shown.back().starts_with("Update failed: " + failure) && shown.back().size() > 15) << shown.back();
        // Nothing changed, nothing is left behind, and no copy was started.
        EXPECT_EQ(snapshot(bundle.parent_path()), before);
        EXPECT_FALSE(anyDownloadLeft());
        EXPECT_TRUE(processesFrom(bundle).empty());
        EXPECT_FALSE(fs::exists(bundle.parent_path().parent_path() / "escaped"));
    }
}

TEST_F(Updates, ASignedReleaseReplacesTheWholeBundleAndHandsOverToTheNewCopyOnceItIsUp)
{
    UserDefaults::standard().setString(kHomepageKey, server.url("/home"));
    server.page("/home", "<title>Home</title>");
    SettingsWindow& settings = openSettings(server.url(""));
    // This process runs from a bundle installed the way users install one.
    const auto [installed, copy] = installBuildAndCopy(QUILLMERE_BUILD_DIR);
    const fs::path bundle = installed, packing = fs::path(copy).parent_path();
    setBundleDirectory(bundle);
    std::ofstream(bundle / "share/quillmere/only-in-build-2") << "old";
    // The new build: the same program with a marker, with modes an archive must not carry over, packed and signed by
    // the release tool with the tests' key.
    std::ofstream(packing / "quillmere/share/quillmere/marker") << "build 3";
    fs::permissions(packing / "quillmere/share/quillmere/marker", fs::perms(04777));
    fs::permissions(packing / "quillmere/bin/quillmere", fs::perms(06777));
    std::array<char, 64> seed;
    sodium_bin2base64(seed.data(), seed.size(), testReleaseSeed().data(), 32, sodium_base64_VARIANT_ORIGINAL);
    std::ofstream(packing / "secret") << seed.data() << "\n";
    const std::string tool = QUILLMERE_RELEASE_TOOL, in = " " + packing.string() + "/";
    ASSERT_EQ(std::system((tool + " pack" + in + "quillmere" + in + "latest.zip && " + tool + " sign" + in
                  + "secret 3 1.3 'Signed by the tests'" + in + "latest.zip" + in + "version.json")
                              .c_str()),
        0);
    offer(readFile(packing / "version.json"), readFile(packing / "latest.zip"));
    ASSERT_EQ(check(settings), "Version 1.3 available: Signed by the tests");

    const std::string started = "Update: build 3 started, the previous copy is removed";
    EXPECT_EQ(install(settings, true, [&] { return logged(started); }),
        (std::vector<std::string> {"Downloading update...", "Installing update...", "Relaunching..."}));
    EXPECT_TRUE(logged(started));
    // The new copy is up (its window, then its homepage) and runs from the bundle.
    EXPECT_TRUE(runUntil([&] { return server.sawPath("/home"); }, 20000));
    const auto running = processesFrom(bundle);
    EXPECT_FALSE(running.empty());
    std::ranges::for_each(running, [](int pid) { kill(pid, SIGTERM); });

    // The whole bundle is the new build's, with modes of the updater's choosing, and nothing else is left.
    const auto files = snapshot(bundle);
    EXPECT_EQ(files.at("share/quillmere/marker"), "100644:" + sha256Of("build 3"));
    EXPECT_FALSE(files.contains("share/quillmere/only-in-build-2"));
    EXPECT_EQ(files.at("bin/quillmere").substr(0, 7), "100755:");
    EXPECT_EQ(files.at("share/quillmere"), "40755:");
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), {}), 1);
    EXPECT_FALSE(anyDownloadLeft());
}

TEST_F(Updates, ANewCopyThatDoesNotComeUpIsRolledBackAndItsBuildIsNotOfferedAgain)
{
    SettingsWindow& settings = openSettings(server.url(""));
    const fs::path bundle =
        installBundle(bundleEntries("#!/bin/sh\necho previous\n", {{"share/quillmere/old", "old"}}));
    setBundleDirectory(bundle);
    const auto before = snapshot(bundle.parent_path());
    // One copy ends at once; one hangs without a word and is given 2 s instead of 30.
    g_setenv(kRelaunchTimeoutVariable, "2000", TRUE);
    const std::string pidFile = std::string(g_get_tmp_dir()) + "/hanging.pid";
    const std::pair<int, std::string> copies[] = {
        {3, "#!/bin/sh\nexit 3\n"}, {4, "#!/bin/sh\necho $$ > " + pidFile + "\nexec sleep 60\n"}};
    for (const auto& [build, launcher] : copies) {
        SCOPED_TRACE(build);
        const std::string archive = zipOf(bundleEntries(launcher, {{"share/quillmere/new", "new"}}));
        offer(signedRelease(build, "1." + std::to_string(build), "", archive), archive);
        ASSERT_TRUE(check(settings).starts_with("Version 1."));
        EXPECT_EQ(install(settings),
            (std::vector<std::string> {"Downloading update...", "Installing update...", "Relaunching...",
                "Update failed: the new version did not start; the previous version was restored"}));
        EXPECT_EQ(snapshot(bundle.parent_path()), before);
        EXPECT_TRUE(processesFrom(bundle).empty());
        EXPECT_EQ(check(settings),
            "Update check failed: Build " + std::to_string(build)
                + " did not start here and was rolled back; waiting for a newer build");
    }
    // The hanging copy was stopped, and the application's bus name is ours again.
    EXPECT_TRUE(runUntil([&] { return kill(atoi(readFile(pidFile).c_str()), 0) != 0; }, 5000));
    GDBusConnection* bus = g_application_get_dbus_connection(G_APPLICATION(application()->gobj()));
    auto owner = [&] {
        g_autoptr(GVariant) reply = g_dbus_connection_call_sync(bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
            "org.freedesktop.DBus", "GetNameOwner", g_variant_new("(s)", kApplicationId), G_VARIANT_TYPE("(s)"),
            G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
        const char* name = nullptr;
        if (reply)
            g_variant_get(reply, "(&s)", &name);
        return std::string(name ? name : "");
    };
    EXPECT_TRUE(runUntil([&] { return owner() == g_dbus_connection_get_unique_name(bus); }, 5000));
}
