// Launch to first page, side by side: Quillmere against a bare GTK 4 window with one
// WebKitGTK view. Each run starts from a fresh profile and ends when the page's onload
// handler reaches the local server; memory is the proportional set size (PSS) of the
// whole process tree (UI, web and network processes) right then.
//
// Run it through tests/isolate.sh (its own display and session bus), e.g.
//   tests/isolate.sh build/bench/launch_bench [runs]
#include <glib.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <numeric>
#include <signal.h>
#include <string>
#include <sys/wait.h>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

struct Server {
    SoupServer* soup = soup_server_new(nullptr, nullptr);
    int port = 0;
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
    soup_server_message_set_status(message, 200, nullptr);
    soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, kPage, strlen(kPage));
}

std::map<int, int> parentsOfAll()
{
    std::map<int, int> parents;
    GDir* dir = g_dir_open("/proc", 0, nullptr);
    while (const char* name = g_dir_read_name(dir)) {
        const int pid = atoi(name);
        if (pid <= 0)
            continue;
        std::ifstream status(std::string("/proc/") + name + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("PPid:", 0) == 0)
                parents[pid] = std::stoi(line.substr(5));
    }
    g_dir_close(dir);
    return parents;
}

// PSS in KiB of `root` and all its descendants.
long treePssKiB(int root)
{
    auto parents = parentsOfAll();
    long total = 0;
    for (const auto& [pid, parent] : parents) {
        bool inTree = pid == root;
        for (int p = parent; !inTree && p > 1; p = parents.count(p) ? parents[p] : 0)
            inTree = p == root;
        if (!inTree)
            continue;
        std::ifstream rollup("/proc/" + std::to_string(pid) + "/smaps_rollup");
        std::string line;
        while (std::getline(rollup, line))
            if (line.rfind("Pss:", 0) == 0)
                total += std::stol(line.substr(4));
    }
    return total;
}

std::string makeProfile(const std::string& homepage)
{
    char* dir = g_dir_make_tmp("quillmere-bench-XXXXXX", nullptr);
    std::string root = dir;
    g_free(dir);
    for (const char* sub : {"/home", "/config/quillmere", "/data", "/cache"})
        g_mkdir_with_parents((root + sub).c_str(), 0700);
    std::ofstream(root + "/config/quillmere/defaults.ini") << "[defaults]\nquillmereHomepage=" << homepage << "\n";
    return root;
}

struct Result {
    double seconds = -1;
    double pssMiB = -1;
};

Result runOnce(Server& server, const std::vector<std::string>& command, const char* renderer = nullptr)
{
    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/";
    const std::string profile = makeProfile(url);
    server.loaded = false;

    gchar** environ = g_get_environ();
    environ = g_environ_setenv(environ, "HOME", (profile + "/home").c_str(), TRUE);
    environ = g_environ_setenv(environ, "XDG_CONFIG_HOME", (profile + "/config").c_str(), TRUE);
    environ = g_environ_setenv(environ, "XDG_DATA_HOME", (profile + "/data").c_str(), TRUE);
    environ = g_environ_setenv(environ, "XDG_CACHE_HOME", (profile + "/cache").c_str(), TRUE);
    if (renderer)
        environ = g_environ_setenv(environ, "GSK_RENDERER", renderer, TRUE);

    std::vector<const char*> argv;
    for (const auto& part : command)
        argv.push_back(part.c_str());
    argv.push_back(nullptr);

    const auto start = Clock::now();
    GPid pid = 0;
    GError* error = nullptr;
    if (!g_spawn_async(nullptr, const_cast<char**>(argv.data()), environ,
            GSpawnFlags(G_SPAWN_DO_NOT_REAP_CHILD | G_SPAWN_STDOUT_TO_DEV_NULL | G_SPAWN_STDERR_TO_DEV_NULL), nullptr,
            nullptr, &pid, &error)) {
        fprintf(stderr, "cannot start %s: %s\n", argv[0], error->message);
        exit(1);
    }
    g_strfreev(environ);

    Result result;
    const auto deadline = start + std::chrono::seconds(60);
    while (!server.loaded && Clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    if (server.loaded) {
        result.seconds = std::chrono::duration<double>(server.loadedAt - start).count();
        result.pssMiB = treePssKiB(pid) / 1024.0;
    }
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);
    // Give the engine's helper processes a moment to follow their parent.
    for (int i = 0; i < 20; ++i)
        g_main_context_iteration(nullptr, FALSE), g_usleep(10000);
    std::string remove = "rm -rf '" + profile + "'";
    (void)system(remove.c_str());
    return result;
}

double median(std::vector<double> values)
{
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

} // namespace

int main(int argc, char** argv)
{
    const int runs = argc > 1 ? atoi(argv[1]) : 5;
    Server server;
    soup_server_add_handler(server.soup, nullptr, handle, &server, nullptr);
    soup_server_listen_local(server.soup, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
    GSList* uris = soup_server_get_uris(server.soup);
    server.port = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));

    const std::string url = "http://127.0.0.1:" + std::to_string(server.port) + "/";
    const std::vector<std::string> bare {BARE_WINDOW_BINARY, url};
    const std::vector<std::string> quillmere {QUILLMERE_BINARY};

    // One untimed round of each warms the disk cache for both.
    runOnce(server, bare);
    runOnce(server, quillmere);

    // The bare window runs as GTK starts it by default, and once more drawing with
    // cairo, as Quillmere itself does where OpenGL is a software rasteriser.
    std::vector<double> bareTimes, bareMemory, cairoTimes, cairoMemory, ourTimes, ourMemory;
    for (int i = 0; i < runs; ++i) {
        // Alternate so that drift in the machine's load hits all alike.
        Result b = runOnce(server, bare);
        Result c = runOnce(server, bare, "cairo");
        Result q = runOnce(server, quillmere);
        if (b.seconds < 0 || c.seconds < 0 || q.seconds < 0) {
            fprintf(stderr, "run %d: a page never loaded\n", i);
            return 1;
        }
        printf("run %d: bare %.3f s %.0f MiB | bare, cairo %.3f s %.0f MiB | quillmere %.3f s %.0f MiB\n", i + 1,
            b.seconds, b.pssMiB, c.seconds, c.pssMiB, q.seconds, q.pssMiB);
        bareTimes.push_back(b.seconds);
        bareMemory.push_back(b.pssMiB);
        cairoTimes.push_back(c.seconds);
        cairoMemory.push_back(c.pssMiB);
        ourTimes.push_back(q.seconds);
        ourMemory.push_back(q.pssMiB);
    }
    const double bt = median(bareTimes), ct = median(cairoTimes), qt = median(ourTimes);
    const double bm = median(bareMemory), cm = median(cairoMemory), qm = median(ourMemory);
    printf("\nlaunch to onload (median of %d runs): bare window %.3f s, bare window drawing with cairo %.3f s, "
           "Quillmere %.3f s\n",
        runs, bt, ct, qt);
    printf("  time ratio against the bare window %.2f, against the cairo one %.2f (goal <= 1.15)\n", qt / bt, qt / ct);
    printf("PSS of the process tree at onload: bare window %.0f MiB, cairo %.0f MiB, Quillmere %.0f MiB\n", bm, cm, qm);
    printf(
        "  memory ratio against the bare window %.2f, against the cairo one %.2f (goal <= 1.10)\n", qm / bm, qm / cm);
    return 0;
}
