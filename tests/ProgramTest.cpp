// The installed program as a user starts it: a separate process, driven from outside.
#include "support/Program.h"
#include "support/TestServer.h"

#include "platform/UserDefaults.h"

#include <gtest/gtest.h>

using namespace quillmere;
using namespace quillmere::test;

TEST(Program, RunsAsOneInstanceLogsOutsideStandardOutputAndQuitsCleanly)
{
    TestServer server;
    UserDefaults::standard().setString(kHomepageKey, server.url("/"));
    // A copy installed without rules, so that no compile competes with the test.
    const std::string binary = installCopy(QUILLMERE_BINARY, "");
    Program first(binary, {});
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/"); }, 30000)) << first.standardError();
    EXPECT_EQ(server.requestsFor("/").front().headers.at("User-Agent"),
        "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:155.0) Gecko/20100101 Firefox/155.0");

    // A second launch hands its address to the running copy and ends.
    Program second(binary, {server.url("/two")});
    ASSERT_TRUE(second.waitForExit() && second.exitStatus() == 0) << second.standardError();
    EXPECT_TRUE(runUntil([&] { return server.sawPath("/two"); }));

    activateAction("quit");
    ASSERT_TRUE(first.waitForExit() && first.exitStatus() == 0) << first.standardError();
    EXPECT_EQ(first.standardOutput() + second.standardOutput(), "");
    const std::string line = "Quillmere launching, loading ad-block rule list";
    EXPECT_TRUE(runUntil([&] { return first.log().find(line) != std::string::npos; }, 10000));
    EXPECT_TRUE(!Program::journalRunning() || first.standardError().find(line) == std::string::npos)
        << "only in the journal";
}
