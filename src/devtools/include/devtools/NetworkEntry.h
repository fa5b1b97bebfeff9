// One request in the developer tools' network log, and the log itself: records newest
// first, found again by the frame and id they came with when their response comes in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>

namespace quillmere {

struct NetworkEntry {
    std::string id;
    std::string method;
    std::string url;
    std::string headers;
    std::string body;
    std::string time;
    std::string status = "pending";
    std::string responsePreview;
    // The frame of the tab's page that made the request; "↻ Resend" repeats it there.
    std::uint64_t frame = 0;

    // The six lines shown for the selected entry.
    std::string detailText() const;
};

// Entries newest first, at most kKeptNetworkEntries and kKeptNetworkBytes of them: the
// oldest make way. A page may repeat an id; a response then goes to the newest entry of
// its frame that carries it. Finding it costs the same however long the log is.
class NetworkLog {
public:
    // Puts `entry` at position 0; answers how many of the oldest entries made way.
    std::size_t insert(NetworkEntry entry);
    // The position of the newest entry of `frame` with `id`, if any.
    std::optional<std::size_t> find(std::uint64_t frame, const std::string& id) const;

    NetworkEntry& at(std::size_t position) { return *entries_[entries_.size() - 1 - position]; }
    const NetworkEntry& at(std::size_t position) const { return *entries_[entries_.size() - 1 - position]; }
    // The record itself, for views that show it while the log goes on growing.
    std::shared_ptr<NetworkEntry> shared(std::size_t position) const
    {
        return entries_[entries_.size() - 1 - position];
    }
    std::size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void clear();

private:
    static std::string key(std::uint64_t frame, const std::string& id);
    static std::size_t weight(const NetworkEntry& entry);

    std::deque<std::shared_ptr<NetworkEntry>> entries_; // oldest first: arrival order
    std::uint64_t dropped_ = 0; // entries that have left the front: numbers stay absolute
    std::unordered_map<std::string, std::uint64_t> newest_; // frame and id -> number of the entry
    std::size_t bytes_ = 0;
};

} // namespace quillmere
