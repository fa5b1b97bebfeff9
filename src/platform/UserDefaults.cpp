#include "platform/UserDefaults.h"

#include "platform/Log.h"

#include <glib.h>

#include <memory>
#include <utility>

namespace quillmere {

namespace {
constexpr const char* kGroup = "defaults";
}

struct UserDefaults::Impl {
    GKeyFile* file = g_key_file_new();
    ~Impl() { g_key_file_free(file); }
};

UserDefaults& UserDefaults::standard()
{
    static UserDefaults defaults(std::string(g_get_user_config_dir()) + "/quillmere/defaults.ini");
    return defaults;
}

UserDefaults::UserDefaults(std::string path)
    : path_(std::move(path))
    , impl_(std::make_shared<Impl>())
{
    load();
}

void UserDefaults::load()
{
    GError* error = nullptr;
    if (!g_key_file_load_from_file(impl_->file, path_.c_str(), G_KEY_FILE_KEEP_COMMENTS, &error)) {
        // Not there yet, unreadable or corrupt: start empty rather than fail.
        g_clear_error(&error);
        g_key_file_free(impl_->file);
        impl_->file = g_key_file_new();
    }
}

void UserDefaults::holdSaving(bool held)
{
    held_ = held;
    if (!held_ && std::exchange(unsaved_, false))
        save();
}

void UserDefaults::save()
{
    if (held_) {
        unsaved_ = true;
        return;
    }
    char* directory = g_path_get_dirname(path_.c_str());
    g_mkdir_with_parents(directory, 0700);
    g_free(directory);
    GError* error = nullptr;
    // g_key_file_save_to_file writes a temporary file and renames it over the old one.
    if (!g_key_file_save_to_file(impl_->file, path_.c_str(), &error)) {
        quillmereLog.error("Failed to save settings to %{public}s: %{public}s", path_, error->message);
        g_clear_error(&error);
    }
}

std::optional<std::string> UserDefaults::string(const std::string& key) const
{
    char* raw = g_key_file_get_value(impl_->file, kGroup, key.c_str(), nullptr);
    if (!raw)
        return std::nullopt;
    g_free(raw);
    char* value = g_key_file_get_string(impl_->file, kGroup, key.c_str(), nullptr);
    if (!value)
        return std::nullopt;
    std::string result(value);
    g_free(value);
    return result;
}

std::optional<bool> UserDefaults::boolean(const std::string& key) const
{
    auto value = string(key);
    if (value == "true")
        return true;
    if (value == "false")
        return false;
    return std::nullopt;
}

void UserDefaults::setString(const std::string& key, const std::string& value)
{
    g_key_file_set_string(impl_->file, kGroup, key.c_str(), value.c_str());
    save();
}

void UserDefaults::setBool(const std::string& key, bool value)
{
    g_key_file_set_string(impl_->file, kGroup, key.c_str(), value ? "true" : "false");
    save();
}

bool adBlockEnabled(const UserDefaults& defaults)
{
    return defaults.boolean(kAdBlockEnabledKey).value_or(true);
}

} // namespace quillmere
