#include "devtools/NetworkEntry.h"

#include "platform/PageBridge.h"

namespace quillmere {

namespace {
// What a response may add to an entry: a status and a preview of at most 500 characters.
constexpr std::size_t kResponseAllowance = 2048;
} // namespace

std::string NetworkEntry::detailText() const
{
    return "URL: " + url + "\nMethod: " + method + "\nHeaders: " + headers + "\nBody: " + body + "\nStatus: " + status
        + "\nResponse: " + responsePreview;
}

std::string NetworkLog::key(std::uint64_t frame, const std::string& id)
{
    return std::to_string(frame) + ":" + id;
}

std::size_t NetworkLog::weight(const NetworkEntry& entry)
{
    return entry.id.size() + entry.method.size() + entry.url.size() + entry.headers.size() + entry.body.size()
        + entry.time.size() + kResponseAllowance;
}

std::size_t NetworkLog::insert(NetworkEntry entry)
{
    newest_[key(entry.frame, entry.id)] = dropped_ + entries_.size();
    bytes_ += weight(entry);
    entries_.push_back(std::make_shared<NetworkEntry>(std::move(entry)));

    std::size_t evicted = 0;
    while (entries_.size() > 1 && (entries_.size() > kKeptNetworkEntries || bytes_ > kKeptNetworkBytes)) {
        const NetworkEntry& oldest = *entries_.front();
        if (auto found = newest_.find(key(oldest.frame, oldest.id));
            found != newest_.end() && found->second == dropped_)
            newest_.erase(found);
        bytes_ -= weight(oldest);
        entries_.pop_front();
        ++dropped_;
        ++evicted;
    }
    return evicted;
}

std::optional<std::size_t> NetworkLog::find(std::uint64_t frame, const std::string& id) const
{
    const auto found = newest_.find(key(frame, id));
    if (found == newest_.end())
        return std::nullopt;
    return dropped_ + entries_.size() - 1 - found->second;
}

void NetworkLog::clear()
{
    entries_.clear();
    newest_.clear();
    bytes_ = 0;
}

} // namespace quillmere
