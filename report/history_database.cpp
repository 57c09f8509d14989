#include "report/history_database.hpp"

#include <stdexcept>

#include "core/private_file.hpp"

namespace {

[[noreturn]] void throw_sqlite_error(sqlite3* connection)
{
    throw std::runtime_error(sqlite3_errmsg(connection));
}

}  // namespace

void exec_sql(sqlite3* connection, char const* sql)
{
    if (sqlite3_exec(connection, sql, nullptr, nullptr, nullptr) != SQLITE_OK)
        throw_sqlite_error(connection);
}

SqliteStatement prepare_sql(sqlite3* connection, char const* sql)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(connection, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        throw_sqlite_error(connection);
    }
    return SqliteStatement(statement);
}

SqliteConnection open_history_db(std::string const& path)
{
    // sqlite would follow a link or open someone else's file; the file is vetted (and created)
    // first, and sqlite is then not allowed to create anything itself.
    switch (prepare_private_file(path).status) {
    case PrivateFileStatus::ready: break;
    case PrivateFileStatus::open_failed: throw std::runtime_error("Cannot open history file");
    case PrivateFileStatus::not_owned: throw std::runtime_error("History file must be owned by this user");
    }

    sqlite3* raw = nullptr;
    int const opened = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX, nullptr);
    SqliteConnection connection(raw);
    if (opened != SQLITE_OK) {
        if (!connection)
            throw std::runtime_error("Cannot open history");
        throw_sqlite_error(connection.get());
    }
    sqlite3_busy_timeout(connection.get(), 10000);

    {
        SqliteStatement const version = prepare_sql(connection.get(), "PRAGMA user_version");
        int const step = sqlite3_step(version.get());
        if (step == SQLITE_ROW && sqlite3_column_int64(version.get(), 0) >= 3)
            throw std::runtime_error("Unsupported history schema");
        if (step != SQLITE_ROW && step != SQLITE_DONE)
            throw_sqlite_error(connection.get());
    }
    exec_sql(connection.get(),
             "CREATE TABLE IF NOT EXISTS minutes(receiver TEXT NOT NULL,frequency INTEGER NOT NULL,mode TEXT NOT "
             "NULL,minute INTEGER NOT NULL,mask INTEGER NOT NULL,counts BLOB NOT NULL,PRIMARY "
             "KEY(receiver,frequency,mode,minute)) WITHOUT ROWID");
    exec_sql(connection.get(), "CREATE INDEX IF NOT EXISTS minute_time ON minutes(minute)");
    exec_sql(connection.get(), "PRAGMA user_version=2");
    return connection;
}
