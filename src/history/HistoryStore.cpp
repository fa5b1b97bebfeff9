#include "history/HistoryStore.h"

#include "platform/GObjectPtr.h"

#include <glib.h>

#include <limits>

namespace quillmere {

namespace {

constexpr std::int64_t kMicrosecondsPerWeek = 7LL * 24 * 3600 * 1000000;
constexpr std::int64_t kRescoreAfter = 24LL * 3600 * 1000000;

// A page's rank: every visit weighted by its age at `?1`, as visitWeight() does.
constexpr const char* kScoreOfPage = "(SELECT coalesce(sum(1.0 / (1.0 + max(?1 - time, 0) / 604800000000.0)), 0) "
                                     "FROM history_visits WHERE url_id = history_urls.id)";

// "instr(table.search_text, ?n) AND ..." for parameters first .. first + count - 1.
std::string matchesEveryWord(size_t count, int first, const char* table)
{
    std::string condition;
    for (size_t i = 0; i < count; ++i)
        condition += std::string(i ? " AND " : "") + "instr(" + table + ".search_text, ?"
            + std::to_string(first + static_cast<int>(i)) + ")";
    return condition.empty() ? "1" : condition;
}

// What typed words are looked for in: the address and the title, case folded.
std::string searchTextOf(const std::string& uri, const std::string& title)
{
    return HistoryStore::fold(uri + " " + title);
}

void rescorePage(SqliteConnection& db, std::int64_t urlId)
{
    db.prepare(std::string("UPDATE history_urls SET score = ") + kScoreOfPage + " WHERE id = ?2")
        .bind(1, HistoryStore::now())
        .bind(2, urlId)
        .run();
}

} // namespace

static_assert(kMicrosecondsPerWeek == 604800000000LL);

DatabaseSchema HistoryStore::schema()
{
    return {"history",
        {
            // 1: pages with their rank, and one row per visit.
            "CREATE TABLE history_urls (id INTEGER PRIMARY KEY, url TEXT NOT NULL UNIQUE,"
            "  title TEXT NOT NULL DEFAULT '', visit_count INTEGER NOT NULL DEFAULT 0,"
            "  last_visit INTEGER NOT NULL DEFAULT 0, score REAL NOT NULL DEFAULT 0,"
            "  search_text TEXT NOT NULL DEFAULT '');"
            // Suggestions read this alone, best pages first, until they have enough.
            "CREATE INDEX history_urls_by_score ON history_urls (score DESC, search_text);"
            "CREATE TABLE history_visits (id INTEGER PRIMARY KEY,"
            "  url_id INTEGER NOT NULL REFERENCES history_urls (id) ON DELETE CASCADE, time INTEGER NOT NULL);"
            "CREATE INDEX history_visits_by_time ON history_visits (time DESC, id DESC);"
            "CREATE INDEX history_visits_by_page ON history_visits (url_id);"
            "CREATE TABLE history_meta (key TEXT PRIMARY KEY, value INTEGER NOT NULL);",
        }};
}

HistoryStore::HistoryStore(std::shared_ptr<ProfileDatabase> database)
    : database_(std::move(database))
{
    database_->addSchema(schema());
    // Ranks age: once a day every page's rank is worked out again from its visits.
    database_->write([](SqliteConnection& db) {
        const std::int64_t time = now();
        const auto scoredAt = db.queryInteger("SELECT value FROM history_meta WHERE key = 'scored_at'");
        if (scoredAt && time - *scoredAt < kRescoreAfter)
            return;
        db.prepare(std::string("UPDATE history_urls SET score = ") + kScoreOfPage).bind(1, time).run();
        db.prepare("INSERT INTO history_meta (key, value) VALUES ('scored_at', ?1) "
                   "ON CONFLICT(key) DO UPDATE SET value = excluded.value")
            .bind(1, time)
            .run();
    });
}

std::int64_t HistoryStore::now()
{
    return g_get_real_time();
}

bool HistoryStore::isRecordable(std::string_view uri)
{
    for (std::string_view scheme : {"http://", "https://", "file://"})
        if (uri.size() > scheme.size() && g_ascii_strncasecmp(uri.data(), scheme.data(), scheme.size()) == 0)
            return true;
    return false;
}

std::string HistoryStore::fold(std::string_view text)
{
    // Text that is not UTF-8 is looked for as it is.
    if (!g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr))
        return std::string(text);
    GCharPtr folded(g_utf8_casefold(text.data(), static_cast<gssize>(text.size())));
    return folded.get();
}

std::vector<std::string> HistoryStore::words(std::string_view text)
{
    std::vector<std::string> found;
    size_t at = 0;
    while (at < text.size()) {
        while (at < text.size() && g_ascii_isspace(text[at]))
            ++at;
        const size_t start = at;
        while (at < text.size() && !g_ascii_isspace(text[at]))
            ++at;
        if (at > start)
            found.emplace_back(text.substr(start, at - start));
    }
    return found;
}

void HistoryStore::recordVisit(const std::string& uri, const std::string& title, std::int64_t time)
{
    if (!isRecordable(uri))
        return;
    database_->write([uri, title, time](SqliteConnection& db) {
        db.prepare("INSERT INTO history_urls (url, title, visit_count, last_visit, search_text) VALUES (?1, ?2, 1, ?3, "
                   "?4) ON CONFLICT(url) DO UPDATE SET visit_count = visit_count + 1,"
                   "  last_visit = max(last_visit, excluded.last_visit),"
                   "  title = CASE WHEN excluded.title <> '' THEN excluded.title ELSE title END,"
                   "  search_text = CASE WHEN excluded.title <> '' THEN excluded.search_text ELSE search_text END")
            .bind(1, uri)
            .bind(2, title)
            .bind(3, time)
            .bind(4, searchTextOf(uri, title))
            .run();
        auto page = db.prepare("SELECT id FROM history_urls WHERE url = ?1");
        page.bind(1, uri);
        if (!page.step())
            return;
        const std::int64_t urlId = page.integer(0);
        db.prepare("INSERT INTO history_visits (url_id, time) VALUES (?1, ?2)").bind(1, urlId).bind(2, time).run();
        rescorePage(db, urlId);
    });
}

void HistoryStore::updateTitle(const std::string& uri, const std::string& title)
{
    if (!isRecordable(uri) || title.empty())
        return;
    database_->write([uri, title](SqliteConnection& db) {
        db.prepare("UPDATE history_urls SET title = ?2, search_text = ?3 WHERE url = ?1")
            .bind(1, uri)
            .bind(2, title)
            .bind(3, searchTextOf(uri, title))
            .run();
    });
}

void HistoryStore::deleteVisit(std::int64_t id)
{
    database_->write([id](SqliteConnection& db) {
        auto visit = db.prepare("SELECT url_id FROM history_visits WHERE id = ?1");
        visit.bind(1, id);
        if (!visit.step())
            return;
        const std::int64_t urlId = visit.integer(0);
        db.prepare("DELETE FROM history_visits WHERE id = ?1").bind(1, id).run();
        db.prepare("UPDATE history_urls SET visit_count = visit_count - 1 WHERE id = ?1").bind(1, urlId).run();
        db.prepare("DELETE FROM history_urls WHERE id = ?1 AND visit_count <= 0").bind(1, urlId).run();
        rescorePage(db, urlId);
    });
}

void HistoryStore::clear()
{
    database_->write([](SqliteConnection& db) { db.exec("DELETE FROM history_visits; DELETE FROM history_urls;"); });
}

void HistoryStore::suggest(const std::string& text, std::function<void(std::vector<HistoryPage>)> done)
{
    auto typed = words(text);
    database_->read<std::vector<HistoryPage>>(
        "history-suggest",
        [typed = std::move(typed)](SqliteConnection& db) {
            std::vector<HistoryPage> pages;
            if (typed.empty())
                return pages;
            auto query = db.prepare("SELECT url, title FROM history_urls WHERE "
                + matchesEveryWord(typed.size(), 1, "history_urls") + " ORDER BY score DESC, last_visit DESC LIMIT "
                + std::to_string(kMaxSuggestions));
            for (size_t i = 0; i < typed.size(); ++i)
                query.bind(static_cast<int>(i) + 1, fold(typed[i]));
            while (query.step())
                pages.push_back({query.text(0), query.text(1)});
            return pages;
        },
        std::move(done));
}

void HistoryStore::listVisits(const std::string& filter, const HistoryVisit* before, int limit,
    std::function<void(std::vector<HistoryVisit>)> done)
{
    auto typed = words(filter);
    const std::int64_t beforeTime = before ? before->time : std::numeric_limits<std::int64_t>::max();
    const std::int64_t beforeId = before ? before->id : std::numeric_limits<std::int64_t>::max();
    database_->read<std::vector<HistoryVisit>>(
        "history-list",
        [typed = std::move(typed), beforeTime, beforeId, limit](SqliteConnection& db) {
            std::vector<HistoryVisit> visits;
            auto query = db.prepare("SELECT v.id, v.time, u.url, u.title FROM history_visits v "
                                    "JOIN history_urls u ON u.id = v.url_id "
                                    "WHERE (v.time < ?1 OR (v.time = ?1 AND v.id < ?2)) AND "
                + matchesEveryWord(typed.size(), 4, "u") + " ORDER BY v.time DESC, v.id DESC LIMIT ?3");
            query.bind(1, beforeTime).bind(2, beforeId).bind(3, limit);
            for (size_t i = 0; i < typed.size(); ++i)
                query.bind(static_cast<int>(i) + 4, fold(typed[i]));
            while (query.step())
                visits.push_back({query.integer(0), query.integer(1), query.text(2), query.text(3)});
            return visits;
        },
        std::move(done));
}

} // namespace quillmere
