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
// for answers that lie about their length or announce none.
class RawServer {
public:
    RawServer()
        : service_(adopt(g_socket_service_new()))
    {
        auto address = adopt(g_inet_socket_address_new_from_string("127.0.0.1", 0));
        GSocketAddress* bound = nullptr;
        g_socket_listener_add_address(G_SOCKET_LISTENER(service_.get()), address.get(), G_SOCKET_TYPE_STREAM,
            G_SOCKET_PROTOCOL_TCP, nullptr, &bound, nullptr);
        port_ = g_inet_socket_address_get_port(G_INET_SOCKET_ADDRESS(adopt(bound).get()));
        g_signal_connect(service_.get(), "incoming", G_CALLBACK(&RawServer::incoming), this);
    }
    ~RawServer() { g_socket_service_stop(service_.get()); }

    std::string url() const { return "http://127.0.0.1:" + std::to_string(port_); }
    void answer(const std::string& path, std::string raw) { answers_[path] = std::move(raw); }
    // A complete 200 answer.
    void serve(const std::string& path, const std::string& body)
    {
        answer(path, "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body);
    }

private:
    struct Connection {
        RawServer* server;
        GObjectPtr<GSocketConnection> socket;
        std::string request;
        std::string answer;
        char buffer[4096];
    };

    static gboolean incoming(GSocketService*, GSocketConnection* socket, GObject*, gpointer data)
    {
        readRequest(new Connection {static_cast<RawServer*>(data), retain(socket), "", "", {}});
        return TRUE;
    }

    // The answer goes out once the request is in, so that the client sees no reset.
    static void readRequest(Connection* connection)
    {
        g_input_stream_read_async(
            g_io_stream_get_input_stream(G_IO_STREAM(connection->socket.get())), connection->buffer,
            sizeof connection->buffer, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* stream, GAsyncResult* result, gpointer data) {
                auto* connection = static_cast<Connection*>(data);
                const gssize count = g_input_stream_read_finish(G_INPUT_STREAM(stream), result, nullptr);
                if (count > 0)
                    connection->request.append(connection->buffer, count);
                if (count > 0 && connection->request.find("\r\n\r\n") == std::string::npos) {
                    readRequest(connection);
                    return;
                }
                // "GET /path HTTP/1.1"
                const size_t start = connection->request.find(' ') + 1;
                const std::string path =
                    connection->request.substr(start, connection->request.find(' ', start) - start);
                const auto found = connection->server->answers_.find(path);
                connection->answer = found != connection->server->answers_.end()
                    ? found->second
                    : "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n";
                g_output_stream_write_all_async(
                    g_io_stream_get_output_stream(G_IO_STREAM(connection->socket.get())), connection->answer.data(),
                    connection->answer.size(), G_PRIORITY_DEFAULT, nullptr,
                    [](GObject*, GAsyncResult*, gpointer data) {
                        std::unique_ptr<Connection> connection(static_cast<Connection*>(data));
                        g_io_stream_close(G_IO_STREAM(connection->socket.get()), nullptr, nullptr);
                    },
                    connection);
            },
            connection);
    }

    std::map<std::string, std::string> answers_;
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
        {"no signature", {200, "application/json", R"({"build": 3, "version": "1.3", "notes": "Fixes"})", {}},
            failed + "version.json is not signed"},
        {"another key", {200, "application/json", signedRelease(3, "1.3", "Fixes", archive, otherKey), {}},
            failed + "version.json does not carry a valid release signature"},
        {"notes changed after signing", {200, "application/json", withNotes(good, "Install me"), {}},
            failed + "version.json does not carry a valid release signature"},
        {"a replayed older release", {200, "application/json", signedRelease(2, "1.2", "", archive), {}}, latest},
        {"a release from long ago", {200, "application/json", signedRelease(-5, "0.1", "", archive), {}}, latest},
        {"not found", {404, "text/html", "<html>Not here</html>", {}},
            failed + "The update host answered 404 Not Found"},
        {"a server error with a good body", {500, "application/json", good, {}},
            failed + "The update host answered 500 Internal Server Error"},
        {"a redirect to http", {302, "text/plain", "", {{"Location", server.url("/elsewhere.json")}}},
            failed + "Refused a redirect to " + server.url("/elsewhere.json") + ": only https is followed"},
        {"a document past 64 KiB", {200, "application/json", withNotes(good, std::string(65 * 1024, 'x')), {}},
            failed + "version.json is larger than 64 KiB"},
        {"a bad document", {200, "application/json", R"({"build": "3", "version": "1.3"})", {}},
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
    RawServer endless;
    endless.answer("/version.json",
        "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nConnection: close\r\n\r\n"
            + withNotes(good, std::string(70 * 1024, 'x')));
    settings.setUpdateBase(endless.url());
    EXPECT_EQ(check(settings), failed + "version.json is larger than 64 KiB");
    settings.setUpdateBase("http://127.0.0.1:" + std::to_string(closedPort));
    const std::string closed = check(settings);
    EXPECT_TRUE(closed.starts_with(failed) && closed.size() > failed.size()) << closed;

    // A build rolled back here is not offered again; a newer one is.
    settings.setUpdateBase(server.url(""));
    UserDefaults::standard().setString(Updater::kRolledBackBuildKey, "3");
    server.route("/version.json", Response {200, "application/json", good, {}});
    EXPECT_EQ(check(settings), failed + "Build 3 did not start here and was rolled back; waiting for a newer build");
    server.route("/version.json", Response {200, "application/json", signedRelease(4, "1.4", "Fixes", archive), {}});
    EXPECT_EQ(check(settings), "Version 1.4 available: Fixes");
    EXPECT_EQ(settings.updateButton().get_label(), "Download & Install");
}

TEST_F(Updates, AnInstallRefusesWhatTheSignatureDoesNotCoverAndWhatDoesNotBelongInABundle)
{
    SettingsWindow& settings = openSettings(server.url(""));
    // Not a self-contained install (the test's own bundle is not named quillmere): nothing is fetched.
    const std::string archive = zipOf(bundleEntries("#!/bin/sh\nexit 0\n", {{"share/quillmere/new", "new"}}));
    server.route("/version.json", Response {200, "application/json", signedRelease(3, "1.3", "", archive), {}});
    ASSERT_EQ(check(settings), "Version 1.3 available: ");
    EXPECT_EQ(install(settings).back(),
        "Update failed: This copy of Quillmere is not a self-contained install; update it the way it was installed.");
    EXPECT_FALSE(
        Updater::isReplaceableBundle("/usr/lib/quillmere") || Updater::isReplaceableBundle(QUILLMERE_BUILD_DIR));
    EXPECT_FALSE(server.sawPath("/latest.zip"));

    const fs::path bundle =
        fs::path(installBundle(bundleEntries("#!/bin/sh\necho previous\n", {{"share/quillmere/old", "old"}})));
    setBundleDirectory(bundle);
    auto entries = [](std::vector<ArchiveEntry> extra) {
        auto all = bundleEntries("#!/bin/sh\nexit 0\n", {});
        all.insert(all.end(), extra.begin(), extra.end());
        return zipOf(all);
    };
    const std::string tampered = std::string(archive).replace(archive.find("new"), 3, "bad");
    const std::string digestMismatch = "The download does not match the signed digest";
    struct Case {
        const char* what;
        std::string signedFor; // the archive the document is signed over
        Response answer; // for latest.zip; an empty 200 serves `signedFor`
        std::string failure;
        std::string raw; // served for latest.zip by a raw server instead
    };
    auto served = [](std::string bytes) { return Response {200, "application/zip", std::move(bytes), {}}; };
    const Case cases[] = {
        {"a tampered archive", archive, served(tampered), digestMismatch, ""},
        {"a good signature over another digest", zipOf(bundleEntries("other", {})), served(archive), digestMismatch,
            ""},
        {"half of the archive", archive, served(archive.substr(0, archive.size() / 2)), digestMismatch, ""},
        {"a connection that ends early", archive, {}, "",
            "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n" + archive.substr(0, 1000)},
        {"an announced size past 256 MiB", archive, {}, "latest.zip is larger than 256 MiB",
            "HTTP/1.1 200 OK\r\nContent-Length: 300000000\r\n\r\n" + archive},
        {"not found", archive, {404, "text/html", "<html>Not here</html>", {}},
            "The update host answered 404 Not Found", ""},
        {"a server error", archive, {500, "application/zip", archive, {}},
            "The update host answered 500 Internal Server Error", ""},
        {"an archive past 1 GiB unpacked",
            withRecordedSize(entries({{"quillmere/big", "x"}}), "quillmere/big", 0xfffffff0u), {},
            "The update archive unpacks to more than 1024 MiB", ""},
        {"a symbolic link", entries({{"quillmere/share/link", "", AE_IFLNK | 0777, "/etc/passwd"}}), {},
            "The update archive holds a link: quillmere/share/link", ""},
        {"an entry that climbs out", entries({{"quillmere/../../escaped", "x"}}), {},
            "The update archive reaches outside its folder: quillmere/../../escaped", ""},
        {"an absolute entry", entries({{"/tmp/absolute", "x"}}), {},
            "The update archive reaches outside its folder: /tmp/absolute", ""},
        {"the wrong top folder", zipOf({{"other/bin/quillmere", "x"}}), {},
            "The update archive holds an entry outside quillmere/: other/bin/quillmere", ""},
    };
    const auto before = snapshot(bundle.parent_path());
    for (const auto& item : cases) {
        SCOPED_TRACE(item.what);
        const std::string document = signedRelease(3, "1.3", "", item.signedFor);
        RawServer raw;
        raw.serve("/version.json", document);
        raw.answer("/latest.zip", item.raw);
        server.route("/version.json", Response {200, "application/json", document, {}});
        server.route("/latest.zip",
            item.answer.body.empty() && item.answer.status == 200 ? served(item.signedFor) : item.answer);
        settings.setUpdateBase(item.raw.empty() ? server.url("") : raw.url());
        ASSERT_EQ(check(settings), "Version 1.3 available: ");
        const auto shown = install(settings);
        EXPECT_TRUE(shown.back().starts_with("Update failed: " + item.failure) && shown.back().size() > 15)
            << shown.back();
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
    // A bundle installed the way users install one, without its rules (no compile keeps a core busy), and this
    // process running from it.
    const fs::path bundle = fs::path(makeTemporaryDirectory("quillmere-install-XXXXXX")) / "quillmere";
    ASSERT_EQ(
        std::system(("cmake --install " QUILLMERE_BUILD_DIR " --prefix " + bundle.string() + " >/dev/null").c_str()),
        0);
    fs::remove(bundle / "share/quillmere/quilblock_rules.json");
    std::ofstream(bundle / "share/quillmere/only-in-build-2") << "old";
    setBundleDirectory(bundle);

    // The new build: the same program with a marker, with modes an archive must not carry over, packed and signed by
    // the release tool with the tests' key.
    const fs::path packing = makeTemporaryDirectory("quillmere-pack-XXXXXX");
    ASSERT_EQ(std::system(("cp -a " + bundle.string() + " " + packing.string() + "/quillmere").c_str()), 0);
    fs::remove(packing / "quillmere/share/quillmere/only-in-build-2");
    std::ofstream(packing / "quillmere/share/quillmere/marker") << "build 3";
    fs::permissions(packing / "quillmere/share/quillmere/marker", fs::perms(04777));
    fs::permissions(packing / "quillmere/bin/quillmere", fs::perms(06777));
    std::array<char, 64> seed;
    sodium_bin2base64(seed.data(), seed.size(), testReleaseSeed().data(), 32, sodium_base64_VARIANT_ORIGINAL);
    std::ofstream(packing / "secret") << seed.data() << "\n";
    const std::string tool = QUILLMERE_RELEASE_TOOL, in = " " + packing.string() + "/";
    ASSERT_EQ(std::system((tool + " pack" + in + "quillmere" + in + "latest.zip").c_str()), 0);
    ASSERT_EQ(std::system(
                  (tool + " sign" + in + "secret 3 1.3 'Signed by the tests'" + in + "latest.zip" + in + "version.json")
                      .c_str()),
        0);
    server.route("/version.json", Response {200, "application/json", readFile(packing / "version.json"), {}});
    server.route("/latest.zip", Response {200, "application/zip", readFile(packing / "latest.zip"), {}});
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
    EXPECT_EQ(readFile(bundle / "share/quillmere/marker"), "build 3");
    EXPECT_FALSE(fs::exists(bundle / "share/quillmere/only-in-build-2"));
    EXPECT_EQ(snapshot(bundle).at("share/quillmere/marker").substr(0, 7), "100644:");
    EXPECT_EQ(snapshot(bundle).at("bin/quillmere").substr(0, 7), "100755:");
    EXPECT_EQ(snapshot(bundle).at("share/quillmere").substr(0, 6), "40755:");
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), {}), 1);
    EXPECT_FALSE(anyDownloadLeft());
}

TEST_F(Updates, ANewCopyThatDoesNotComeUpIsRolledBackAndItsBuildIsNotOfferedAgain)
{
    SettingsWindow& settings = openSettings(server.url(""));
    const fs::path bundle =
        fs::path(installBundle(bundleEntries("#!/bin/sh\necho previous\n", {{"share/quillmere/old", "old"}})));
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
        const std::string document = signedRelease(build, "1." + std::to_string(build), "", archive);
        server.route("/version.json", Response {200, "application/json", document, {}});
        server.route("/latest.zip", Response {200, "application/zip", archive, {}});
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
