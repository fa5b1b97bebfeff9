// Launch with a restored session: 20 tabs against one. A first run of the program saves a
// real session (the engine's own saved state of one page); from it, one profile gets a
// session of that one tab and another a session of 20 such tabs, the first one active.
// Each run starts the program on a fresh copy of a profile and ends when the active tab's
// page reports its onload to the local server; the tabs that are not shown must not load,
// so the page is asked for once per run either way. The goal: 20 tabs within 1.15 times
// the time of one.
//
// Run it through tests/isolate.sh (its own display and session bus), e.g.
//   tests/isolate.sh build/bench/session_bench [runs]
#include "session/SessionFile.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <vector>

using namespace quillmere;

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    SoupServer* soup = soup_server_new(nullptr, nullptr);
    int port = 0;
    int pageRequests = 0;
    bool loaded = false;
    Clock::time_point loadedAt;
};

const char* kPage = "<!DOCTYPE html><title>Tiny</title><p>Hello.</p>"
                    "<script>addEventListener('load', () => fetch('/loaded'));</script>";

void handle(SoupServer*, SoupServerMessage* message, const char* path, GHashTable*, gpointer data)
{
    auto* server = static_cast<Server*>(data);
    if (g_str_equal(path, "/loaded") && !server->loaded) {
        server->loaded = true;
        server->loadedAt = Clock::now();
    }
    if (g_str_equal(path, "/page"))
        ++server->pageRequests;
    soup_server_message_set_status(message, 200, nullptr);
    soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, kPage, strlen(kPage));
}

std::string makeProfile(const std::string& homepage, const std::string& session)
{
    char* dir = g_dir_make_tmp("quillmere-bench-XXXXXX", nullptr);
    std::string root = dir;
    g_free(dir);
    for (const char* sub : {"/home", "/config/quillmere", "/data/quillmere", "/cache"})
        g_mkdir_with_parents((root + sub).c_str(), 0700);
    std::ofstream(root + "/config/quillmere/defaults.ini") << "[defaults]\nquillmereHomepage=" << homepage << "\n";
    if (!session.empty())
        std::ofstream(root + "/data/quillmere/session.json") << session;
    return root;
}

void removeProfile(const std::string& profile)
{
    const std::string remove = "rm -rf '" + profile + "'";
    (void)system(remove.c_str());
}

// Starts the program on `profile`; answers the seconds until the page's onload, or -1.
double runOnce(Server& server, const std::string& profile)
{
    server.loaded = false;
    server.pageRequests = 0;
    gchar** environ = g_get_environ();
    environ = g_environ_setenv(environ, "HOME", (profile + "/home").c_str(), TRUE);
    environ = g_environ_setenv(environ, "XDG_CONFIG_HOME", (profile + "/config").c_str(), TRUE);
    environ = g_environ_setenv(environ, "XDG_DATA_HOME", (profile + "/data").c_str(), TRUE);
    environ = g_environ_setenv(environ, "XDG_CACHE_HOME", (profile + "/cache").c_str(), TRUE);
    char* argv[] = {const_cast<char*>(QUILLMERE_BINARY), nullptr};
    const auto start = Clock::now();
    GPid pid = 0;
    if (!g_spawn_async(nullptr, argv, environ,
            GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
            nullptr, &pid, nullptr)) {
        fprintf(stderr, "cannot start %s\n", argv[0]);
        exit(1);
    }
    g_strfreev(environ);
    const auto deadline = start + std::chrono::seconds(60);
    while (!server.loaded && Clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    const double seconds = server.loaded ? std::chrono::duration<double>(server.loadedAt - start).count() : -1;
    // A moment for tabs that should not load to show that they do not.
    const auto settle = Clock::now() + std::chrono::milliseconds(500);
    while (Clock::now() < settle)
        g_main_context_iteration(nullptr, FALSE), g_usleep(10000);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    for (int i = 0; i < 20; ++i)
        g_main_context_iteration(nullptr, FALSE), g_usleep(10000);
    return seconds;
}

std::optional<Session> readSession(const std::string& profile)
{
    Session session;
    if (SessionFile::read(profile + "/data/quillmere/session.json", session) != SessionFile::ReadOutcome::Read)
        return std::nullopt;
    return session;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    setvbuf(stdout, nullptr, _IONBF, 0);
    const int runs = argc > 1 ? atoi(argv[1]) : 5;
    Server server;
    soup_server_add_handler(server.soup, nullptr, handle, &server, nullptr);
    soup_server_listen_local(server.soup, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
    GSList* uris = soup_server_get_uris(server.soup);
    server.port = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));
    const std::string page = "http://127.0.0.1:" + std::to_string(server.port) + "/page";

    // The program itself saves the session the runs restore.
    const std::string first = makeProfile(page, "");
    if (runOnce(server, first) < 0) {
        fprintf(stderr, "the first run never loaded its page\n");
        return 1;
    }
    auto saved = readSession(first);
    removeProfile(first);
    if (!saved || saved->tabs.size() != 1 || saved->tabs[0].state.empty()) {
        fprintf(stderr, "the first run saved no session with a state\n");
        return 1;
    }
    Session one = *saved;
    one.launch = {"an-earlier-launch", true, false, false, 0};
    Session twenty = one;
    twenty.tabs.assign(20, one.tabs[0]);
    const std::string oneText = SessionFile::serialize(one), twentyText = SessionFile::serialize(twenty);

    const auto timed = [&](const std::string& session, int tabs) {
        const std::string profile = makeProfile(page, session);
        const double seconds = runOnce(server, profile);
        const auto after = readSession(profile);
        removeProfile(profile);
        if (seconds < 0 || server.pageRequests != 1 || !after || static_cast<int>(after->tabs.size()) != tabs) {
            fprintf(stderr, "%d tab(s): onload %s, the page asked for %d time(s), %zu tab(s) saved\n", tabs,
                seconds < 0 ? "never" : "seen", server.pageRequests, after ? after->tabs.size() : 0);
            exit(1);
        }
        return seconds;
    };
    // One untimed round of each warms the disk cache for both.
    timed(oneText, 1);
    timed(twentyText, 20);
    std::vector<double> oneTimes, twentyTimes;
    for (int i = 0; i < runs; ++i) {
        // Alternate so that drift in the machine's load hits both alike.
        const double a = timed(oneText, 1);
        const double b = timed(twentyText, 20);
        printf("run %d: 1 restored tab %.3f s | 20 restored tabs %.3f s\n", i + 1, a, b);
        oneTimes.push_back(a);
        twentyTimes.push_back(b);
    }
    const double a = median(oneTimes), b = median(twentyTimes);
    printf("\nlaunch to the active tab's onload (median of %d runs): 1 restored tab %.3f s, 20 restored tabs %.3f s\n",
        runs, a, b);
    printf("  ratio %.2f (goal <= 1.15); the page was asked for once per run: the other tabs waited\n", b / a);
    return 0;
}
