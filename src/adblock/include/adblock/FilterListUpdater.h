// Keeps the filter lists fresh: every four days (checked a minute after launch, then
// hourly) and when the user asks, it downloads the lists named in the defaults key
// "quillmereFilterListURLs" with conditional requests (their ETag and Last-Modified kept in
// the profile database), has the rules helper convert them and compile the result into a
// staging store, and only when all that worked moves it into the store the loader reads and
// hands the new list to the window, which swaps it into every content manager. Any failure
// keeps the list in use and says why in the log. Nothing is fetched while blocking is off.
#pragma once

#include "adblock/QuilBlock.h"
#include "platform/ProfileDatabase.h"

#include <libsoup/soup.h>
#include <sigc++/signal.h>

#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quillmere {

inline constexpr const char* kFilterListURLsKey = "quillmereFilterListURLs";
inline constexpr const char* kDefaultFilterListURLs =
    "https://easylist.to/easylist/easylist.txt;https://easylist.to/easylist/easyprivacy.txt";

class FilterListUpdater {
public:
    // A download larger than this is refused (the two lists are about 3 MiB together).
    static constexpr std::uint64_t kSizeCap = 32u << 20;
    static constexpr std::time_t kUpdateInterval = 4 * 24 * 3600;

    explicit FilterListUpdater(std::shared_ptr<ProfileDatabase> database);
    ~FilterListUpdater();
    FilterListUpdater(const FilterListUpdater&) = delete;
    FilterListUpdater& operator=(const FilterListUpdater&) = delete;

    // The new list, compiled and in the store; the owner attaches it.
    std::function<void(QuilBlock::RuleList)> onNewList;
    // Once the date of the lists is known, and after every check, successful or not (the
    // settings window shows the date).
    sigc::signal<void()>& signalChecked() { return checked_; }

    // The first check a minute from now, then one an hour; each fetches only when due.
    void startSchedule();
    // Fetches now, whatever the date (the settings window's button).
    void updateNow();
    bool running() const { return running_; }

    // When the lists in use were last known to be current: the last successful check, or
    // the date of the shipped lists.
    std::optional<std::time_t> lastUpdated() const { return lastUpdated_; }

    // The addresses to fetch: the defaults key's `;`-separated list, or EasyList and
    // EasyPrivacy from their official addresses.
    static std::vector<std::string> listAddresses();

    // <user data dir>/quillmere/filter-lists
    static std::string directory();

    // One check in progress (public for the download steps in the source file).
    struct Run;

private:
    void checkIfDue();
    void start();
    void fetchNext(std::shared_ptr<Run> run);
    void fetched(std::shared_ptr<Run> run);
    void convert(std::shared_ptr<Run> run);
    void install(std::shared_ptr<Run> run, QuilBlock::RuleList list);
    void fail(const std::string& why);
    void finishChecked(std::time_t when);

    std::shared_ptr<ProfileDatabase> database_;
    SoupSession* session_;
    GCancellable* cancellable_;
    std::optional<std::time_t> lastUpdated_;
    bool running_ = false;
    bool loaded_ = false;
    guint timer_ = 0;
    sigc::signal<void()> checked_;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

} // namespace quillmere
