#include "support/Browser.h"
#include "support/Input.h"
#include "support/Program.h"

#include "platform/Bundle.h"
#include "settings/SettingsWindow.h"
#include "update/Updater.h"

#include <glib/gstdio.h>

#include <filesystem>
#include <fstream>
#include <map>

using namespace quillmere;
using namespace quillmere::test;
namespace fs = std::filesystem;

TEST(VersionDocument, OnlyWellFormedDocumentsAreRead)
{
    auto build = [](const char* body) -> std::int64_t {
        auto document = Updater::parseVersionDocument(body);
        return document ? document->build : -999;
    };
    EXPECT_EQ(build(R"({"build": 3, "version": "1.3", "notes": "Fixes"})"), 3);
    EXPECT_EQ(build(R"({"build": 3.0, "version": "1.3"})"), 3);
    EXPECT_EQ(build(R"({"build": -5, "version": "x"})"), -5);
    EXPECT_EQ(build(R"({"build": 9223372036854775807, "version": "x"})"), INT64_MAX);
    EXPECT_EQ(build(R"({"build": -9223372036854775808, "version": "x"})"), INT64_MIN);
    for (const char* bad : {R"({"build": "3", "version": "1.3"})", R"({"build": 3.5, "version": "1.3"})",
                            R"({"build": 1e30, "version": "1.3"})", R"({"build": 9223372036854775808, "version": "x"})",
                            R"({"build": true, "version": "1.3"})", R"({"build": 3})", R"({"build": 3, "version": 13})",
                            R"({"version": "1.3"})", "[3]", "{}", "", "not json", "3", R"("build")"})
        EXPECT_EQ(build(bad), -999) << bad;
    EXPECT_EQ(Updater::parseVersionDocument(R"({"build": 3, "version": "1.3"})")->notes, "");
    EXPECT_EQ(Updater::parseVersionDocument(R"({"build": 3, "version": "1.3", "notes": 7})")->notes, "");
    EXPECT_EQ(Updater::parseVersionDocument(R"({"build": 4, "version": "0.1", "extra": [1]})")->version, "0.1");
}

namespace {

// Writes a zip archive of stored (uncompressed) entries, names taken as given, so that
// a test can make archives no zip tool would (entries that climb out with "../").
std::string makeZip(const std::vector<std::pair<std::string, std::string>>& entries)
{
    auto crc32 = [](const std::string& data) {
        uint32_t crc = 0xFFFFFFFFu;
        for (unsigned char byte : data) {
            crc ^= byte;
            for (int bit = 0; bit < 8; ++bit)
                crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
        }
        return ~crc;
    };
    auto u16 = [](std::string& out, uint16_t v) { out += char(v & 0xFF); out += char(v >> 8); };
    auto u32 = [&](std::string& out, uint32_t v) { u16(out, uint16_t(v & 0xFFFF)); u16(out, uint16_t(v >> 16)); };
    std::string archive, directory;
    for (const auto& [name, data] : entries) {
        const uint32_t offset = static_cast<uint32_t>(archive.size());
        const uint32_t crc = crc32(data);
        u32(archive, 0x04034b50); u16(archive, 10); u16(archive, 0); u16(archive, 0); u16(archive, 0); u16(archive, 0);
        u32(archive, crc); u32(archive, uint32_t(data.size())); u32(archive, uint32_t(data.size()));
        u16(archive, uint16_t(name.size())); u16(archive, 0);
        archive += name + data;
        u32(directory, 0x02014b50); u16(directory, 0x031E); u16(directory, 10); u16(directory, 0); u16(directory, 0);
        u16(directory, 0); u16(directory, 0); u32(directory, crc); u32(directory, uint32_t(data.size()));
        u32(directory, uint32_t(data.size())); u16(directory, uint16_t(name.size())); u16(directory, 0); u16(directory, 0);
        u16(directory, 0); u16(directory, 0); u32(directory, 0100755u << 16); u32(directory, offset);
        directory += name;
    }
    const uint32_t start = static_cast<uint32_t>(archive.size());
    archive += directory;
    u32(archive, 0x06054b50); u16(archive, 0); u16(archive, 0); u16(archive, uint16_t(entries.size()));
    u16(archive, uint16_t(entries.size())); u32(archive, uint32_t(directory.size())); u32(archive, start); u16(archive, 0);
    return archive;
}

std::string readAll(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every file of a tree with its contents' checksum.
std::map<std::string, std::string> snapshot(const fs::path& root)
{
    std::map<std::string, std::string> files;
    for (const auto& entry : fs::recursive_directory_iterator(root)) {
        if (!entry.is_regular_file())
            continue;
        const std::string data = readAll(entry.path());
        char* sum = g_compute_checksum_for_data(G_CHECKSUM_SHA256, reinterpret_cast<const guchar*>(data.data()), data.size());
        files[fs::relative(entry.path(), root).string()] = sum;
        g_free(sum);
    }
    return files;
}

bool run(const std::string& command)
{
    int status = 0;
    return g_spawn_command_line_sync(command.c_str(), nullptr, nullptr, &status, nullptr) && g_spawn_check_wait_status(status, nullptr);
}

// The running processes whose executable is `path`.
std::vector<int> processesRunning(const fs::path& path)
{
    std::vector<int> pids;
    for (const auto& entry : fs::directory_iterator("/proc")) {
        const int pid = atoi(entry.path().filename().c_str());
        std::error_code error;
        if (pid > 0 && fs::read_symlink(entry.path() / "exe", error) == path)
            pids.push_back(pid);
    }
    return pids;
}

// Downloaded archives still in the temporary directory.
int leftoverArchives()
{
    int count = 0;
    for (const auto& entry : fs::directory_iterator(g_get_tmp_dir()))
        if (entry.path().filename().string().rfind("quillmere-update-", 0) == 0)
            ++count;
    return count;
}

class Updates : public BrowserTest {
protected:
    SettingsWindow& openSettings()
    {
        application()->activate_action("openSettings");
        SettingsWindow& settings = *delegate().settingsWindow();
        runUntil([&] { return settings.get_mapped(); });
        settings.setUpdateBase(server.url(""));
        return settings;
    }

    // Runs one check and answers the status text it ends with; "Checking..." shows
    // first, with the button disabled until the answer.
    std::string check(SettingsWindow& settings)
    {
        std::vector<std::string> shown;
        auto connection = settings.updateStatus().property_label().signal_changed().connect([&] {
            shown.push_back(settings.updateStatus().get_text());
        });
        settings.checkForUpdates();
        if (settings.updateStatus().get_text() == "Checking...") {
            EXPECT_FALSE(settings.updateButton().get_sensitive());
        }
        runUntil([&] { return settings.updateButton().get_sensitive(); });
        connection.disconnect();
        EXPECT_GE(shown.size(), 2u);
        EXPECT_EQ(shown.empty() ? "" : shown.front(), "Checking...");
        return settings.updateStatus().get_text();
    }

    // A bundle made the way users install one, and this process running from it.
    fs::path installBundle()
    {
        const fs::path bundle = fs::path(makeTemporaryDirectory("quillmere-install-XXXXXX")) / "quillmere";
        EXPECT_TRUE(run("cmake --install " + std::string(QUILLMERE_BUILD_DIR) + " --prefix " + bundle.string()));
        // Without its rules, so that the session's first compile does not find them in
        // the new bundle and keep a core busy for the rest of the test.
        fs::remove(bundle / "share/quillmere/quilblock_rules.json");
        setBundleDirectory(bundle.string());
        return bundle;
    }

    // Makes the settings window's button an install button, as a found update does.
    void findUpdate(SettingsWindow& settings)
    {
        server.route("/version.json", Response{200, "application/json", R"({"build": 3, "version": "1.3", "notes": "Fixes"})", {}});
        ASSERT_EQ(check(settings), "Version 1.3 available: Fixes");
    }

    std::vector<std::string> installAndCollectStatus(SettingsWindow& settings)
    {
        std::vector<std::string> statuses;
        auto connection = settings.updateStatus().property_label().signal_changed().connect([&] {
            statuses.push_back(settings.updateStatus().get_text());
        });
        click(settings.updateButton());
        runUntil([&] {
            return !statuses.empty() && (statuses.back() == "Relaunching..." || statuses.back().rfind("Update failed: ", 0) == 0);
        }, 60000);
        connection.disconnect();
        return statuses;
    }
};

} // namespace

TEST_F(Updates, TheCheckReportsEveryKindOfAnswer)
{
    launch();
    SettingsWindow& settings = openSettings();
    struct Case {
        int status;
        std::string body;
        std::string shown;
    };
    const Case cases[] = {
        {200, R"({"build": 2, "version": "1.2"})", "You're on the latest version (build 2)."},
        {200, R"({"build": -5, "version": "0"})", "You're on the latest version (build 2)."},
        {200, R"({"build": "3", "version": "1.3"})", "Update check failed: Bad version.json"},
        {200, R"({"build": 3})", "Update check failed: Bad version.json"},
        {200, R"({"build": 3.5, "version": "1.3"})", "Update check failed: Bad version.json"},
        {200, "[]", "Update check failed: Bad version.json"},
        {200, "{}", "Update check failed: Bad version.json"},
        {200, "", "Update check failed: Bad version.json"},
        {404, "<html>Not here</html>", "Update check failed: Bad version.json"},
        // The HTTP status is not looked at.
        {500, R"({"build": 1, "version": "1.1"})", "You're on the latest version (build 2)."},
    };
    for (const auto& c : cases) {
        server.route("/version.json", Response{c.status, "application/json", c.body, {}});
        EXPECT_EQ(check(settings), c.shown) << c.body;
        EXPECT_EQ(settings.updateButton().get_label(), "Check for Updates");
    }
    EXPECT_TRUE(logged("Update check: remote build -5, local build 2"));

    // A closed port: the transport's own message.
    std::string closed;
    {
        TestServer gone;
        closed = gone.url("");
    }
    settings.setUpdateBase(closed);
    const std::string failed = check(settings);
    EXPECT_EQ(failed.rfind("Update check failed: ", 0), 0u) << failed;
    EXPECT_GT(failed.size(), std::string("Update check failed: ").size());
    settings.setUpdateBase("http://bad host");
    EXPECT_EQ(check(settings), "Update check failed: Bad update URL");

    // A newer build turns the button into the install button for good. The version is
    // only shown, never compared; missing notes leave nothing after the colon.
    settings.setUpdateBase(server.url(""));
    server.route("/version.json", Response{200, "application/json", R"({"build": 4, "version": "0.1"})", {}});
    EXPECT_EQ(check(settings), "Version 0.1 available: ");
    EXPECT_EQ(settings.updateButton().get_label(), "Download & Install");
    EXPECT_TRUE(logged("Update check: remote build 4, local build 2"));
}

TEST_F(Updates, ABuildTreeOrSystemCopyIsNeverOverwritten)
{
    launch();
    EXPECT_FALSE(Updater::isReplaceableBundle("/usr/lib/quillmere"));
    EXPECT_FALSE(Updater::isReplaceableBundle(QUILLMERE_BUILD_DIR));
    const std::string bundle = bundleDirectory(); // the test's own, not named quillmere
    const auto before = snapshot(bundle);
    SettingsWindow& settings = openSettings();
    findUpdate(settings);
    server.route("/latest.zip", Response{200, "application/zip", makeZip({{"quillmere/bin/quillmere", "x"}}), {}});
    const auto statuses = installAndCollectStatus(settings);
    ASSERT_FALSE(statuses.empty());
    EXPECT_EQ(statuses.back(), "Update failed: This copy of Quillmere is not a self-contained install; "
                               "update it the way it was installed.");
    EXPECT_FALSE(server.sawPath("/latest.zip"));
    EXPECT_EQ(snapshot(bundle), before);
    EXPECT_TRUE(settings.updateButton().get_sensitive());
}

TEST_F(Updates, ABadArchiveLeavesTheInstalledCopyExactlyAsItWas)
{
    launch();
    const fs::path bundle = installBundle();
    ASSERT_TRUE(Updater::isReplaceableBundle(bundle.string()));
    const auto before = snapshot(bundle);
    SettingsWindow& settings = openSettings();
    findUpdate(settings);

    const std::string good = makeZip({{"quillmere/bin/quillmere", "#!/bin/sh\n"}, {"quillmere/share/quillmere/marker", "new"}});
    struct Case {
        const char* what;
        Response answer;
        std::string failure;
    };
    const Case cases[] = {
        {"an error page", Response{404, "text/html", "<html><body>Not found</body></html>", {}}, "Unzip exited with status 9"},
        {"a truncated archive", Response{200, "application/zip", good.substr(0, good.size() / 2), {}}, "Unzip exited with status "},
        {"the wrong top folder", Response{200, "application/zip", makeZip({{"other/bin/quillmere", "x"}}), {}},
         "The update archive holds no quillmere/bin/quillmere"},
        {"entries that climb out", Response{200, "application/zip",
                                            makeZip({{"../escaped", "x"}, {"quillmere/bin/quillmere", "x"}}), {}},
         "The update archive reaches outside its folder: ../escaped"},
        {"an absolute entry", Response{200, "application/zip",
                                       makeZip({{"quillmere/bin/quillmere", "x"}, {"/tmp/absolute", "x"}}), {}},
         "The update archive reaches outside its folder: /tmp/absolute"},
    };
    for (const auto& c : cases) {
        server.route("/latest.zip", c.answer);
        const auto statuses = installAndCollectStatus(settings);
        ASSERT_GE(statuses.size(), 2u) << c.what;
        EXPECT_EQ(statuses[0], "Downloading update...") << c.what;
        EXPECT_EQ(statuses.back().rfind("Update failed: " + c.failure, 0), 0u) << c.what << ": " << statuses.back();
        EXPECT_EQ(snapshot(bundle), before) << c.what;
        EXPECT_TRUE(settings.updateButton().get_sensitive()) << c.what;
        EXPECT_EQ(settings.updateButton().get_label(), "Download & Install");
        // Nothing is left behind: no archive, no unpacked copy, nothing outside.
        EXPECT_EQ(leftoverArchives(), 0) << c.what;
        for (const auto& entry : fs::directory_iterator(bundle.parent_path()))
            EXPECT_EQ(entry.path().filename(), "quillmere") << c.what;
    }
}

TEST_F(Updates, ANewBuildReplacesTheBundleAndStartsItself)
{
    launch();
    const fs::path bundle = installBundle();
    // The new build: the same install with a marker, packed like `update_archive` does.
    const fs::path packing = makeTemporaryDirectory("quillmere-pack-XXXXXX");
    ASSERT_TRUE(run("cp -a " + bundle.string() + " " + packing.string() + "/quillmere"));
    std::ofstream(packing / "quillmere/share/quillmere/marker") << "build 3";
    ASSERT_TRUE(run("sh -c 'cd " + packing.string() + " && zip -q -r -y latest.zip quillmere'"));
    server.route("/latest.zip", Response{200, "application/zip", readAll(packing / "latest.zip"), {}});
    // A file the new build no longer has goes with the old one.
    std::ofstream(bundle / "share/quillmere/obsolete") << "old";

    SettingsWindow& settings = openSettings();
    findUpdate(settings);
    const auto statuses = installAndCollectStatus(settings);
    EXPECT_EQ(statuses, (std::vector<std::string>{"Downloading update...", "Installing update...", "Relaunching..."}));
    EXPECT_EQ(readAll(bundle / "share/quillmere/marker"), "build 3");
    EXPECT_FALSE(fs::exists(bundle / "share/quillmere/obsolete"));
    EXPECT_TRUE(logged("Update installed, relaunching"));
    EXPECT_EQ(leftoverArchives(), 0);

    // The new copy starts (and becomes the running instance, since we gave up the name).
    const fs::path executable = bundle / "bin/quillmere";
    ASSERT_TRUE(runUntil([&] { return !processesRunning(executable).empty(); }, 10000));
    for (int pid : processesRunning(executable))
        kill(pid, SIGTERM);
}
