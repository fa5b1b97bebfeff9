// A thin C++ layer over SQLite's C API: one connection, its prepared statements and its
// errors. A connection belongs to one thread at a time (ProfileDatabase gives each of
// its threads its own).
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace quillmere {

class SqliteError : public std::runtime_error {
public:
    SqliteError(int code, const std::string& message)
        : std::runtime_error(message)
        , code_(code)
    {
    }
    // The primary result code (SQLITE_CORRUPT, SQLITE_INTERRUPT...).
    int code() const { return code_ & 0xff; }

private:
    int code_;
};

class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, std::string_view sql);
    ~SqliteStatement();
    SqliteStatement(SqliteStatement&& other) noexcept;
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    // Parameters count from 1, as in SQL.
    SqliteStatement& bind(int index, std::int64_t value);
    SqliteStatement& bind(int index, double value);
    SqliteStatement& bind(int index, std::string_view text);
    SqliteStatement& bind(int index, int value) { return bind(index, static_cast<std::int64_t>(value)); }

    // Advances to the next row: true while there is one.
    bool step();
    // Runs a statement that returns no rows (or whose rows do not matter).
    void run();
    void reset();

    // Columns count from 0.
    std::int64_t integer(int column) const;
    double real(int column) const;
    std::string text(int column) const;
    bool isNull(int column) const;

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

class SqliteConnection {
public:
    // Opens (creating when allowed) the database at `path`; `flags` are sqlite3_open_v2's.
    SqliteConnection(const std::string& path, int flags);
    ~SqliteConnection();
    SqliteConnection(const SqliteConnection&) = delete;
    SqliteConnection& operator=(const SqliteConnection&) = delete;

    SqliteStatement prepare(std::string_view sql) { return SqliteStatement(db_, sql); }
    // Runs one or more statements that take no parameters.
    void exec(const std::string& sql);
    // The first column of the first row of `sql`, or none.
    std::optional<std::int64_t> queryInteger(std::string_view sql);
    std::int64_t changes() const { return sqlite3_changes64(db_); }
    std::int64_t lastInsertRowId() const { return sqlite3_last_insert_rowid(db_); }

    sqlite3* handle() const { return db_; }

private:
    sqlite3* db_ = nullptr;
};

// Throws the connection's last error when `result` is not a success code.
void checkSqlite(sqlite3* db, int result, std::string_view what);

} // namespace quillmere
