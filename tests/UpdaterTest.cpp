#include "support/Browser.h"
#include "support/Input.h"

#include "platform/Bundle.h"
#include "platform/GObjectPtr.h"
#include "settings/SettingsWindow.h"
#include "update/Updater.h"

#include <glibmm/checksum.h>

#include <filesystem>
#include <fstream>

using namespace quillmere;
using namespace quillmere::test;
namespace fs = std::filesystem;

static std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

static bool run(const std::string& command)
{
    return std::system(command.c_str()) == 0;
}

// Every entry under `root`, files with their contents' checksum.
static std::map<std::string, std::string> snapshot(const fs::path& root)
{
    std::map<std::string, std::string> entries;
    for (const auto& entry : fs::recursive_directory_iterator(root))
        entries[fs::relative(entry, root)] = entry.is_regular_file()
            ? Glib::Checksum::compute_checksum(Glib::Checksum::Type::SHA256, readAll(entry))
            : "";
    return entries;
}

// Runs a check, or with `install` an install, and answers every status it shows; the first is always
// "Checking..." or "Downloading update...", with the button disabled until the answer.
static std::vector<std::string> statuses(SettingsWindow& settings, bool install)
{
    std::vector<std::string> shown;
    auto connection = settings.updateStatus().property_label().signal_changed().connect(
        [&] { shown.push_back(settings.updateStatus().get_text()); });
    install ? click(settings.updateButton()) : settings.checkForUpdates();
    EXPECT_TRUE(shown.size() > 1 || !settings.updateButton().get_sensitive());
    runUntil(
        [&] { return !shown.empty() && (settings.updateButton().get_sensitive() || shown.back() == "Relaunching..."); },
        60000);
    connection.disconnect();
    EXPECT_EQ(shown.empty() ? "" : shown.front(), install ? "Downloading update..." : "Checking...");
    return shown.empty() ? std::vector<std::string> {"<nothing shown>"} : shown;
}

// A zip made by the zip tool of files named `names`, one folder down so that "../x" stays in scratch space.
static std::string zipOf(const std::string& names)
{
    const std::string dir = GCharPtr(g_dir_make_tmp("quillmere-zip-XXXXXX", nullptr)).get();
    EXPECT_TRUE(run("mkdir " + dir + "/in && cd " + dir + "/in && for f in " + names
        + "; do mkdir -p $(dirname $f) && echo x > $f; done && zip -q ../a.zip " + names));
    return readAll(dir + "/a.zip");
}

class Updates : public BrowserTest { };

TEST_F(Updates, TheCheckReportsEachAnswerAndOnlyASelfContainedInstallIsReplacedByAGoodArchive)
{
    launch();
    delegate().openSettings();
    SettingsWindow& settings = *delegate().settingsWindow();
    settings.setUpdateBase(server.url(""));
    EXPECT_EQ(settings.homepageField().get_text().raw(), "https://duckduckgo.com") << "nothing stored";
    EXPECT_EQ(settings.updateStatus().get_text().raw() + "|" + settings.clearDataStatus().get_text().raw(), "Build 2|");
    EXPECT_TRUE(settings.adBlockCheckbox().get_active());
    const std::string latest = "You're on the latest version (build 2).", bad = "Update check failed: Bad version.json";
    const std::tuple<int, std::string, std::string> cases[] = {// the HTTP status is not looked at
        {500, R"({"build": 2.0, "version": "1.2"})", latest},
        {200, R"({"build": -9223372036854775808, "version": "", "notes": 7})", latest},
        {404, "<html>Not here</html>", bad}, {200, R"({"build": "3", "version": "1.3"})", bad},
        {200, R"({"build": 3.5, "version": "1"})", bad}, {200, R"({"build": 1e30, "version": "1"})", bad},
        {200, R"({"build": 9223372036854775808, "version": "x"})", bad}, {200, R"({"build": 3, "version": 13})", bad}};
    for (const auto& [status, body, shown] : cases) {
        server.route("/version.json", Response {status, "application/json", body, {}});
        EXPECT_EQ(statuses(settings, false).back(), shown) << body;
    }
    settings.setUpdateBase(TestServer().url("")); // a closed port: the transport's own message
    const std::string failed = statuses(settings, false).back();
    EXPECT_TRUE(failed.starts_with("Update check failed: ") && failed.size() > 21) << failed;
    // A newer build makes the button install from then on; missing notes leave nothing after the colon.
    settings.setUpdateBase(server.url(""));
    server.route(
        "/version.json", Response {200, "application/json", R"({"build": 9223372036854775807, "version": "0.1"})", {}});
    EXPECT_EQ(statuses(settings, false).back(), "Version 0.1 available: ");
    EXPECT_EQ(settings.updateButton().get_label(), "Download & Install");

    // The test's own bundle is not named quillmere: like a build tree or a system copy, it is refused.
    EXPECT_FALSE(
        Updater::isReplaceableBundle("/usr/lib/quillmere") || Updater::isReplaceableBundle(QUILLMERE_BUILD_DIR));
    EXPECT_EQ(statuses(settings, true).back(),
        "Update failed: This copy of Quillmere is not a self-contained install; update it the way it was installed.");
    EXPECT_FALSE(server.sawPath("/latest.zip"));

    // A bundle installed the way users install one, without its rules (no compile keeps a core busy), and this process
    // running from it.
    const fs::path bundle = fs::path(makeTemporaryDirectory("quillmere-install-XXXXXX")) / "quillmere";
    ASSERT_TRUE(run("cmake --install " + std::string(QUILLMERE_BUILD_DIR) + " --prefix " + bundle.string()));
    fs::remove(bundle / "share/quillmere/quilblock_rules.json");
    setBundleDirectory(bundle.string());
    // The new build: the same install with a marker, packed like `update_archive` does.
    const fs::path packing = makeTemporaryDirectory("quillmere-pack-XXXXXX");
    ASSERT_TRUE(run("cp -a " + bundle.string() + " " + packing.string() + "/quillmere"));
    std::ofstream(packing / "quillmere/share/quillmere/marker") << "build 3";
    ASSERT_TRUE(run("cd " + packing.string() + " && zip -q -r -y latest.zip quillmere"));
    const std::string good = readAll(packing / "latest.zip");
    std::string absolute = zipOf("quillmere/bin/quillmere Xtmp/absolute"); // the zip tool drops a leading "/"
    for (size_t at; (at = absolute.find("Xtmp/absolute")) != std::string::npos;)
        absolute[at] = '/';
    const std::tuple<const char*, std::string, std::string> archives[] = {
        {"an error page", "<html><body>Not found</body></html>", "Unzip exited with status 9"},
        {"a truncated archive", good.substr(0, good.size() / 2), "Unzip exited with status "},
        {"the wrong top folder", zipOf("other/bin/quillmere"), "The update archive holds no quillmere/bin/quillmere"},
        {"an entry that climbs out", zipOf("../escaped quillmere/bin/quillmere"),
            "The update archive reaches outside its folder: ../escaped"},
        {"an absolute entry", absolute, "The update archive reaches outside its folder: /tmp/absolute"}};
    const auto before = snapshot(bundle.parent_path());
    for (const auto& [what, answer, failure] : archives) {
        SCOPED_TRACE(what);
        server.route("/latest.zip", Response {answer.starts_with("<html>") ? 404 : 200, "application/zip", answer, {}});
        const auto shown = statuses(settings, true);
        EXPECT_TRUE(shown.back().starts_with("Update failed: " + failure)) << shown.back();
        // Nothing changed and nothing is left behind: no unpacked copy beside the bundle, no downloaded archive.
        EXPECT_EQ(snapshot(bundle.parent_path()), before);
        EXPECT_FALSE(std::ranges::any_of(fs::directory_iterator(g_get_tmp_dir()),
            [](const auto& entry) { return entry.path().filename().string().starts_with("quillmere-update-"); }));
    }

    server.route("/latest.zip", Response {200, "application/zip", good, {}});
    EXPECT_EQ(statuses(settings, true),
        (std::vector<std::string> {"Downloading update...", "Installing update...", "Relaunching..."}));
    EXPECT_EQ(readAll(bundle / "share/quillmere/marker"), "build 3");
    // The new copy starts (and becomes the running instance, since we gave up the name).
    std::vector<int> started;
    EXPECT_TRUE(runUntil(
        [&] {
            for (const auto& entry : fs::directory_iterator("/proc"))
                if (std::error_code error; fs::read_symlink(entry.path() / "exe", error) == bundle / "bin/quillmere")
                    started.push_back(atoi(entry.path().filename().c_str()));
            return !started.empty();
        },
        10000));
    std::ranges::for_each(started, [](int pid) { kill(pid, SIGTERM); });
}
