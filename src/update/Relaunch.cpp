#include "Relaunch.h"

#include "platform/GObjectPtr.h"
#include "platform/Log.h"
#include "update/BuildSeams.h"

#include <gio/gio.h>
#include <glib-unix.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <memory>

namespace quillmere::Updater {

namespace {

constexpr const char* kReportVariable = "QUILLMERE_UPDATE_REPORT_FD";
constexpr int kChildReportFd = 3;
// D-Bus RequestName flag: fail rather than wait in the queue for the name.
constexpr guint32 kDoNotQueue = 4;

int& reportChannel()
{
    static int fd = -1;
    return fd;
}

// Asks the bus about the application's name without waiting for the answer on the main
// loop; `then` runs once the bus has answered, or at once when there is no bus.
void callBusAboutName(const char* method, GVariant* parameters, std::function<void()> then)
{
    GApplication* application = g_application_get_default();
    GDBusConnection* bus = application ? g_application_get_dbus_connection(application) : nullptr;
    if (!bus) {
        g_autoptr(GVariant) unused = g_variant_ref_sink(parameters);
        then();
        return;
    }
    g_dbus_connection_call(
        bus, "org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus", method, parameters, nullptr,
        G_DBUS_CALL_FLAGS_NONE, -1, nullptr,
        [](GObject* source, GAsyncResult* result, gpointer data) {
            std::unique_ptr<std::function<void()>> then(static_cast<std::function<void()>*>(data));
            g_autoptr(GVariant) reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, nullptr);
            (*then)();
        },
        new std::function<void()>(std::move(then)));
}

class Watch : public std::enable_shared_from_this<Watch> {
public:
    explicit Watch(std::function<void(bool)> outcome)
        : outcome_(std::move(outcome))
    {
    }

    void start(const std::string& executable)
    {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, ends) != 0) {
            quillmereLog.error("Update: no socket for the new copy: %{public}s", g_strerror(errno));
            decide(false);
            return;
        }
        ours_ = ends[0];
        auto launcher = adopt(g_subprocess_launcher_new(G_SUBPROCESS_FLAGS_NONE));
        // The launcher closes its end in this process once the child has it as fd 3.
        g_subprocess_launcher_take_fd(launcher.get(), ends[1], kChildReportFd);
        g_subprocess_launcher_setenv(launcher.get(), kReportVariable, std::to_string(kChildReportFd).c_str(), TRUE);
        g_autoptr(GError) error = nullptr;
        process_ = adopt(g_subprocess_launcher_spawn(launcher.get(), &error, executable.c_str(), nullptr));
        if (!process_) {
            quillmereLog.error("Update: the new copy cannot be started: %{public}s", error->message);
            decide(false);
            return;
        }
        faultPoint("relaunched");

        reader_ = g_unix_fd_add_full(
            G_PRIORITY_DEFAULT, ours_, GIOCondition(G_IO_IN | G_IO_HUP | G_IO_ERR),
            [](int, GIOCondition, gpointer data) {
                auto watch = *static_cast<std::shared_ptr<Watch>*>(data);
                return watch->read() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
            },
            hold(), release);
        timer_ = g_timeout_add_full(
            G_PRIORITY_DEFAULT, relaunchTimeoutMs(),
            [](gpointer data) {
                auto watch = *static_cast<std::shared_ptr<Watch>*>(data);
                quillmereLog.error("Update: the new copy did not report within %ld ms", relaunchTimeoutMs());
                watch->decide(false);
                return G_SOURCE_REMOVE;
            },
            hold(), release);
        g_subprocess_wait_async(
            process_.get(), nullptr,
            [](GObject*, GAsyncResult*, gpointer data) {
                auto watch = *static_cast<std::shared_ptr<Watch>*>(data);
                release(data);
                watch->ended();
            },
            hold());
    }

private:
    // Each pending callback keeps the watch alive through one of these.
    gpointer hold() { return new std::shared_ptr<Watch>(shared_from_this()); }
    static void release(gpointer data) { delete static_cast<std::shared_ptr<Watch>*>(data); }

    // Reads what the new copy wrote; false once the watch has decided.
    bool read()
    {
        char buffer[64];
        while (!decided_) {
            const ssize_t count = recv(ours_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (count > 0) {
                said_.append(buffer, count);
                if (said_.find("ok\n") != std::string::npos)
                    decide(true);
            } else if (count < 0 && errno == EINTR) {
                continue;
            } else if (count < 0 && errno == EAGAIN) {
                break;
            } else {
                // Closed without the word: it failed, even if it is still running.
                decide(false);
            }
        }
        return !decided_;
    }

    void ended()
    {
        exited_ = true;
        // A report written just before the end is still in the socket.
        if (!decided_)
            read();
        decide(false);
    }

    void decide(bool started)
    {
        if (decided_) {
            if (exited_ && stopping_)
                finish();
            return;
        }
        decided_ = true;
        for (guint* source : {&timer_, &reader_})
            if (*source)
                g_source_remove(std::exchange(*source, 0));
        started_ = started;
        if (!started && process_ && !exited_) {
            // A copy that hangs must not live on beside us holding the name; its end is
            // awaited before the previous copy goes back.
            stopping_ = true;
            g_subprocess_force_exit(process_.get());
            return;
        }
        finish();
    }

    void finish()
    {
        if (ours_ >= 0)
            close(std::exchange(ours_, -1));
        if (auto outcome = std::exchange(outcome_, nullptr))
            outcome(started_);
    }

    std::function<void(bool)> outcome_;
    GObjectPtr<GSubprocess> process_;
    int ours_ = -1;
    guint reader_ = 0;
    guint timer_ = 0;
    std::string said_;
    bool decided_ = false;
    bool started_ = false;
    bool exited_ = false;
    bool stopping_ = false;
};

} // namespace

void relaunchAndWatch(const std::string& executable, std::function<void(bool)> outcome)
{
    auto watch = std::make_shared<Watch>(std::move(outcome));
    // Our well-known bus name goes first, so that the new copy becomes the running
    // instance instead of handing itself over to us.
    GApplication* application = g_application_get_default();
    const char* id = application ? g_application_get_application_id(application) : nullptr;
    callBusAboutName(
        "ReleaseName", g_variant_new("(s)", id ? id : ""), [watch, executable] { watch->start(executable); });
}

void reclaimApplicationName()
{
    GApplication* application = g_application_get_default();
    const char* id = application ? g_application_get_application_id(application) : nullptr;
    if (id)
        callBusAboutName("RequestName", g_variant_new("(su)", id, kDoNotQueue), [] {});
}

void takeReportChannel()
{
    const char* value = g_getenv(kReportVariable);
    guint64 fd = 0;
    if (!value || !g_ascii_string_to_unsigned(value, 10, 0, G_MAXINT, &fd, nullptr))
        return;
    g_unsetenv(kReportVariable);
    struct stat status;
    if (fstat(int(fd), &status) != 0 || !S_ISSOCK(status.st_mode))
        return;
    fcntl(int(fd), F_SETFD, FD_CLOEXEC);
    reportChannel() = int(fd);
}

bool startedByUpdate()
{
    return reportChannel() >= 0;
}

void reportStarted()
{
    const int fd = std::exchange(reportChannel(), -1);
    if (fd < 0)
        return;
    // MSG_NOSIGNAL: a watcher that is gone must not take this process down with SIGPIPE.
    const bool sent = send(fd, "ok\n", 3, MSG_NOSIGNAL) == 3;
    close(fd);
    quillmereLog.info("Update: reported a good start to the previous copy: %{bool}d", sent);
}

} // namespace quillmere::Updater
