// The browsing history in the profile database: every page shown (its address, its
// latest title, how often and when), what the address field suggests while the user
// types, and what the history window lists. The browser window records; nothing here
// runs on the main thread except queueing the work.
#pragma once

#include "platform/ProfileDatabase.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace quillmere {

struct HistoryPage {
    std::string uri;
    std::string title;
};

struct HistoryVisit {
    std::int64_t id = 0;
    std::int64_t time = 0; // microseconds since the epoch
    std::string uri;
    std::string title;
};

class HistoryStore {
public:
    static constexpr int kMaxSuggestions = 8;
    static DatabaseSchema schema();

    explicit HistoryStore(std::shared_ptr<ProfileDatabase> database);

    // Whether visits to `uri` are kept: web pages and local files, not internal pages.
    static bool isRecordable(std::string_view uri);
    // What one visit counts towards its page's rank, by its age.
    static double visitWeight(double ageDays) { return 1.0 / (1.0 + ageDays / 7.0); }
    // `text` folded so that matching ignores case ("É" finds "é").
    static std::string fold(std::string_view text);
    // The words of typed text, split at white space.
    static std::vector<std::string> words(std::string_view text);

    void recordVisit(const std::string& uri, const std::string& title, std::int64_t time = now());
    // A title that came after the visit was recorded.
    void updateTitle(const std::string& uri, const std::string& title);
    void deleteVisit(std::int64_t id);
    void clear();

    // Up to kMaxSuggestions pages whose address or title contains every word of `text`,
    // best ranked first. A newer call drops an older one that has not answered yet.
    void suggest(const std::string& text, std::function<void(std::vector<HistoryPage>)> done);

    // Visits newest first that match `filter` like suggestions do, older than `before`
    // (none: from the newest), at most `limit`. A newer call drops an older one.
    void listVisits(const std::string& filter, const HistoryVisit* before, int limit,
        std::function<void(std::vector<HistoryVisit>)> done);

    ProfileDatabase& database() { return *database_; }
    static std::int64_t now();

private:
    std::shared_ptr<ProfileDatabase> database_;
};

} // namespace quillmere
