// One request in the developer tools' network log, and the log itself: records newest
// first, found again by the id the page gave them when their response comes in.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

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

    // The six lines shown for the selected entry.
    std::string detailText() const;
};

// The statement that repeats `entry` in a page: fetch(url, {method[, body]}). Each of the
// three strings reaches fetch as exactly one string literal, whatever it holds. The body
// is left out for GET (in any case) and when it is empty; headers are not sent.
std::string resendStatement(const NetworkEntry& entry);

// Entries newest first. A page may repeat an id; a response then goes to the newest
// entry that carries it. Finding it costs the same however long the log has grown.
class NetworkLog {
public:
    // Puts `entry` at position 0.
    void insert(NetworkEntry entry);
    // The position of the newest entry with `id`, if any.
    std::optional<size_t> find(const std::string& id) const;

    NetworkEntry& at(size_t position) { return *entries_[entries_.size() - 1 - position]; }
    const NetworkEntry& at(size_t position) const { return *entries_[entries_.size() - 1 - position]; }
    // The record itself, for views that show it while the log goes on growing.
    std::shared_ptr<NetworkEntry> shared(size_t position) const { return entries_[entries_.size() - 1 - position]; }
    size_t size() const { return entries_.size(); }
    bool empty() const { return entries_.empty(); }
    void clear();

private:
    std::vector<std::shared_ptr<NetworkEntry>> entries_; // oldest first: arrival order
    std::unordered_map<std::string, size_t> newest_; // id -> index in entries_
};

} // namespace quillmere
