// The installed program as a user starts it: a separate process, driven from outside.
#include "support/MainLoop.h"
#include "support/Program.h"
#include "support/TestServer.h"

#include "platform/UserDefaults.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>

using namespace quillmere;
using namespace quillmere::test;

TEST(Program, RunsAsOneInstanceLogsOutsideStandardOutputAndQuitsCleanly)
{
    TestServer server;
    server.page("/", "<title>Home</title>");
    server.page("/two", "<title>Two</title>");
    UserDefaults::standard().setString(kHomepageKey, server.url("/"));

    // A copy installed without rules, so that no compile competes with the test.
    const std::string binary = installCopy(QUILLMERE_BINARY, "");
    Program first(binary, {});
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/"); }, 30000)) << first.standardError();
    EXPECT_EQ(server.requestsFor("/").front().headers.at("User-Agent"),
              "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:155.0) Gecko/20100101 Firefox/155.0");

    // A second launch hands its address to the running copy and ends.
    Program second(binary, {server.url("/two")});
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitStatus(), 0);
    EXPECT_TRUE(runUntil([&] { return server.sawPath("/two"); }));

    activateAction("quit");
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitStatus(), 0);
    EXPECT_EQ(first.standardOutput(), "");
    EXPECT_EQ(second.standardOutput(), "");

    const std::string line = "Quillmere launching, loading ad-block rule list";
    EXPECT_TRUE(runUntil([&] { return first.log().find(line) != std::string::npos; }, 10000));
    if (Program::journalRunning()) {
        EXPECT_EQ(first.standardError().find(line), std::string::npos);
    }
}
