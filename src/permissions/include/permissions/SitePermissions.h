// The answers the user gave to sites' permission requests, per site (host) and kind,
// kept in the profile database so that they hold after a restart.
#pragma once

#include "platform/ProfileDatabase.h"

#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quillmere {

class SitePermissions {
public:
    // Reads the stored answers off the main thread; `onLoaded` runs once they are known.
    explicit SitePermissions(std::shared_ptr<ProfileDatabase> database);

    // The remembered answer of `host` for `kind` ("notifications", "geolocation", …).
    std::optional<bool> answer(const std::string& host, const std::string& kind) const;
    // `origin` (scheme, host and port) is what the engine is told at the next launch.
    void remember(const std::string& host, const std::string& kind, bool allowed, const std::string& origin = "");
    void forget(const std::string& host, const std::string& kind);

    struct Entry {
        std::string host;
        std::string kind;
        bool allowed;
        std::string origin;
    };
    // Every remembered answer, by host, then kind.
    std::vector<Entry> entries() const;
    bool loaded() const { return loaded_; }

    std::function<void()> onLoaded;
    // Runs after every change (also a forget), for whoever shows the list.
    std::function<void()> onChanged;

private:
    using Key = std::pair<std::string, std::string>;
    std::shared_ptr<ProfileDatabase> database_;
    struct Answer {
        bool allowed;
        std::string origin;
    };
    std::map<Key, Answer> answers_;
    std::vector<Key> forgotten_; // before the stored answers arrived
    bool loaded_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillmere
