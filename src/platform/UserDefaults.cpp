#include "platform/UserDefaults.h"

#include "platform/GObjectPtr.h"
#include "platform/Log.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <sys/file.h>
#include <utility>
#include <sys/stat.h>
#include <unistd.h>

namespace quillmere {

namespace {

constexpr const char* kGroup = "defaults";
constexpr int kMaxLinks = 40; // the kernel's own limit on a chain of links

struct KeyFileFree {
    void operator()(GKeyFile* file) const { g_key_file_free(file); }
};
using KeyFilePtr = std::unique_ptr<GKeyFile, KeyFileFree>;

// Comments, blank lines and translations are kept so that writing back loses nothing.
constexpr auto kLoadFlags = GKeyFileFlags(G_KEY_FILE_KEEP_COMMENTS | G_KEY_FILE_KEEP_TRANSLATIONS);

enum class ReadOutcome { Missing, Parsed, Unparsable, Failed };

// Follows `path` through symbolic links to the file they name, which need not exist yet,
// so that a write replaces the file a link points at rather than the link.
std::optional<std::string> followLinks(std::string path, std::string& failure)
{
    for (int hop = 0;; ++hop) {
        GStatBuf status;
        const bool exists = g_lstat(path.c_str(), &status) == 0;
        if (!exists && errno != ENOENT) {
            failure = g_strerror(errno);
            return std::nullopt;
        }
        if (!exists || !S_ISLNK(status.st_mode))
            break;
        if (hop == kMaxLinks) {
            failure = g_strerror(ELOOP);
            return std::nullopt;
        }
        GError* error = nullptr;
        GCharPtr link(g_file_read_link(path.c_str(), &error));
        if (!link) {
            failure = GErrorPtr(error)->message;
            return std::nullopt;
        }
        path = g_path_is_absolute(link.get()) ? link.get()
                                              : (std::filesystem::path(path).parent_path() / link.get()).string();
    }
    // Name the place itself rather than a way there through "..".
    std::error_code failed;
    auto real = std::filesystem::weakly_canonical(path, failed);
    return failed ? path : real.string();
}

// Reads and parses `target` into `file`; `why` says what went wrong.
ReadOutcome readInto(const std::string& target, GKeyFile* file, std::string& why)
{
    GStatBuf status;
    if (g_stat(target.c_str(), &status) != 0) {
        const int code = errno;
        if (code == ENOENT)
            return ReadOutcome::Missing;
        why = g_strerror(code);
        return ReadOutcome::Failed;
    }
    // A directory, a device or a pipe is nothing to parse and nothing to replace.
    if (!S_ISREG(status.st_mode)) {
        why = "not a regular file";
        return ReadOutcome::Failed;
    }
    GError* error = nullptr;
    gchar* raw = nullptr;
    gsize length = 0;
    if (!g_file_get_contents(target.c_str(), &raw, &length, &error)) {
        why = GErrorPtr(error)->message;
        return ReadOutcome::Failed;
    }
    GCharPtr contents(raw);
    if (!g_key_file_load_from_data(file, contents.get(), length, kLoadFlags, &error)) {
        why = GErrorPtr(error)->message;
        return ReadOutcome::Unparsable;
    }
    return ReadOutcome::Parsed;
}

// An exclusive advisory lock on a file beside `target`, held while this object lives.
// The data file itself cannot carry the lock: every write replaces it with a new inode.
class SidecarLock {
public:
    explicit SidecarLock(const std::string& target)
        : fd_(open((target + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600))
    {
        int result = -1;
        if (fd_ >= 0)
            while ((result = flock(fd_, LOCK_EX)) != 0 && errno == EINTR) { }
        if (result != 0)
            quillmereLog.error(
                "Writing settings without a lock on %{public}s.lock: %{public}s", target, g_strerror(errno));
    }
    ~SidecarLock()
    {
        if (fd_ >= 0)
            close(fd_); // releases the lock
    }
    SidecarLock(const SidecarLock&) = delete;
    SidecarLock& operator=(const SidecarLock&) = delete;

private:
    int fd_;
};

std::string timestamp()
{
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    return GCharPtr(g_date_time_format(now, "%Y%m%d-%H%M%S")).get();
}

} // namespace

struct UserDefaults::KeyFile {
    KeyFilePtr file {g_key_file_new()};
};

UserDefaults& UserDefaults::standard()
{
    static UserDefaults defaults(std::string(g_get_user_config_dir()) + "/quillmere/defaults.ini");
    return defaults;
}

UserDefaults::UserDefaults(std::string path)
    : path_(std::move(path))
    , values_(std::make_unique<KeyFile>())
{
    load();
}

UserDefaults::~UserDefaults() = default;

void UserDefaults::load()
{
    std::string why;
    const auto target = followLinks(path_, why);
    ReadOutcome outcome = target ? readInto(*target, values_->file.get(), why) : ReadOutcome::Failed;
    if (outcome == ReadOutcome::Unparsable) {
        // Look again under the lock: a writer may have just replaced it, and a good
        // file must not be moved aside.
        SidecarLock lock(*target);
        values_ = std::make_unique<KeyFile>();
        outcome = readInto(*target, values_->file.get(), why);
        if (outcome == ReadOutcome::Unparsable) {
            values_ = std::make_unique<KeyFile>();
            if (!keepDamaged(*target, why))
                state_ = FileState::Unreadable;
            return;
        }
    }
    if (outcome == ReadOutcome::Failed) {
        values_ = std::make_unique<KeyFile>();
        state_ = FileState::Unreadable;
        quillmereLog.error(
            "Settings file %{public}s cannot be read (%{public}s); defaults are in use and changes will not be saved",
            path_, why);
    }
}

bool UserDefaults::keepDamaged(const std::string& target, const std::string& reason)
{
    const std::string stem = target + ".damaged-" + timestamp();
    std::string copy = stem, failure;
    for (int attempt = 2; attempt < 100; ++attempt) {
        // Never over an older damaged copy: each holds settings of its own.
        int result = renameat2(AT_FDCWD, target.c_str(), AT_FDCWD, copy.c_str(), RENAME_NOREPLACE);
        if (result != 0 && (errno == EINVAL || errno == ENOSYS) && !g_file_test(copy.c_str(), G_FILE_TEST_EXISTS))
            result = g_rename(target.c_str(), copy.c_str()); // a file system without the no-replace rename
        if (result == 0) {
            state_ = FileState::Damaged;
            damagedCopy_ = copy;
            quillmereLog.error(
                "Settings file %{public}s is damaged (%{public}s); kept as %{public}s, defaults are in use", target,
                reason, copy);
            return true;
        }
        if (errno != EEXIST) {
            failure = g_strerror(errno);
            break;
        }
        copy = stem + "-" + std::to_string(attempt);
    }
    quillmereLog.error("Settings file %{public}s is damaged (%{public}s) and could not be kept aside (%{public}s); "
                       "defaults are in use and changes will not be saved",
        target, reason, failure.empty() ? "too many damaged copies" : failure);
    return false;
}

void UserDefaults::holdSaving(bool held)
{
    held_ = held;
    if (held_)
        return;
    for (const std::string& key : std::exchange(unsavedKeys_, {}))
        save(key);
}

void UserDefaults::save(const std::string& key)
{
    if (held_) {
        unsavedKeys_.insert(key);
        return;
    }
    if (state_ == FileState::Unreadable) {
        quillmereLog.error("Setting %{public}s not saved: the settings file %{public}s cannot be read", key, path_);
        return;
    }
    g_mkdir_with_parents(GCharPtr(g_path_get_dirname(path_.c_str())).get(), 0700);
    std::string why;
    const auto target = followLinks(path_, why);
    if (!target) {
        quillmereLog.error("Failed to save settings to %{public}s: %{public}s", path_, why);
        return;
    }
    SidecarLock lock(*target);
    // The change goes on top of what is on disk now, so an edit made meanwhile survives.
    auto onDisk = std::make_unique<KeyFile>();
    switch (readInto(*target, onDisk->file.get(), why)) {
    case ReadOutcome::Missing:
    case ReadOutcome::Parsed:
        break;
    case ReadOutcome::Unparsable: {
        if (!keepDamaged(*target, why)) {
            state_ = FileState::Unreadable;
            return;
        }
        // Nothing on disk to build on: write what this session knows.
        gsize length = 0;
        GCharPtr known(g_key_file_to_data(values_->file.get(), &length, nullptr));
        onDisk = std::make_unique<KeyFile>();
        g_key_file_load_from_data(onDisk->file.get(), known.get(), length, kLoadFlags, nullptr);
        break;
    }
    case ReadOutcome::Failed:
        state_ = FileState::Unreadable;
        quillmereLog.error(
            "Setting %{public}s not saved: the settings file %{public}s cannot be read (%{public}s)", key, path_, why);
        return;
    }
    GCharPtr raw(g_key_file_get_value(values_->file.get(), kGroup, key.c_str(), nullptr));
    g_key_file_set_value(onDisk->file.get(), kGroup, key.c_str(), raw.get());
    gsize length = 0;
    GCharPtr data(g_key_file_to_data(onDisk->file.get(), &length, nullptr));
    GStatBuf status;
    const int mode = g_stat(target->c_str(), &status) == 0 ? static_cast<int>(status.st_mode & 0777) : 0666;
    GError* error = nullptr;
    // A temporary file beside the target, flushed to disk, then renamed over it.
    if (!g_file_set_contents_full(target->c_str(), data.get(), static_cast<gssize>(length),
            GFileSetContentsFlags(G_FILE_SET_CONTENTS_CONSISTENT | G_FILE_SET_CONTENTS_DURABLE), mode, &error)) {
        quillmereLog.error("Failed to save settings to %{public}s: %{public}s", *target, GErrorPtr(error)->message);
        return;
    }
    values_ = std::move(onDisk);
}

void UserDefaults::reportWrongType(const std::string& key, const char* expected) const
{
    if (reportedKeys_.insert(key).second)
        quillmereLog.error(
            "Setting %{public}s in %{public}s is not a %{public}s; its default is in use", key, path_, expected);
}

std::optional<std::string> UserDefaults::string(const std::string& key) const
{
    if (!g_key_file_has_key(values_->file.get(), kGroup, key.c_str(), nullptr))
        return std::nullopt;
    // Fails on a bad escape or on text that is not UTF-8.
    GCharPtr value(g_key_file_get_string(values_->file.get(), kGroup, key.c_str(), nullptr));
    if (!value) {
        reportWrongType(key, "string");
        return std::nullopt;
    }
    return std::string(value.get());
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const
{
    auto value = string(key);
    if (value == "true")
        return true;
    if (value == "false")
        return false;
    if (value)
        reportWrongType(key, "boolean");
    return std::nullopt;
}

void UserDefaults::setString(const std::string& key, const std::string& value)
{
    g_key_file_set_string(values_->file.get(), kGroup, key.c_str(), value.c_str());
    save(key);
}

void UserDefaults::setBool(const std::string& key, bool value)
{
    g_key_file_set_boolean(values_->file.get(), kGroup, key.c_str(), value);
    save(key);
}

bool adBlockEnabled(const UserDefaults& defaults)
{
    return defaults.boolean(kAdBlockEnabledKey).value_or(true);
}

bool restoreTabsAtLaunch(const UserDefaults& defaults)
{
    return defaults.boolean(kRestoreTabsKey).value_or(true);
}

} // namespace quillmere
