// The session file without a window: what it holds, a damaged one, and when a session
// that keeps crashing the browser is offered instead of restored.
#include "session/SessionFile.h"
#include "platform/GObjectPtr.h"

#include <gtest/gtest.h>

#include <glib.h>

#include <filesystem>
#include <fstream>

using namespace quillmere;

TEST(SessionFile, KeepsTabsTheActiveOneClosedTabsAndTheLaunchAndRefusesWhatIsNotASession)
{
    Session session;
    session.tabs = {{"https://one.example/", "One \xff", "AAEC"}, {"https://two.example/", "Two", ""}};
    session.active = 1;
    session.closed = {{"https://gone.example/", "Gone", "AQ=="}};
    session.launch = {"boot:12:34", true, true, false, 1};
    auto parsed = SessionFile::parse(SessionFile::serialize(session));
    ASSERT_TRUE(parsed);
    ASSERT_EQ(parsed->tabs.size(), 2u);
    EXPECT_EQ(parsed->tabs[0].title, "One \uFFFD"); // a title that is not UTF-8 survives as far as it can
    EXPECT_EQ(parsed->tabs[0].state + parsed->tabs[1].uri, "AAEChttps://two.example/");
    EXPECT_EQ(parsed->active, 1);
    ASSERT_EQ(parsed->closed.size(), 1u);
    EXPECT_EQ(parsed->closed[0].title, "Gone");
    const LaunchRecord& launch = parsed->launch;
    EXPECT_EQ(std::tuple(launch.id, launch.clean, launch.restored, launch.settled, launch.crashStreak),
        std::tuple(std::string("boot:12:34"), true, true, false, 1));

    for (const char* text : {"", "{", "[]", "{\"format\":2,\"tabs\":[]}", "{\"format\":1,\"tabs\":{}}",
             "{\"format\":1,\"tabs\":[{\"uri\":5}]}", "{\"format\":1,\"active\":\"1\"}"})
        EXPECT_FALSE(SessionFile::parse(text)) << text;
    // An active index outside the tabs falls back to the first.
    EXPECT_EQ(SessionFile::parse("{\"format\":1,\"active\":7,\"tabs\":[{\"uri\":\"u\"}]}")->active, 0);
}

TEST(SessionFile, ADamagedFileIsMovedAsideAndWritesAreWholeAndLatestFirst)
{
    GCharPtr made(g_dir_make_tmp("quillmere-session-XXXXXX", nullptr));
    const std::string directory = made.get(), path = directory + "/session.json";
    Session session;
    EXPECT_EQ(SessionFile::read(path, session), SessionFile::ReadOutcome::Missing);
    std::ofstream(path) << "{\"format\":1,\"tabs\":[{\"uri\":";
    EXPECT_EQ(SessionFile::read(path, session), SessionFile::ReadOutcome::Damaged);
    EXPECT_FALSE(std::filesystem::exists(path));
    int kept = 0;
    for (const auto& entry : std::filesystem::directory_iterator(directory))
        kept += entry.path().filename().string().starts_with("session.json.damaged-");
    EXPECT_EQ(kept, 1);

    {
        SessionWriter writer(path);
        for (int i = 0; i < 50; ++i) {
            session.tabs = {{"https://example.com/" + std::to_string(i), "", ""}};
            writer.save(SessionFile::serialize(session));
        }
    } // the last one is written before the writer goes
    Session read;
    ASSERT_EQ(SessionFile::read(path, read), SessionFile::ReadOutcome::Read);
    EXPECT_EQ(read.tabs.at(0).uri, "https://example.com/49");
}

TEST(SessionFile, ASessionIsOfferedInsteadOfRestoredAfterTwoCrashesWithinAMinuteOfRestoring)
{
    struct Case {
        LaunchRecord previous;
        bool stillRunning;
        int streak;
    };
    const Case cases[] = {
        {{"", true, true, false, 5}, false, 0}, // ended cleanly
        {{"", false, false, false, 0}, false, 0}, // crashed, but had restored nothing
        {{"", false, true, true, 1}, false, 0}, // crashed after its first minute
        {{"", false, true, false, 0}, false, 1}, // crashed within a minute of restoring
        {{"", false, true, false, 1}, false, 2}, // ...the second time in a row
        {{"", false, true, false, 1}, true, 0}, // still running: an update's relaunch
    };
    for (const auto& [previous, stillRunning, streak] : cases)
        EXPECT_EQ(SessionFile::crashStreakAfter(previous, stillRunning), streak) << streak;
    EXPECT_FALSE(SessionFile::shouldOfferInsteadOfRestoring(1));
    EXPECT_TRUE(SessionFile::shouldOfferInsteadOfRestoring(2));

    const std::string self = SessionFile::currentLaunchId();
    EXPECT_TRUE(SessionFile::isRunning(self)) << self;
    const std::string other = self.substr(0, self.rfind(':')) + ":1";
    EXPECT_FALSE(SessionFile::isRunning(other));
    EXPECT_FALSE(SessionFile::isRunning(""));
    EXPECT_FALSE(SessionFile::isRunning("another-boot:1:1"));
}
