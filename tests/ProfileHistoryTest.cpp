// The profile database and the history kept in it, without a window: visits, ranks,
// suggestions, the list, deleting, migrations and a damaged file.
#include "history/HistoryStore.h"
#include "platform/GObjectPtr.h"
#include "support/MainLoop.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

using namespace quillmere;
using namespace quillmere::test;

namespace {

constexpr std::int64_t kDay = 24LL * 3600 * 1000000;

class ProfileHistory : public ::testing::Test {
protected:
    std::string directory = [] {
        GCharPtr made(g_dir_make_tmp("quillmere-profile-XXXXXX", nullptr));
        return std::string(made.get());
    }();
    std::string path = directory + "/profile.sqlite";

    // Answers of the read, waited for on the main loop.
    template <typename T> static T wait(const std::function<void(std::function<void(T)>)>& ask)
    {
        std::optional<T> answer;
        ask([&](T value) { answer = std::move(value); });
        EXPECT_TRUE(runUntil([&] { return answer.has_value(); }, 5000));
        return answer.value_or(T {});
    }
    static std::vector<std::string> suggest(HistoryStore& history, const std::string& text)
    {
        std::vector<std::string> titles;
        for (const auto& page : wait<std::vector<HistoryPage>>([&](auto done) { history.suggest(text, done); }))
            titles.push_back(page.title);
        return titles;
    }
    static std::vector<HistoryVisit> list(
        HistoryStore& history, const std::string& filter = "", const HistoryVisit* before = nullptr, int limit = 100)
    {
        return wait<std::vector<HistoryVisit>>([&](auto done) { history.listVisits(filter, before, limit, done); });
    }
    std::vector<std::string> filesBeside()
    {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(directory))
            names.push_back(entry.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

} // namespace

TEST_F(ProfileHistory, VisitsAreCountedAndRankedByVisitsWeightedByRecency)
{
    auto database = std::make_shared<ProfileDatabase>(path);
    HistoryStore history(database);
    const std::int64_t now = HistoryStore::now();
    // Three visits a month ago count less than two today.
    for (int i = 0; i < 3; ++i)
        history.recordVisit("https://old.example/", "Probe Old", now - 30 * kDay + i);
    for (int i = 0; i < 2; ++i)
        history.recordVisit("https://new.example/", "Probe New", now - i);
    history.recordVisit("https://once.example/", "Probe Once", now - kDay);
    // Not history: internal and data pages.
    history.recordVisit("about:blank", "Probe Blank");
    history.recordVisit("data:text/html,x", "Probe Data");
    EXPECT_EQ(suggest(history, "probe"), (std::vector<std::string> {"Probe New", "Probe Once", "Probe Old"}));
    EXPECT_NEAR(HistoryStore::visitWeight(30) * 3, 0.568, 0.001);

    // Every word must be in the address or the title, in any case; SQL wildcards are plain text.
    history.recordVisit("http://127.0.0.1:8080/remember", "Quillmere Remember Probe");
    history.recordVisit("https://percent.example/100%25", "Discount");
    EXPECT_EQ(suggest(history, "  remember   PRO "), std::vector<std::string> {"Quillmere Remember Probe"});
    EXPECT_EQ(suggest(history, "once.example probe"), std::vector<std::string> {"Probe Once"});
    EXPECT_EQ(suggest(history, "remember old"), std::vector<std::string> {});
    EXPECT_EQ(suggest(history, "%"), std::vector<std::string> {"Discount"});
    EXPECT_EQ(suggest(history, "_"), std::vector<std::string> {});
    history.recordVisit("https://cafe.example/", "CAFÉ ÉCLAIR");
    EXPECT_EQ(suggest(history, "éclair café"), std::vector<std::string> {"CAFÉ ÉCLAIR"});
    // A title that arrives later replaces the page's; an empty one does not.
    history.updateTitle("https://once.example/", "Probe Once Renamed");
    history.recordVisit("https://once.example/", "");
    EXPECT_EQ(suggest(history, "renamed"), std::vector<std::string> {"Probe Once Renamed"});

    // At most eight.
    for (int i = 0; i < 12; ++i)
        history.recordVisit("https://many.example/" + std::to_string(i), "Many " + std::to_string(i));
    EXPECT_EQ(suggest(history, "many").size(), 8u);

    // A newer question drops the older one's answer.
    int answered = 0;
    std::vector<HistoryPage> latest;
    history.suggest("many", [&](std::vector<HistoryPage>) { ++answered; });
    history.suggest("probe new", [&](std::vector<HistoryPage> pages) {
        ++answered;
        latest = pages;
    });
    ASSERT_TRUE(runUntil([&] { return !latest.empty(); }));
    runFor(100);
    EXPECT_EQ(answered, 1);
}

TEST_F(ProfileHistory, TheListRunsNewestFirstInPagesAndVisitsCanBeDeletedOrCleared)
{
    auto database = std::make_shared<ProfileDatabase>(path);
    HistoryStore history(database);
    const std::int64_t now = HistoryStore::now();
    history.recordVisit("https://a.example/", "Alpha", now - 3 * kDay);
    history.recordVisit("https://b.example/", "Beta", now - 2 * kDay);
    history.recordVisit("https://a.example/", "Alpha", now - kDay);
    history.recordVisit("https://c.example/", "Gamma", now);
    auto all = list(history);
    ASSERT_EQ(all.size(), 4u);
    EXPECT_EQ(all[0].title + all[1].title + all[2].title + all[3].title, "GammaAlphaBetaAlpha");
    EXPECT_EQ(all[1].time, now - kDay);
    auto second = list(history, "", &all[1], 2);
    ASSERT_EQ(second.size(), 2u);
    EXPECT_EQ(second[0].title + second[1].title, "BetaAlpha");
    EXPECT_EQ(list(history, "alpha").size(), 2u);

    // Deleting one visit of a page keeps the page for its other one; the last one takes it.
    history.deleteVisit(all[1].id);
    EXPECT_EQ(list(history, "alpha").size(), 1u);
    EXPECT_EQ(suggest(history, "alpha"), std::vector<std::string> {"Alpha"});
    history.deleteVisit(all[3].id);
    EXPECT_TRUE(list(history, "alpha").empty());
    EXPECT_TRUE(suggest(history, "alpha").empty());
    history.clear();
    EXPECT_TRUE(list(history).empty());
    EXPECT_TRUE(suggest(history, "example").empty());
}

TEST_F(ProfileHistory, SchemasMigrateOnceAndKeepTheirRecordsAcrossOpens)
{
    {
        auto database = std::make_shared<ProfileDatabase>(path);
        HistoryStore history(database);
        history.recordVisit("https://kept.example/", "Kept");
        database->addSchema({"zoom", {"CREATE TABLE zoom_levels (host TEXT PRIMARY KEY, level REAL)"}});
        database->write([](SqliteConnection& db) { db.exec("INSERT INTO zoom_levels VALUES ('a.example', 1.5)"); });
        database->flush();
        EXPECT_EQ(database->fileState(), ProfileDatabase::FileState::Healthy);
    }
    // A later build adds a step: only that one runs, on the records there are.
    auto database = std::make_shared<ProfileDatabase>(path);
    HistoryStore history(database);
    database->addSchema({"zoom",
        {"CREATE TABLE zoom_levels (host TEXT PRIMARY KEY, level REAL)",
            "ALTER TABLE zoom_levels ADD COLUMN changed INTEGER NOT NULL DEFAULT 0"}});
    EXPECT_EQ(suggest(history, "kept"), std::vector<std::string> {"Kept"});
    const auto row = wait<std::string>([&](auto done) {
        database->read<std::string>(
            "",
            [](SqliteConnection& db) {
                auto query = db.prepare("SELECT host || ' ' || level || ' ' || changed || ' ' || "
                                        "(SELECT group_concat(name || version) FROM schema_versions) FROM zoom_levels");
                return query.step() ? query.text(0) : std::string("none");
            },
            done);
    });
    EXPECT_EQ(row, "a.example 1.5 0 history1,zoom2");
    const auto mode = wait<std::string>([&](auto done) {
        database->read<std::string>(
            "", [](SqliteConnection& db) { return db.prepare("PRAGMA journal_mode").step() ? "wal" : ""; }, done);
    });
    EXPECT_EQ(mode, "wal");
}

TEST_F(ProfileHistory, ADamagedOrUnreadableFileIsMovedAsideAndANewOneStarted)
{
    std::ofstream(path) << std::string(8192, 'x');
    std::ofstream(path + "-wal") << "stale journal";
    {
        auto database = std::make_shared<ProfileDatabase>(path);
        HistoryStore history(database);
        history.recordVisit("https://after.example/", "After");
        EXPECT_EQ(suggest(history, "after"), std::vector<std::string> {"After"});
        EXPECT_EQ(database->fileState(), ProfileDatabase::FileState::Replaced);
    }
    const auto names = filesBeside();
    std::vector<std::string> kept;
    std::copy_if(names.begin(), names.end(), std::back_inserter(kept),
        [](const std::string& name) { return name.starts_with("profile.sqlite.damaged-"); });
    // The damaged file and the journal that belonged to it, side by side.
    ASSERT_GE(kept.size(), 2u);
    EXPECT_TRUE(std::find(kept.begin(), kept.end(), kept[0] + "-wal") != kept.end());
    std::string text;
    std::getline(std::ifstream(directory + "/" + kept[0]), text);
    EXPECT_EQ(text, std::string(8192, 'x'));

    // Something that cannot be opened at all (here a directory) goes aside too.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    auto database = std::make_shared<ProfileDatabase>(path);
    HistoryStore history(database);
    history.recordVisit("https://later.example/", "Later");
    EXPECT_EQ(suggest(history, "later"), std::vector<std::string> {"Later"});
    EXPECT_EQ(database->fileState(), ProfileDatabase::FileState::Replaced);
    EXPECT_TRUE(std::filesystem::is_regular_file(path));
}
