// The program as a separate process, started the way a user starts it, with its
// output collected.
#pragma once

#include "support/MainLoop.h"

#include <gio/gio.h>

#include <csignal>

#include <stdexcept>
#include <string>
#include <vector>

namespace quillmere::test {

// A running copy of the program with its output collected.
class Program {
public:
    Program(const std::string& binary, std::vector<std::string> arguments)
    {
        std::vector<const char*> argv {binary.c_str()};
        for (const auto& argument : arguments)
            argv.push_back(argument.c_str());
        argv.push_back(nullptr);
        GError* error = nullptr;
        process_ = g_subprocess_newv(
            argv.data(), GSubprocessFlags(G_SUBPROCESS_FLAGS_STDOUT_PIPE | G_SUBPROCESS_FLAGS_STDERR_PIPE), &error);
        if (!process_)
            throw std::runtime_error(error->message);
        pid_ = g_subprocess_get_identifier(process_);
        g_subprocess_communicate_utf8_async(
            process_, nullptr, nullptr,
            [](GObject* source, GAsyncResult* result, gpointer data) {
                auto* self = static_cast<Program*>(data);
                char* out = nullptr;
                char* err = nullptr;
                g_subprocess_communicate_utf8_finish(G_SUBPROCESS(source), result, &out, &err, nullptr);
                self->stdout_ = out ? out : "";
                self->stderr_ = err ? err : "";
                g_free(out);
                g_free(err);
                self->finished_ = true;
            },
            this);
    }
    ~Program()
    {
        if (!finished_) {
            g_subprocess_force_exit(process_);
            runUntil([&] { return finished_; }, 5000);
        }
        g_object_unref(process_);
    }

    bool waitForExit(int timeoutMs = 15000)
    {
        return runUntil([&] { return finished_; }, timeoutMs);
    }
    // Ends the program at once, as a crash would.
    void kill() { g_subprocess_send_signal(process_, SIGKILL); }
    // Closes the program's windows as a window manager's close button does.
    void closeWindows() const;
    int exitStatus() const
    {
        return g_subprocess_get_if_exited(process_) ? g_subprocess_get_exit_status(process_) : -1;
    }
    const std::string& pid() const { return pid_; }
    const std::string& standardOutput() const { return stdout_; }
    const std::string& standardError() const { return stderr_; }

    // The program's own log entries so far: from the journal when journald runs,
    // otherwise from standard error (complete once the program has ended).
    std::string log() const;
    static bool journalRunning();

private:
    GSubprocess* process_ = nullptr;
    bool finished_ = false;
    std::string pid_;
    std::string stdout_;
    std::string stderr_;
};

// Installs a copy of the program at <new temporary dir>/quillmere/bin/quillmere with
// `rulesJson` as its rules document (none when empty); answers the copy's path.
// Links the build's web process extension into `bundle`, where the program looks for it.
void linkWebProcessExtension(const std::string& bundle);

std::string installCopy(const std::string& binary, const std::string& rulesJson);

// Asks the running program to do one of its application actions over D-Bus, as
// `gdbus call ... org.gtk.Actions.Activate` would.
void activateAction(const char* action);

} // namespace quillmere::test
