// The cost of content blocking at launch. A first launch on a fresh profile compiles the
// shipped rules document: how long the engine takes, the UI process's peak memory, and
// how long the main loop stalls meanwhile (probed over D-Bus every 50 ms, since the
// application answers its action calls on the main loop). A second launch on the same
// profile finds the compiled list in the store: how long from the window being shown
// until the rules are attached.
//
// Run it through tests/isolate.sh (its own display, session bus and home), with journald
// running or not:   tests/isolate.sh build/bench/blocking_bench
#include <gio/gio.h>
#include <glib/gstdio.h>
#include <libsoup/soup.h>

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

namespace {

struct LogLine {
    gint64 at; // monotonic microseconds, when the bench saw it
    std::string message;
};

// One run of the program, its log lines collected from standard error or the journal.
class Run {
public:
    Run(const std::string& profile)
    {
        GSubprocessLauncher* launcher = g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_STDERR_PIPE);
        g_subprocess_launcher_setenv(launcher, "HOME", (profile + "/home").c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "XDG_CONFIG_HOME", (profile + "/config").c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "XDG_DATA_HOME", (profile + "/data").c_str(), TRUE);
        g_subprocess_launcher_setenv(launcher, "XDG_CACHE_HOME", (profile + "/cache").c_str(), TRUE);
        started_ = g_get_monotonic_time();
        process_ = g_subprocess_launcher_spawn(launcher, nullptr, QUILLMERE_BINARY, nullptr);
        g_object_unref(launcher);
        pid_ = g_subprocess_get_identifier(process_);
        stderr_ = g_data_input_stream_new(g_subprocess_get_stderr_pipe(process_));
        readLine();
    }
    ~Run()
    {
        g_subprocess_force_exit(process_);
        g_subprocess_wait(process_, nullptr, nullptr);
        g_object_unref(stderr_);
        g_object_unref(process_);
    }

    // The first line containing `text`, waiting up to `timeoutMs` for it.
    const LogLine* waitFor(const std::string& text, int timeoutMs, const std::function<void()>& meanwhile = {})
    {
        const gint64 deadline = g_get_monotonic_time() + gint64(timeoutMs) * 1000;
        while (g_get_monotonic_time() < deadline) {
            pollJournal();
            for (const auto& line : lines_)
                if (line.message.find(text) != std::string::npos)
                    return &line;
            if (meanwhile)
                meanwhile();
            g_main_context_iteration(nullptr, FALSE);
            g_usleep(5000);
        }
        return nullptr;
    }

    long peakRssKiB() const { return peakRssKiB(pid_); }

    // The peak memory of the rules compiler the program started, while it runs.
    long helperPeakRssKiB() const
    {
        GDir* proc = g_dir_open("/proc", 0, nullptr);
        long peak = -1;
        while (const char* name = g_dir_read_name(proc)) {
            std::ifstream status(std::string("/proc/") + name + "/status");
            std::string line, comm;
            bool child = false;
            while (std::getline(status, line)) {
                if (line.rfind("Name:", 0) == 0)
                    comm = line.substr(6);
                if (line.rfind("PPid:", 0) == 0)
                    child = std::to_string(std::stol(line.substr(5))) == pid_;
            }
            if (child && comm.rfind("quillmere-rules", 0) == 0)
                peak = peakRssKiB(name);
        }
        g_dir_close(proc);
        return peak;
    }

    static long peakRssKiB(const std::string& pid)
    {
        std::ifstream status("/proc/" + pid + "/status");
        std::string line;
        while (std::getline(status, line))
            if (line.rfind("VmHWM:", 0) == 0)
                return std::stol(line.substr(6));
        return -1;
    }
    gint64 started() const { return started_; }

private:
    void readLine()
    {
        g_data_input_stream_read_line_async(
            stderr_, G_PRIORITY_DEFAULT, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                char* text =
                    g_data_input_stream_read_line_finish(G_DATA_INPUT_STREAM(source), result, nullptr, nullptr);
                if (!text)
                    return;
                auto* self = static_cast<Run*>(data);
                self->lines_.push_back({g_get_monotonic_time(), text});
                g_free(text);
                self->readLine();
            },
            this);
    }

    // With journald running the program logs there; read what arrived since last time,
    // with the journal's own receive time (CLOCK_MONOTONIC, like ours).
    void pollJournal()
    {
        if (!g_file_test("/run/systemd/journal/socket", G_FILE_TEST_EXISTS))
            return;
        const std::string command = "journalctl --no-pager -o json GLIB_DOMAIN=com.brenhollow.quillmere _PID=" + pid_;
        char* out = nullptr;
        g_spawn_command_line_sync(command.c_str(), &out, nullptr, nullptr, nullptr);
        const std::string text = out ? out : "";
        g_free(out);
        size_t seen = 0, start = 0;
        for (size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1, ++seen) {
            if (seen < journalSeen_)
                continue;
            auto entry = nlohmann::json::parse(text.substr(start, end - start), nullptr, false);
            if (entry.is_object() && entry["MESSAGE"].is_string())
                lines_.push_back({std::stoll(entry["__MONOTONIC_TIMESTAMP"].get<std::string>()),
                    entry["MESSAGE"].get<std::string>()});
            ++journalSeen_;
        }
    }

    GSubprocess* process_;
    GDataInputStream* stderr_;
    std::string pid_;
    gint64 started_;
    std::vector<LogLine> lines_;
    size_t journalSeen_ = 0;
};

// How long the program's main loop takes to answer one action-list call over D-Bus.
double probeMainLoopMs(GDBusConnection* bus)
{
    const gint64 start = g_get_monotonic_time();
    GVariant* reply = g_dbus_connection_call_sync(bus, "com.brenhollow.quillmere", "/com/brenhollow/quillmere",
        "org.gtk.Actions", "List", nullptr, nullptr, G_DBUS_CALL_FLAGS_NONE, 10000, nullptr, nullptr);
    if (reply)
        g_variant_unref(reply);
    return (g_get_monotonic_time() - start) / 1000.0;
}

} // namespace

int main()
{
    SoupServer* server = soup_server_new(nullptr, nullptr);
    soup_server_add_handler(
        server, nullptr,
        [](SoupServer*, SoupServerMessage* message, const char*, GHashTable*, gpointer) {
            static const char page[] = "<!DOCTYPE html><title>Tiny</title><p>Hello.</p>";
            soup_server_message_set_status(message, 200, nullptr);
            soup_server_message_set_response(message, "text/html", SOUP_MEMORY_STATIC, page, sizeof page - 1);
        },
        nullptr, nullptr);
    soup_server_listen_local(server, 0, SOUP_SERVER_LISTEN_IPV4_ONLY, nullptr);
    GSList* uris = soup_server_get_uris(server);
    const int port = g_uri_get_port(static_cast<GUri*>(uris->data));
    g_slist_free_full(uris, reinterpret_cast<GDestroyNotify>(g_uri_unref));

    char* dir = g_dir_make_tmp("quillmere-bench-XXXXXX", nullptr);
    const std::string profile = dir;
    g_free(dir);
    for (const char* sub : {"/home", "/config/quillmere", "/data", "/cache"})
        g_mkdir_with_parents((profile + sub).c_str(), 0700);
    std::ofstream(profile + "/config/quillmere/defaults.ini")
        << "[defaults]\nquillmereHomepage=http://127.0.0.1:" << port << "/\n";
    GDBusConnection* bus = g_bus_get_sync(G_BUS_TYPE_SESSION, nullptr, nullptr);

    {
        Run first(profile);
        const LogLine* compiling = first.waitFor("Compiling content rule list", 30000);
        if (!compiling) {
            fprintf(stderr, "the first launch never started compiling\n");
            return 1;
        }
        double worstStall = 0;
        int probes = 0;
        long helperPeak = -1;
        const LogLine* compiled = first.waitFor("Content rule list compiled successfully", 120000, [&] {
            static gint64 last = 0;
            if (g_get_monotonic_time() - last < 50000)
                return;
            last = g_get_monotonic_time();
            const double ms = probeMainLoopMs(bus);
            if (ms > 100)
                printf("  main loop answered after %.0f ms, %.2f s into the compile\n", ms,
                    (g_get_monotonic_time() - compiling->at) / 1e6);
            worstStall = std::max(worstStall, ms);
            helperPeak = std::max(helperPeak, first.helperPeakRssKiB());
            ++probes;
        });
        if (!compiled) {
            fprintf(stderr, "the compile never finished\n");
            return 1;
        }
        printf("first launch: %s\n", compiling->message.c_str());
        printf("  compile time %.2f s (goal < 15 s)\n", (compiled->at - compiling->at) / 1e6);
        printf("  peak memory of the UI process %.0f MiB", first.peakRssKiB() / 1024.0);
        if (helperPeak > 0)
            printf(", of the rules compiler process %.0f MiB", helperPeak / 1024.0);
        printf("\n");
        printf("  slowest main-loop answer while compiling %.0f ms over %d probes\n", worstStall, probes);
    }

    {
        Run second(profile);
        const LogLine* shown = second.waitFor("Suspend inhibitor", 30000);
        const LogLine* attached = second.waitFor("Ad-block rule list attached", 30000);
        const LogLine* reused = second.waitFor("Reusing cached content rule list", 1000);
        if (!shown || !attached || !reused) {
            fprintf(stderr, "the second launch did not reuse and attach the stored list\n");
            return 1;
        }
        printf("second launch: rules attached %.1f ms after start; window shown %.1f ms after start\n",
            (attached->at - second.started()) / 1000.0, (shown->at - second.started()) / 1000.0);
        printf("  from window shown to rules attached: %.1f ms (goal < 50 ms; negative: attached before the window "
               "showed)\n",
            (attached->at - shown->at) / 1000.0);
    }
    std::string remove = "rm -rf '" + profile + "'";
    return system(remove.c_str()) == 0 ? 0 : 1;
}
