#include "browser/ZoomLevels.h"

#include <cmath>

namespace quillmere {

namespace {

// Levels differ by at least 0.03, so this tells "on a step" from "between steps".
constexpr double kTolerance = 0.005;

DatabaseSchema schema()
{
    return {"zoom", {"CREATE TABLE zoom_levels (host TEXT PRIMARY KEY, level REAL NOT NULL);"}};
}

} // namespace

double ZoomLevels::step(double level, int direction)
{
    if (direction > 0) {
        for (double candidate : kSteps)
            if (candidate > level + kTolerance)
                return candidate;
    } else {
        for (auto it = std::rbegin(kSteps); it != std::rend(kSteps); ++it)
            if (*it < level - kTolerance)
                return *it;
    }
    return level;
}

ZoomLevels::ZoomLevels(std::shared_ptr<ProfileDatabase> database)
    : database_(std::move(database))
{
    database_->addSchema(schema());
    std::weak_ptr<bool> alive = alive_;
    database_->read<std::map<std::string, double>>(
        "",
        [](SqliteConnection& db) {
            std::map<std::string, double> stored;
            auto rows = db.prepare("SELECT host, level FROM zoom_levels");
            while (rows.step())
                stored.emplace(rows.text(0), rows.real(1));
            return stored;
        },
        [this, alive](std::map<std::string, double> stored) {
            if (alive.expired())
                return;
            // A level chosen while the read ran is newer than the stored one.
            levels_.merge(stored);
            for (auto it = levels_.begin(); it != levels_.end();)
                it = std::abs(it->second - 1.0) < kTolerance ? levels_.erase(it) : std::next(it);
            if (onLoaded)
                onLoaded();
        });
}

double ZoomLevels::levelFor(const std::string& host) const
{
    auto found = levels_.find(host);
    return found == levels_.end() ? 1.0 : found->second;
}

void ZoomLevels::set(const std::string& host, double level)
{
    if (host.empty())
        return;
    const bool reset = std::abs(level - 1.0) < kTolerance;
    levels_[host] = level; // kept as 1.0 until the stored levels arrive, so they cannot undo a reset
    database_->write([host, level, reset](SqliteConnection& db) {
        if (reset) {
            db.prepare("DELETE FROM zoom_levels WHERE host = ?1").bind(1, host).run();
            return;
        }
        db.prepare("INSERT INTO zoom_levels (host, level) VALUES (?1, ?2) "
                   "ON CONFLICT(host) DO UPDATE SET level = excluded.level")
            .bind(1, host)
            .bind(2, level)
            .run();
    });
}

} // namespace quillmere
