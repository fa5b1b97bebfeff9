// The user-defaults store: a key file at <user config dir>/quillmere/defaults.ini,
// group "defaults". Read once at start; every change re-reads the file under a lock and
// writes back only the key it changes, atomically, so edits made meanwhile, comments and
// keys this program does not know survive. A damaged file is moved aside rather than
// overwritten; an unreadable one is left alone and nothing is saved over it.
#pragma once

#include <memory>
#include <optional>
#include <set>
#include <string>

namespace quillmere {

inline constexpr const char* kHomepageKey = "quillmereHomepage";
inline constexpr const char* kAdBlockEnabledKey = "quillmereAdBlockEnabled";
inline constexpr const char* kRestoreTabsKey = "quillmereRestoreTabs";

class UserDefaults {
public:
    enum class FileState {
        Healthy, // read as it was, or not there yet
        Damaged, // could not be parsed; kept aside, defaults in use, changes are saved anew
        Unreadable, // could not be read; defaults in use, changes last only this session
    };

    // The process-wide store.
    static UserDefaults& standard();

    explicit UserDefaults(std::string path);
    ~UserDefaults();

    std::optional<std::string> string(const std::string& key) const;
    // Some(value) only when the stored text is exactly "true" or "false".
    std::optional<bool> boolean(const std::string& key) const;

    void setString(const std::string& key, const std::string& value);
    void setBool(const std::string& key, bool value);

    const std::string& path() const { return path_; }
    FileState fileState() const { return state_; }
    // Where the damaged file was kept; empty unless the state is Damaged.
    const std::string& damagedCopy() const { return damagedCopy_; }

    // While held, changes stay in memory and reach the file only when the hold ends: an
    // updated copy that is starting owns the file meanwhile.
    void holdSaving(bool held);

private:
    struct KeyFile;
    void load();
    // Writes `key` as it stands in memory on top of the file as it is on disk now.
    void save(const std::string& key);
    // Moves an unparsable file aside; false when it could not be moved.
    bool keepDamaged(const std::string& target, const std::string& reason);
    // Logs once per key that its stored value is not of the key's type.
    void reportWrongType(const std::string& key, const char* expected) const;

    std::string path_;
    std::unique_ptr<KeyFile> values_;
    FileState state_ = FileState::Healthy;
    std::string damagedCopy_;
    mutable std::set<std::string> reportedKeys_;
    bool held_ = false;
    std::set<std::string> unsavedKeys_;
};

// The ad-block switch as every part of the program reads it: a stored boolean wins;
// nothing stored, or anything that is not a boolean, means on.
bool adBlockEnabled(const UserDefaults& defaults = UserDefaults::standard());

// What a launch opens: the previous session's tabs (a stored false: the homepage).
bool restoreTabsAtLaunch(const UserDefaults& defaults = UserDefaults::standard());

} // namespace quillmere
