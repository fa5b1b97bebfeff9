// The profile database: one SQLite file (WAL mode) under the user's data directory that
// holds the browser's own records, history first; settings stay in defaults.ini. Each
// part of the program that keeps records brings its tables as a DatabaseSchema, whose
// numbered migrations run once, in order, before anything else touches them.
//
// Nothing here runs on the main thread: writes go to a writer thread, which runs what
// has queued up in one transaction; reads run on a reader thread (WAL lets it read while
// the writer writes) and hand their result back to the main loop. A read sees every
// write queued before it. A file that cannot be opened or is not a database is moved
// aside with a log line and a new one started; when not even that works the records
// live in memory for the session.
#pragma once

#include "platform/Sqlite.h"

#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace quillmere {

struct DatabaseSchema {
    std::string name; // a feature's name, e.g. "history"
    // migrations[i] takes the feature's tables from version i to version i + 1.
    std::vector<std::string> migrations;
};

class ProfileDatabase {
public:
    enum class FileState {
        Healthy, // opened as it was, or new
        Replaced, // was damaged or unreadable: kept aside, a new one started
        InMemory, // nothing on disk could be used; records last this session only
    };

    // <user data dir>/quillmere/profile.sqlite
    static std::string defaultPath();

    // Starts opening `path` on the writer thread and returns at once.
    explicit ProfileDatabase(std::string path);
    // Runs the writes still queued, then closes.
    ~ProfileDatabase();
    ProfileDatabase(const ProfileDatabase&) = delete;
    ProfileDatabase& operator=(const ProfileDatabase&) = delete;

    // Brings a feature's tables to their newest version before any job queued later.
    void addSchema(DatabaseSchema schema);

    using Job = std::function<void(SqliteConnection&)>;
    // Queues a write. A job that throws is undone alone; the others of its batch stay.
    void write(Job job);

    // Runs `query` on the reader thread and hands its result to `done` on the main loop.
    // A read on a named `lane` is dropped (and `done` never called) when a newer read on
    // the same lane arrives before its result was handed over; a failed query hands T{}.
    template <typename T>
    void read(std::string lane, std::function<T(SqliteConnection&)> query, std::function<void(T)> done)
    {
        submitRead(
            std::move(lane), [query = std::move(query), done = std::move(done)](SqliteConnection* connection) mutable {
                T result = connection ? query(*connection) : T {};
                return std::function<void()>(
                    [done = std::move(done), result = std::move(result)]() mutable { done(std::move(result)); });
            });
    }

    // Runs `done` on the main loop once every write queued so far is on disk.
    void afterWrites(std::function<void()> done);

    // Waits until every write queued so far has run (exit, tests and benchmarks).
    void flush();

    // Valid once the open has run (after flush(), or in any read's result).
    FileState fileState() const;
    const std::string& path() const { return path_; }

private:
    struct Worker;
    // Runs on the reader thread: a connection to read from, or null when the query failed
    // and the default answer is wanted; answers the work to run on the main loop.
    using ReadJob = std::function<std::function<void()>(SqliteConnection*)>;
    void submitRead(std::string lane, ReadJob job);

    std::string path_;
    std::unique_ptr<Worker> worker_;
};

} // namespace quillmere
