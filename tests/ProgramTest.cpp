// The installed program as a user starts it: a separate process, driven from outside.
#include "support/MainLoop.h"
#include "support/TestServer.h"

#include "platform/UserDefaults.h"

#include <gio/gio.h>
#include <gtest/gtest.h>

#include <string>

using namespace quillmere;
using namespace quillmere::test;

namespace {

// A running copy of the program with its output collected.
class Program {
public:
    explicit Program(std::vector<std::string> arguments)
    {
        std::vector<const char*> argv{QUILLMERE_BINARY};
        for (const auto& argument : arguments)
            argv.push_back(argument.c_str());
        argv.push_back(nullptr);
        GError* error = nullptr;
        process_ = g_subprocess_newv(argv.data(), GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE), &error);
        if (!process_)
            throw std::runtime_error(error->message);
        pid_ = g_subprocess_get_identifier(process_);
        g_subprocess_communicate_utf8_async(process_, nullptr, nullptr, [](GObject* source, GAsyncResult* result, gpointer data) {
            auto* self = static_cast<Program*>(data);
            char* out = nullptr;
            char* err = nullptr;
            g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &out, &err, nullptr);
            self->stdout_ = out ? out : "";
            self->stderr_ = err ? err : "";
            g_free(out);
            g_free(err);
            self->finished_ = true;
        }, this);
    }
    ~Program()
    {
        if (!finished_) {
            g_subprocess_force_exit(process_);
            runUntil([&] { return finished_; }, 5000);
        }
        g_object_unref(process_);
    }

    bool waitForExit(int timeoutMs = 15000) { return runUntil([&] { return finished_; }, timeoutMs); }
    int exitStatus() const { return g_subprocess_get_if_exited(process_) ? g_subprocess_get_exit_status(process_) : -1; }
    const std::string& pid() const { return pid_; }
    const std::string& standardOutput() const { return stdout_; }
    const std::string& standardError() const { return stderr_; }

private:
    GSubprocess* process_ = nullptr;
    bool finished_ = false;
    std::string pid_;
    std::string stdout_;
    std::string stderr_;
};

// Asks the running program to do one of its application actions over D-Bus, as
// `gdbus call ... org.gtk.Actions.Activate` would.
void activateAction(const char* action)
{
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);
    GVariant* reply = g_dbus_connection_call_sync(bus, "com.brenhollow.quillmere", "/com/brenhollow/quillmere",
        "org.gtk.Actions", "Activate", g_variant_new("(sava{sv})", action, nullptr, nullptr),
        nullptr, G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    g_object_unref(bus);
}

std::string journalFor(const std::string& pid)
{
    std::string command = "journalctl --no-pager -o cat GLIB_DOMAIN=com.brenhollow.quillmere _PID=" + pid;
    char* out = nullptr;
    g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
    std::string text = out ? out : "";
    g_free(out);
    return text;
}

} // namespace

TEST(Program, RunsAsOneInstanceLogsOutsideStandardOutputAndQuitsCleanly)
{
    TestServer server;
    server.page("/", "<title>Home</title>");
    server.page("/two", "<title>Two</title>");
    UserDefaults::standard().setString(kHomepageKey, server.url("/"));

    Program first({});
    ASSERT_TRUE(runUntil([&] { return server.sawPath("/"); }, 30000)) << first.standardError();
    EXPECT_EQ(server.requestsFor("/").front().headers.at("User-Agent"),
              "Mozilla/5.0 (Macintosh; Intel Mac OS X 10.15; rv:155.0) Gecko/20100101 Firefox/155.0");

    // A second launch hands its address to the running copy and ends.
    Program second({server.url("/two")});
    ASSERT_TRUE(second.waitForExit());
    EXPECT_EQ(second.exitStatus(), 0);
    EXPECT_TRUE(runUntil([&] { return server.sawPath("/two"); }));

    activateAction("quit");
    ASSERT_TRUE(first.waitForExit());
    EXPECT_EQ(first.exitStatus(), 0);
    EXPECT_EQ(first.standardOutput(), "");
    EXPECT_EQ(second.standardOutput(), "");

    const std::string line = "Quillmere launching, loading ad-block rule list";
    if (g_file_test("/run/systemd/journal/socket", G_FILE_TEST_EXISTS)) {
        EXPECT_TRUE(runUntil([&] { return journalFor(first.pid()).find(line) != std::string::npos; }, 10000));
        EXPECT_EQ(first.standardError().find(line), std::string::npos);
    } else {
        EXPECT_NE(first.standardError().find(line), std::string::npos);
    }
}
