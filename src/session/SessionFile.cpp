#include "session/SessionFile.h"

#include "platform/GObjectPtr.h"
#include "platform/Log.h"

#include <glib.h>
#include <glib/gstdio.h>
#include <nlohmann/json.hpp>

#include <condition_variable>
#include <fstream>
#include <sstream>
#include <unistd.h>

namespace quillmere::SessionFile {

namespace {

using nlohmann::json;

constexpr int kFormat = 1;

json tabToJson(const SavedTab& tab)
{
    return {{"uri", tab.uri}, {"title", tab.title}, {"state", tab.state}};
}

std::optional<SavedTab> tabFromJson(const json& value)
{
    if (!value.is_object())
        return std::nullopt;
    SavedTab tab;
    for (auto [key, field] : {std::pair {"uri", &tab.uri}, {"title", &tab.title}, {"state", &tab.state}}) {
        auto found = value.find(key);
        if (found == value.end())
            continue;
        if (!found->is_string())
            return std::nullopt;
        *field = found->get<std::string>();
    }
    return tab;
}

bool tabsFromJson(const json& document, const char* key, std::vector<SavedTab>& tabs)
{
    auto list = document.find(key);
    if (list == document.end())
        return true;
    if (!list->is_array())
        return false;
    for (const auto& item : *list) {
        auto tab = tabFromJson(item);
        if (!tab)
            return false;
        tabs.push_back(std::move(*tab));
    }
    return true;
}

std::string timestamp()
{
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    return GCharPtr(g_date_time_format(now, "%Y%m%d-%H%M%S")).get();
}

std::string firstLine(const std::string& path)
{
    std::string line;
    std::getline(std::ifstream(path), line);
    return line;
}

// Field 22 of /proc/<pid>/stat: when the process started, in clock ticks since boot.
std::string startTimeOf(const std::string& pid)
{
    const std::string stat = firstLine("/proc/" + pid + "/stat");
    // The command name, in parentheses, may hold spaces; the third field follows it.
    const size_t end = stat.rfind(") ");
    if (end == std::string::npos)
        return "";
    std::istringstream fields(stat.substr(end + 2));
    std::string field;
    for (int number = 3; number <= 22 && fields >> field; ++number)
        if (number == 22)
            return field;
    return "";
}

std::string bootId()
{
    return firstLine("/proc/sys/kernel/random/boot_id");
}

} // namespace

std::string defaultPath()
{
    return std::string(g_get_user_data_dir()) + "/quillmere/session.json";
}

std::string serialize(const Session& session)
{
    json document = {{"format", kFormat}, {"active", session.active}};
    document["tabs"] = json::array();
    for (const auto& tab : session.tabs)
        document["tabs"].push_back(tabToJson(tab));
    document["closed"] = json::array();
    for (const auto& tab : session.closed)
        document["closed"].push_back(tabToJson(tab));
    const LaunchRecord& launch = session.launch;
    document["launch"] = {{"id", launch.id}, {"clean", launch.clean}, {"restored", launch.restored},
        {"settled", launch.settled}, {"crashStreak", launch.crashStreak}};
    // Titles come from pages: anything that is not UTF-8 becomes U+FFFD rather than fail.
    return document.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::optional<Session> parse(const std::string& text)
{
    const json document = json::parse(text, nullptr, false);
    if (!document.is_object() || document.value("format", 0) != kFormat)
        return std::nullopt;
    Session session;
    if (!tabsFromJson(document, "tabs", session.tabs) || !tabsFromJson(document, "closed", session.closed))
        return std::nullopt;
    auto active = document.find("active");
    if (active != document.end()) {
        if (!active->is_number_integer())
            return std::nullopt;
        session.active = active->get<int>();
    }
    auto launch = document.find("launch");
    if (launch != document.end() && launch->is_object()) {
        LaunchRecord& record = session.launch;
        const auto flag = [&](const char* key) {
            auto found = launch->find(key);
            return found != launch->end() && found->is_boolean() && found->get<bool>();
        };
        auto id = launch->find("id");
        record.id = id != launch->end() && id->is_string() ? id->get<std::string>() : "";
        record.clean = flag("clean");
        record.restored = flag("restored");
        record.settled = flag("settled");
        auto streak = launch->find("crashStreak");
        record.crashStreak = streak != launch->end() && streak->is_number_integer() ? streak->get<int>() : 0;
    }
    if (session.active < 0 || session.active >= static_cast<int>(session.tabs.size()))
        session.active = 0;
    return session;
}

ReadOutcome read(const std::string& path, Session& session)
{
    GError* error = nullptr;
    gchar* raw = nullptr;
    gsize length = 0;
    std::string why;
    if (g_file_get_contents(path.c_str(), &raw, &length, &error)) {
        GCharPtr contents(raw);
        if (auto parsed = parse(std::string(contents.get(), length))) {
            session = std::move(*parsed);
            return ReadOutcome::Read;
        }
        why = "not a session";
    } else {
        GErrorPtr failure(error);
        if (g_error_matches(failure.get(), G_FILE_ERROR, G_FILE_ERROR_NOENT))
            return ReadOutcome::Missing;
        why = failure->message;
    }
    std::string copy = path + ".damaged-" + timestamp();
    for (int attempt = 2; g_file_test(copy.c_str(), G_FILE_TEST_EXISTS); ++attempt)
        copy = path + ".damaged-" + timestamp() + "-" + std::to_string(attempt);
    if (g_rename(path.c_str(), copy.c_str()) == 0)
        quillmereLog.error("Session file %{public}s is damaged (%{public}s); kept as %{public}s, the homepage opens "
                           "instead",
            path, why, copy);
    else
        quillmereLog.error("Session file %{public}s is damaged (%{public}s) and could not be moved aside "
                           "(%{public}s); the homepage opens instead",
            path, why, g_strerror(errno));
    return ReadOutcome::Damaged;
}

bool write(const std::string& path, const std::string& text)
{
    g_mkdir_with_parents(GCharPtr(g_path_get_dirname(path.c_str())).get(), 0700);
    GError* error = nullptr;
    if (!g_file_set_contents_full(path.c_str(), text.data(), static_cast<gssize>(text.size()),
            GFileSetContentsFlags(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE), 0600, &error)) {
        quillmereLog.error("Failed to save the session to %{public}s: %{public}s", path, GErrorPtr(error)->message);
        return false;
    }
    return true;
}

std::string currentLaunchId()
{
    return launchIdOf(getpid());
}

std::string launchIdOf(int pid)
{
    const std::string started = startTimeOf(std::to_string(pid));
    return started.empty() ? "" : bootId() + ":" + std::to_string(pid) + ":" + started;
}

bool isRunning(const std::string& id)
{
    const size_t second = id.rfind(':');
    const size_t first = second == std::string::npos || second == 0 ? std::string::npos : id.rfind(':', second - 1);
    if (first == std::string::npos)
        return false;
    const std::string pid = id.substr(first + 1, second - first - 1);
    const std::string started = id.substr(second + 1);
    return id.substr(0, first) == bootId() && !started.empty() && startTimeOf(pid) == started;
}

int crashStreakAfter(const LaunchRecord& previous, bool previousStillRunning)
{
    if (previous.clean || previousStillRunning)
        return 0;
    return previous.restored && !previous.settled ? previous.crashStreak + 1 : 0;
}

} // namespace quillmere::SessionFile

namespace quillmere {

SessionWriter::SessionWriter(std::string path)
    : path_(std::move(path))
    , thread_([this] { run(); })
{
}

SessionWriter::~SessionWriter()
{
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void SessionWriter::save(std::string text)
{
    {
        std::lock_guard lock(mutex_);
        pending_ = std::move(text);
        ++queued_;
    }
    wake_.notify_all();
}

void SessionWriter::flush()
{
    std::unique_lock lock(mutex_);
    const std::uint64_t target = queued_;
    written_.wait(lock, [&] { return done_ >= target; });
}

void SessionWriter::run()
{
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stopping_ || pending_; });
        if (!pending_)
            return; // stopping, and everything is written
        std::string text = std::move(*pending_);
        pending_.reset();
        const std::uint64_t upTo = queued_;
        lock.unlock();
        SessionFile::write(path_, text);
        lock.lock();
        done_ = upTo;
        written_.notify_all();
    }
}

} // namespace quillmere
