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

// The desktop entry's "New Tab" action, run as a launcher runs it: with no copy running it
// starts one; with one running it opens a tab there and ends. Each tab reports once with
// "fresh" (its own session storage is empty), so a reload would not count as a new tab.
TEST(Program, TheDesktopEntrysNewTabActionOpensATabInTheRunningCopy)
{
    g_autoptr(GKeyFile) entry = g_key_file_new();
    ASSERT_TRUE(g_key_file_load_from_file(
        entry, QUILLMERE_SOURCE_DIR "/resources/com.brenhollow.quillmere.desktop", G_KEY_FILE_NONE, nullptr));
    g_auto(GStrv) actions = g_key_file_get_string_list(entry, "Desktop Entry", "Actions", nullptr, nullptr);
    ASSERT_TRUE(actions && g_strv_contains(actions, "new-tab"));
    g_autofree char* exec = g_key_file_get_string(entry, "Desktop Action new-tab", "Exec", nullptr);
    g_auto(GStrv) argv = nullptr;
    ASSERT_TRUE(exec && g_shell_parse_argv(exec, nullptr, &argv, nullptr));
    ASSERT_STREQ(argv[0], "quillmere");
    const std::vector<std::string> arguments(argv + 1, argv + g_strv_length(argv));

    TestServer server;
    server.route("/",
        Response {200, "text/html; charset=utf-8",
            "<script>fetch('/tab?' + (sessionStorage.tab ? 'again' : 'fresh'));"
            "sessionStorage.tab = 1;</script>",
            {{"Cache-Control", "no-store"}}});
    server.route("/tab", Response {204, "text/plain", "", {}});
    UserDefaults::standard().setString(kHomepageKey, server.url("/"));
    const auto freshTabs = [&] {
        size_t count = 0;
        for (const auto& request : server.requestsFor("/tab"))
            count += request.query == "fresh";
        return count;
    };
    const std::string binary = installCopy(QUILLMERE_BINARY, "");

    Program first(binary, arguments);
    ASSERT_TRUE(runUntil([&] { return freshTabs() == 1; }, 30000)) << first.standardError();
    Program second(binary, arguments);
    ASSERT_TRUE(second.waitForExit() && second.exitStatus() == 0) << second.standardError();
    EXPECT_TRUE(runUntil([&] { return freshTabs() == 2; })) << first.standardError();
    EXPECT_EQ(server.requestsFor("/tab").size(), 2u);

    activateAction("quit");
    EXPECT_TRUE(first.waitForExit() && first.exitStatus() == 0) << first.standardError();
}
