// The user-defaults store: a key file at <user config dir>/quillmere/defaults.ini,
// group "defaults". Read once, written through atomically on every change. A missing,
// unreadable or corrupt file reads as empty.
#pragma once

#include <memory>
#include <optional>
#include <string>

namespace quillmere {

inline constexpr const char* kHomepageKey = "quillmereHomepage";
inline constexpr const char* kAdBlockEnabledKey = "quillmereAdBlockEnabled";

class UserDefaults {
public:
    // The process-wide store.
    static UserDefaults& standard();

    explicit UserDefaults(std::string path);

    std::optional<std::string> string(const std::string& key) const;
    // Some(value) only when the stored text is exactly "true" or "false".
    std::optional<bool> boolean(const std::string& key) const;

    void setString(const std::string& key, const std::string& value);
    void setBool(const std::string& key, bool value);

    const std::string& path() const { return path_; }

    // While held, changes stay in memory and reach the file only when the hold ends: an
    // updated copy that is starting owns the file meanwhile.
    void holdSaving(bool held);

private:
    void load();
    void save();

    std::string path_;
    bool held_ = false;
    bool unsaved_ = false;
    struct Impl;
    std::shared_ptr<Impl> impl_;
};

// The ad-block switch as every part of the program reads it: a stored boolean wins;
// nothing stored, or anything that is not a boolean, means on.
bool adBlockEnabled(const UserDefaults& defaults = UserDefaults::standard());

} // namespace quillmere
