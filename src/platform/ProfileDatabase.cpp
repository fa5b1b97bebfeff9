#include "platform/ProfileDatabase.h"

#include "platform/GObjectPtr.h"
#include "platform/Log.h"

#include <glib.h>
#include <glib/gstdio.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <thread>

namespace quillmere {

namespace {

constexpr size_t kMaxBatch = 500; // writes per transaction

// Hands `work` to the main loop from any thread.
void postToMain(std::function<void()> work)
{
    g_idle_add_full(
        G_PRIORITY_DEFAULT,
        [](gpointer data) {
            (*static_cast<std::function<void()>*>(data))();
            return G_SOURCE_REMOVE;
        },
        new std::function<void()>(std::move(work)),
        [](gpointer data) { delete static_cast<std::function<void()>*>(data); });
}

std::string timestamp()
{
    g_autoptr(GDateTime) now = g_date_time_new_now_local();
    return GCharPtr(g_date_time_format(now, "%Y%m%d-%H%M%S")).get();
}

// Errors that say the file itself is bad, not that this one request went wrong.
bool isDamage(int code)
{
    return code == SQLITE_CORRUPT || code == SQLITE_NOTADB || code == SQLITE_CANTOPEN || code == SQLITE_IOERR
        || code == SQLITE_PERM || code == SQLITE_READONLY || code == SQLITE_AUTH;
}

} // namespace

struct ProfileDatabase::Worker {
    struct WriteItem {
        enum class Kind { Open, Schema, Write } kind;
        Job job;
        DatabaseSchema schema;
    };
    struct ReadItem {
        std::uint64_t after; // writes that must have run first
        std::shared_ptr<std::atomic<bool>> cancelled;
        ReadJob job;
    };

    explicit Worker(std::string path)
        : path(std::move(path))
    {
    }

    void writerLoop();
    void readerLoop();
    void open();
    void connect(const std::string& uri, int extraFlags);
    bool moveAside(const std::string& why);
    void openInMemory(const std::string& why);
    void applySchema(const DatabaseSchema& schema);
    void runBatch(std::vector<WriteItem>& batch);

    const std::string path;

    // Writer thread only.
    std::unique_ptr<SqliteConnection> writer;

    // Reader thread only.
    std::unique_ptr<SqliteConnection> reader;
    std::uint64_t readerGeneration = 0;
    std::shared_ptr<std::atomic<bool>> runningCancelled;

    std::mutex mutex;
    std::condition_variable wakeWriter, wakeReader, writesDone;
    std::deque<WriteItem> writes;
    std::deque<ReadItem> reads;
    std::uint64_t submitted = 0, completed = 0;
    bool stopping = false;
    // Where the reader connects, set by the writer; a new generation means reconnect.
    std::string readerURI;
    int readerFlags = 0;
    std::uint64_t generation = 0;
    FileState state = FileState::Healthy;
    std::map<std::string, std::shared_ptr<std::atomic<bool>>> latestOnLane;

    std::thread writerThread, readerThread;
};

std::string ProfileDatabase::defaultPath()
{
    return std::string(g_get_user_data_dir()) + "/quillmere/profile.sqlite";
}

ProfileDatabase::ProfileDatabase(std::string path)
    : path_(std::move(path))
    , worker_(std::make_unique<Worker>(path_))
{
    worker_->writes.push_back({Worker::WriteItem::Kind::Open, nullptr, {}});
    worker_->submitted = 1;
    worker_->writerThread = std::thread([worker = worker_.get()] { worker->writerLoop(); });
    worker_->readerThread = std::thread([worker = worker_.get()] { worker->readerLoop(); });
}

ProfileDatabase::~ProfileDatabase()
{
    {
        std::lock_guard lock(worker_->mutex);
        worker_->stopping = true;
        for (auto& [lane, latest] : worker_->latestOnLane)
            latest->store(true);
        worker_->reads.clear();
    }
    worker_->wakeReader.notify_all();
    worker_->wakeWriter.notify_all();
    worker_->writesDone.notify_all();
    worker_->readerThread.join();
    worker_->writerThread.join();
}

void ProfileDatabase::addSchema(DatabaseSchema schema)
{
    {
        std::lock_guard lock(worker_->mutex);
        worker_->writes.push_back({Worker::WriteItem::Kind::Schema, nullptr, std::move(schema)});
        ++worker_->submitted;
    }
    worker_->wakeWriter.notify_one();
}

void ProfileDatabase::write(Job job)
{
    {
        std::lock_guard lock(worker_->mutex);
        worker_->writes.push_back({Worker::WriteItem::Kind::Write, std::move(job), {}});
        ++worker_->submitted;
    }
    worker_->wakeWriter.notify_one();
}

void ProfileDatabase::submitRead(std::string lane, ReadJob job)
{
    auto cancelled = std::make_shared<std::atomic<bool>>(false);
    {
        std::lock_guard lock(worker_->mutex);
        // The lane's previous read is dropped wherever it is: queued, running (between
        // two steps) or on its way to the main loop.
        if (!lane.empty()) {
            auto& latest = worker_->latestOnLane[lane];
            if (latest)
                latest->store(true);
            latest = cancelled;
        }
        worker_->reads.push_back({worker_->submitted, cancelled, std::move(job)});
    }
    worker_->wakeReader.notify_one();
}

void ProfileDatabase::afterWrites(std::function<void()> done)
{
    read<bool>(
        "", [](SqliteConnection&) { return true; }, [done = std::move(done)](bool) { done(); });
}

void ProfileDatabase::flush()
{
    std::unique_lock lock(worker_->mutex);
    const std::uint64_t target = worker_->submitted;
    worker_->writesDone.wait(lock, [&] { return worker_->completed >= target; });
}

ProfileDatabase::FileState ProfileDatabase::fileState() const
{
    std::lock_guard lock(worker_->mutex);
    return worker_->state;
}

void ProfileDatabase::Worker::writerLoop()
{
    for (;;) {
        std::vector<WriteItem> batch;
        {
            std::unique_lock lock(mutex);
            wakeWriter.wait(lock, [&] { return stopping || !writes.empty(); });
            if (writes.empty())
                return; // stopping, and everything queued has run
            // Opening and migrations run alone; plain writes go together.
            do {
                batch.push_back(std::move(writes.front()));
                writes.pop_front();
            } while (batch.front().kind == WriteItem::Kind::Write && batch.size() < kMaxBatch && !writes.empty()
                && writes.front().kind == WriteItem::Kind::Write);
        }
        switch (batch.front().kind) {
        case WriteItem::Kind::Open:
            open();
            break;
        case WriteItem::Kind::Schema:
            applySchema(batch.front().schema);
            break;
        case WriteItem::Kind::Write:
            runBatch(batch);
            break;
        }
        {
            std::lock_guard lock(mutex);
            completed += batch.size();
        }
        writesDone.notify_all();
    }
}

void ProfileDatabase::Worker::connect(const std::string& uri, int extraFlags)
{
    writer = std::make_unique<SqliteConnection>(
        uri, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | extraFlags);
    // A file that is not a database fails here, before anything is written to it.
    writer->queryInteger("SELECT count(*) FROM sqlite_master");
    writer->prepare("PRAGMA journal_mode=WAL").run();
    writer->exec("PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=ON;"
                 "CREATE TABLE IF NOT EXISTS schema_versions (name TEXT PRIMARY KEY, version INTEGER NOT NULL)");
    std::lock_guard lock(mutex);
    readerURI = uri;
    readerFlags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | extraFlags;
    ++generation;
}

void ProfileDatabase::Worker::open()
{
    g_mkdir_with_parents(GCharPtr(g_path_get_dirname(path.c_str())).get(), 0700);
    try {
        connect(path, 0);
        return;
    } catch (const SqliteError& error) {
        if (!isDamage(error.code())) {
            // Busy or locked: another copy may be using a good file; leave it be.
            writer.reset();
            openInMemory(error.what());
            return;
        }
        // Aside while still open, so that closing cannot tidy its journal away.
        const bool moved = moveAside(error.what());
        writer.reset();
        if (!moved) {
            openInMemory(error.what());
            return;
        }
    }
    try {
        connect(path, 0);
        std::lock_guard lock(mutex);
        state = FileState::Replaced;
    } catch (const SqliteError& error) {
        writer.reset();
        openInMemory(error.what());
    }
}

bool ProfileDatabase::Worker::moveAside(const std::string& why)
{
    const std::string stem = path + ".damaged-" + timestamp();
    std::string copy = stem;
    for (int attempt = 2; g_file_test(copy.c_str(), G_FILE_TEST_EXISTS); ++attempt)
        copy = stem + "-" + std::to_string(attempt);
    if (g_rename(path.c_str(), copy.c_str()) != 0) {
        quillmereLog.error("Profile database %{public}s is damaged or unreadable (%{public}s) and could not be moved "
                           "aside: %{public}s",
            path, why, g_strerror(errno));
        return false;
    }
    // Its journal belongs to it: a new database must not pick it up.
    for (const char* suffix : {"-wal", "-shm"})
        g_rename((path + suffix).c_str(), (copy + suffix).c_str());
    quillmereLog.error("Profile database %{public}s is damaged or unreadable (%{public}s); kept as %{public}s, a new "
                       "one is started",
        path, why, copy);
    return true;
}

void ProfileDatabase::Worker::openInMemory(const std::string& why)
{
    quillmereLog.error("Profile database %{public}s cannot be used (%{public}s); records are kept in memory for this "
                       "session",
        path, why);
    // Shared between the writer's and the reader's connections while the writer's lives.
    const std::string uri = "file:quillmere-profile-" + std::to_string(reinterpret_cast<std::uintptr_t>(this))
        + "?mode=memory&cache=shared";
    try {
        connect(uri, SQLITE_OPEN_URI);
    } catch (const SqliteError& error) {
        writer.reset();
        quillmereLog.error("Profile database in memory failed: %{public}s", error.what());
    }
    std::lock_guard lock(mutex);
    state = FileState::InMemory;
}

void ProfileDatabase::Worker::applySchema(const DatabaseSchema& schema)
{
    if (!writer)
        return;
    try {
        auto lookup = writer->prepare("SELECT version FROM schema_versions WHERE name = ?");
        lookup.bind(1, schema.name);
        const std::int64_t current = lookup.step() ? lookup.integer(0) : 0;
        if (current > static_cast<std::int64_t>(schema.migrations.size())) {
            quillmereLog.info("Tables of %{public}s are at version %ld, newer than this build knows (%ld)", schema.name,
                current, schema.migrations.size());
            return;
        }
        for (size_t version = current; version < schema.migrations.size(); ++version) {
            writer->exec("BEGIN IMMEDIATE");
            try {
                writer->exec(schema.migrations[version]);
                writer
                    ->prepare("INSERT INTO schema_versions (name, version) VALUES (?, ?) "
                              "ON CONFLICT(name) DO UPDATE SET version = excluded.version")
                    .bind(1, schema.name)
                    .bind(2, static_cast<std::int64_t>(version + 1))
                    .run();
                writer->exec("COMMIT");
            } catch (...) {
                sqlite3_exec(writer->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
                throw;
            }
        }
    } catch (const SqliteError& error) {
        quillmereLog.error("Tables of %{public}s could not be set up: %{public}s", schema.name, error.what());
    }
}

void ProfileDatabase::Worker::runBatch(std::vector<WriteItem>& batch)
{
    if (!writer)
        return;
    try {
        writer->exec("BEGIN IMMEDIATE");
        for (auto& item : batch) {
            writer->exec("SAVEPOINT job");
            try {
                item.job(*writer);
                writer->exec("RELEASE job");
            } catch (const SqliteError& error) {
                sqlite3_exec(writer->handle(), "ROLLBACK TO job; RELEASE job", nullptr, nullptr, nullptr);
                quillmereLog.error("Profile database write failed: %{public}s", error.what());
            }
        }
        writer->exec("COMMIT");
    } catch (const SqliteError& error) {
        sqlite3_exec(writer->handle(), "ROLLBACK", nullptr, nullptr, nullptr);
        quillmereLog.error("Profile database write failed: %{public}s", error.what());
    }
}

void ProfileDatabase::Worker::readerLoop()
{
    sqlite3* progressTarget = nullptr;
    for (;;) {
        ReadItem item;
        std::string uri;
        int flags = 0;
        std::uint64_t wantedGeneration = 0;
        {
            std::unique_lock lock(mutex);
            wakeReader.wait(lock, [&] { return stopping || !reads.empty(); });
            if (stopping)
                return;
            item = std::move(reads.front());
            reads.pop_front();
            writesDone.wait(lock, [&] { return stopping || completed >= item.after; });
            if (stopping)
                return;
            if (item.cancelled->load())
                continue;
            uri = readerURI;
            flags = readerFlags;
            wantedGeneration = generation;
        }
        std::function<void()> answer;
        try {
            if (!reader || readerGeneration != wantedGeneration) {
                reader.reset();
                if (uri.empty())
                    throw SqliteError(SQLITE_CANTOPEN, "no database");
                reader = std::make_unique<SqliteConnection>(uri, flags);
                readerGeneration = wantedGeneration;
            }
            if (progressTarget != reader->handle()) {
                progressTarget = reader->handle();
                // A newer read on the same lane stops this one between steps.
                sqlite3_progress_handler(
                    reader->handle(), 1000,
                    [](void* data) { return static_cast<Worker*>(data)->runningCancelled->load() ? 1 : 0; }, this);
            }
            runningCancelled = item.cancelled;
            answer = item.job(reader.get());
        } catch (const SqliteError& error) {
            if (!item.cancelled->load()) {
                quillmereLog.error("Profile database read failed: %{public}s", error.what());
                answer = item.job(nullptr);
            }
        }
        if (answer && !item.cancelled->load())
            postToMain([answer = std::move(answer), cancelled = item.cancelled] {
                // A newer read on the lane may have come while this one travelled.
                if (!cancelled->load())
                    answer();
            });
    }
}

} // namespace quillmere
