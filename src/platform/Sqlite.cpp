#include "platform/Sqlite.h"

namespace quillmere {

void checkSqlite(sqlite3* db, int result, std::string_view what)
{
    if (result == SQLITE_OK || result == SQLITE_ROW || result == SQLITE_DONE)
        return;
    const char* message = db ? sqlite3_errmsg(db) : sqlite3_errstr(result);
    throw SqliteError(result, std::string(what) + ": " + (message ? message : sqlite3_errstr(result)));
}

SqliteStatement::SqliteStatement(sqlite3* db, std::string_view sql)
    : db_(db)
{
    checkSqlite(
        db_, sqlite3_prepare_v2(db_, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr), "prepare");
}

SqliteStatement::~SqliteStatement()
{
    sqlite3_finalize(statement_);
}

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : db_(other.db_)
    , statement_(other.statement_)
{
    other.statement_ = nullptr;
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value)
{
    checkSqlite(db_, sqlite3_bind_int64(statement_, index, value), "bind");
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, double value)
{
    checkSqlite(db_, sqlite3_bind_double(statement_, index, value), "bind");
    return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::string_view text)
{
    checkSqlite(
        db_, sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_TRANSIENT, SQLITE_UTF8), "bind");
    return *this;
}

bool SqliteStatement::step()
{
    const int result = sqlite3_step(statement_);
    checkSqlite(db_, result, "step");
    return result == SQLITE_ROW;
}

void SqliteStatement::run()
{
    while (step()) { }
}

void SqliteStatement::reset()
{
    sqlite3_reset(statement_);
    sqlite3_clear_bindings(statement_);
}

std::int64_t SqliteStatement::integer(int column) const
{
    return sqlite3_column_int64(statement_, column);
}

double SqliteStatement::real(int column) const
{
    return sqlite3_column_double(statement_, column);
}

std::string SqliteStatement::text(int column) const
{
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement_, column));
    return text ? std::string(text, sqlite3_column_bytes(statement_, column)) : std::string();
}

bool SqliteStatement::isNull(int column) const
{
    return sqlite3_column_type(statement_, column) == SQLITE_NULL;
}

SqliteConnection::SqliteConnection(const std::string& path, int flags)
{
    const int result = sqlite3_open_v2(path.c_str(), &db_, flags, nullptr);
    if (result != SQLITE_OK) {
        const std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(result);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        throw SqliteError(result, "open " + path + ": " + message);
    }
    sqlite3_extended_result_codes(db_, 1);
    sqlite3_busy_timeout(db_, 2000);
}

SqliteConnection::~SqliteConnection()
{
    sqlite3_close_v2(db_);
}

void SqliteConnection::exec(const std::string& sql)
{
    checkSqlite(db_, sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr), "exec");
}

std::optional<std::int64_t> SqliteConnection::queryInteger(std::string_view sql)
{
    SqliteStatement statement = prepare(sql);
    if (!statement.step() || statement.isNull(0))
        return std::nullopt;
    return statement.integer(0);
}

} // namespace quillmere
