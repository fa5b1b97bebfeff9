// The session file: the open tabs (each with its back and forward history as the engine
// serialises it, its address and its title), which one is active, the recently closed
// tabs, and a record of the launch that wrote it. It is written whole and atomically, and
// read once at launch. The launch record says whether that launch ended cleanly and
// whether it had restored a session that has not yet run a minute, which is how a
// session that keeps crashing the browser is caught.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace quillmere {

struct SavedTab {
    std::string uri;
    std::string title;
    std::string state; // the engine's serialised session state, Base64; may be empty
};

struct LaunchRecord {
    std::string id; // the process that wrote the file (see currentLaunchId)
    bool clean = false; // the program ended normally after writing it
    bool restored = false; // that launch restored a session...
    bool settled = false; // ...and then ran for a minute
    int crashStreak = 0; // launches before it that crashed within a minute of restoring
};

struct Session {
    std::vector<SavedTab> tabs;
    int active = 0;
    std::vector<SavedTab> closed; // most recently closed last
    LaunchRecord launch;
};

namespace SessionFile {

inline constexpr int kMaxClosedTabs = 10;
// How long a restored session must run before its crash no longer counts against it.
inline constexpr int kSettleSeconds = 60;

// <user data dir>/quillmere/session.json
std::string defaultPath();

std::string serialize(const Session& session);
// None for text that is not a session.
std::optional<Session> parse(const std::string& text);

enum class ReadOutcome { Missing, Read, Damaged };
// Reads the session at `path`. A file that cannot be read or parsed is moved aside with a
// log line and counts as Damaged.
ReadOutcome read(const std::string& path, Session& session);

// Writes `text` to `path` atomically (a temporary file renamed over it); false on failure,
// with a log line.
bool write(const std::string& path, const std::string& text);

// This process, as no other process on this boot is: "<boot id>:<pid>:<start time>".
std::string currentLaunchId();
// The same for another running process; empty when there is none.
std::string launchIdOf(int pid);
// Whether the process `id` names is still running (a launch whose successor started
// before it ended, as an update's relaunch does).
bool isRunning(const std::string& id);

// How many launches in a row, counting the previous one, crashed within a minute of
// restoring; `previous` is the record the previous launch left.
int crashStreakAfter(const LaunchRecord& previous, bool previousStillRunning);
// Whether a launch after such a streak offers the session instead of restoring it.
inline bool shouldOfferInsteadOfRestoring(int crashStreak)
{
    return crashStreak >= 2;
}

} // namespace SessionFile

// Writes session texts to one file on a thread of its own; when several wait, only the
// latest is written.
class SessionWriter {
public:
    explicit SessionWriter(std::string path);
    // Writes what is still waiting.
    ~SessionWriter();
    SessionWriter(const SessionWriter&) = delete;
    SessionWriter& operator=(const SessionWriter&) = delete;

    void save(std::string text);
    // Waits until the latest text saved is on disk.
    void flush();
    const std::string& path() const { return path_; }

private:
    void run();

    const std::string path_;
    std::mutex mutex_;
    std::condition_variable wake_, written_;
    std::optional<std::string> pending_;
    std::uint64_t queued_ = 0, done_ = 0;
    bool stopping_ = false;
    std::thread thread_; // last: starts once the rest is ready
};

} // namespace quillmere
