#include "permissions/SitePermissions.h"

#include <algorithm>

namespace quillmere {

namespace {

DatabaseSchema schema()
{
    return {"permissions",
        {"CREATE TABLE site_permissions (host TEXT NOT NULL, kind TEXT NOT NULL, allowed INTEGER NOT NULL, "
         "origin TEXT NOT NULL DEFAULT '', PRIMARY KEY (host, kind));"}};
}

} // namespace

SitePermissions::SitePermissions(std::shared_ptr<ProfileDatabase> database)
    : database_(std::move(database))
{
    database_->addSchema(schema());
    std::weak_ptr<bool> alive = alive_;
    database_->read<std::map<Key, Answer>>(
        "",
        [](SqliteConnection& db) {
            std::map<Key, Answer> stored;
            auto rows = db.prepare("SELECT host, kind, allowed, origin FROM site_permissions");
            while (rows.step())
                stored.emplace(Key {rows.text(0), rows.text(1)}, Answer {rows.integer(2) != 0, rows.text(3)});
            return stored;
        },
        [this, alive](std::map<Key, Answer> stored) {
            if (alive.expired())
                return;
            // Answers given while the read ran are newer than the stored ones.
            for (const Key& key : forgotten_)
                stored.erase(key);
            forgotten_.clear();
            answers_.merge(stored);
            loaded_ = true;
            if (onLoaded)
                onLoaded();
        });
}

std::optional<bool> SitePermissions::answer(const std::string& host, const std::string& kind) const
{
    auto found = answers_.find({host, kind});
    return found == answers_.end() ? std::nullopt : std::optional<bool>(found->second.allowed);
}

void SitePermissions::remember(const std::string& host, const std::string& kind, bool allowed, const std::string& origin)
{
    if (host.empty())
        return;
    answers_[{host, kind}] = {allowed, origin};
    database_->write([host, kind, allowed, origin](SqliteConnection& db) {
        db.prepare("INSERT INTO site_permissions (host, kind, allowed, origin) VALUES (?1, ?2, ?3, ?4) "
                   "ON CONFLICT(host, kind) DO UPDATE SET allowed = excluded.allowed, origin = excluded.origin")
            .bind(1, host)
            .bind(2, kind)
            .bind(3, static_cast<std::int64_t>(allowed))
            .bind(4, origin)
            .run();
    });
    if (onChanged)
        onChanged();
}

void SitePermissions::forget(const std::string& host, const std::string& kind)
{
    answers_.erase({host, kind});
    if (!loaded_)
        forgotten_.push_back({host, kind});
    database_->write([host, kind](SqliteConnection& db) {
        db.prepare("DELETE FROM site_permissions WHERE host = ?1 AND kind = ?2").bind(1, host).bind(2, kind).run();
    });
    if (onChanged)
        onChanged();
}

std::vector<SitePermissions::Entry> SitePermissions::entries() const
{
    std::vector<Entry> list;
    for (const auto& [key, answer] : answers_)
        list.push_back({key.first, key.second, answer.allowed, answer.origin});
    return list;
}

} // namespace quillmere
