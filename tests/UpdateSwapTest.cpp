// A kill at each step of the swap, in a process of its own (update_driver), and then a
// launch: the install it finds works, whole, either the previous build or the new one.
#include "support/Browser.h"
#include "support/Program.h"
#include "support/UpdateArchives.h"

#include "platform/Bundle.h"
#include "platform/UserDefaults.h"

#include <csignal>
#include <filesystem>
#include <fstream>

using namespace quillmere;
using namespace quillmere::test;
namespace fs = std::filesystem;

namespace {

struct KillPoint {
    const char* name;
    const char* fault; // empty: nothing is killed
    bool renames; // the journaled renames instead of the exchange
    bool newCopyFails;
    bool newBuildStays;
};

const KillPoint kKillPoints[] = {
    {"Unpacked", "unpacked", false, false, false},
    {"Journaled", "journaled", false, false, false},
    {"Exchanged", "exchanged", false, false, false},
    {"Relaunched", "relaunched", false, false, false},
    {"Kept", "kept", false, false, true},
    {"RestoringAFailedCopy", "restoring", false, true, false},
    {"RestoredAFailedCopy", "restored", false, true, false},
    {"RenamesMovedTheBundleAside", "moved-aside", true, false, false},
    {"RenamesMovedTheNewCopyIn", "moved-in", true, false, false},
    {"RenamesDone", "exchanged", true, false, false},
    {"RenamesUndoingAFailedCopy", "restore-moved-aside", true, true, false},
    {"NowhereWithRenames", "", true, false, true},
    {"Nowhere", "", false, false, true},
};

void PrintTo(const KillPoint& point, std::ostream* out)
{
    *out << (*point.fault ? point.fault : "nowhere") << (point.renames ? " with renames" : "");
}

class UpdateSwap : public BrowserTest, public ::testing::WithParamInterface<KillPoint> { };

} // namespace

TEST_P(UpdateSwap, AKillAtThisStepLeavesAWorkingInstallForTheNextLaunch)
{
    const KillPoint& point = GetParam();
    const std::string pidFile = std::string(g_get_tmp_dir()) + "/new-copy.pid";
    const auto previous =
        bundleEntries("#!/bin/sh\n# build 2\n", {{"share/quillmere/old", "old"}, {"share/quillmere/both", "2"}});
    const std::string launcher = point.newCopyFails ? "#!/bin/sh\nexit 3\n"
                                                    : "#!/bin/sh\n# build 3\necho $$ > " + pidFile
            + "\nprintf 'ok\\n' >&$QUILLMERE_UPDATE_REPORT_FD\nexec sleep 30 >/dev/null 2>&1\n";
    const auto next = bundleEntries(launcher, {{"share/quillmere/new", "new"}, {"share/quillmere/both", "3"}});
    const fs::path bundle = installBundle(previous);
    const auto previousFiles = snapshot(bundle), nextFiles = snapshot(installBundle(next));
    const std::string archive = zipOf(next);
    server.route("/version.json", Response {200, "application/json", signedRelease(3, "1.3", "", archive)});
    server.route("/latest.zip", Response {200, "application/zip", archive});

    g_setenv(kFaultVariable, point.fault, TRUE);
    if (point.renames)
        g_setenv(kRenameSwapVariable, "1", TRUE);
    {
        Program driver(QUILLMERE_UPDATE_DRIVER, {bundle.string(), server.url("")});
        ASSERT_TRUE(driver.waitForExit(60000));
        // Killed where asked, or run to its end: a good start, or a copy that did not start.
        EXPECT_EQ(driver.exitStatus(), *point.fault ? -1 : point.newCopyFails ? 1 : 0) << driver.standardOutput();
    }
    g_unsetenv(kFaultVariable);
    g_unsetenv(kRenameSwapVariable);
    // Only a kill between two renames, on the way in or back, leaves no bundle at all.
    const std::string_view fault = point.fault;
    EXPECT_EQ(fs::exists(bundle), fault != "moved-aside" && fault != "restore-moved-aside");

    // The next launch of the program that owns this bundle.
    setBundleDirectory(bundle);
    launch();
    EXPECT_EQ(snapshot(bundle), point.newBuildStays ? nextFiles : previousFiles);
    EXPECT_EQ(std::distance(fs::directory_iterator(bundle.parent_path()), {}), 1) << "no staging directory is left";
    if (fs::exists(pidFile))
        kill(atoi(readFile(pidFile).c_str()), SIGKILL);
}

INSTANTIATE_TEST_SUITE_P(Steps, UpdateSwap, ::testing::ValuesIn(kKillPoints),
    [](const ::testing::TestParamInfo<KillPoint>& info) { return std::string(info.param.name); });

// The real program as the new copy: its previous copy is killed before the report, and
// it keeps the swap itself once its window is up.
TEST(UpdateHandOver, ANewCopyWhosePreviousCopyDiedBeforeItsReportKeepsTheSwap)
{
    TestServer server;
    UserDefaults::standard().setString(kHomepageKey, server.url("/home"));
    server.page("/home", "<title>Home</title>");
    const auto [installed, copy] = installBuildAndCopy(QUILLMERE_BUILD_DIR);
    const fs::path bundle = installed, packing = fs::path(copy).parent_path();
    std::ofstream(copy + "/share/quillmere/marker") << "3";
    ASSERT_EQ(
        std::system((QUILLMERE_RELEASE_TOOL " pack " + copy + " " + packing.string() + "/latest.zip").c_str()), 0);
    const std::string archive = readFile(packing / "latest.zip");
    server.route("/version.json", Response {200, "application/json", signedRelease(3, "1.3", "", archive)});
    server.route("/latest.zip", Response {200, "application/zip", archive});

    // The new copy outlives the driver: its output goes to a file, not to pipes that would stay open.
    g_setenv(kFaultVariable, "relaunched", TRUE);
    Program driver("/bin/sh",
        {"-c",
            std::string(QUILLMERE_UPDATE_DRIVER " ") + bundle.string() + " " + server.url("") + " >" + packing.string()
                + "/driver.log 2>&1"});
    ASSERT_TRUE(driver.waitForExit(60000));
    g_unsetenv(kFaultVariable);
    EXPECT_EQ(driver.exitStatus(), 128 + SIGKILL) << readFile(packing / "driver.log");

    EXPECT_TRUE(runUntil([&] { return std::distance(fs::directory_iterator(bundle.parent_path()), {}) == 1; }, 30000))
        << "the staging directory goes once the new copy is up";
    EXPECT_TRUE(runUntil([&] { return server.sawPath("/home"); }, 20000));
    EXPECT_EQ(readFile(bundle / "share/quillmere/marker"), "3");
    std::ranges::for_each(processesFrom(bundle), [](int pid) { kill(pid, SIGTERM); });
}
