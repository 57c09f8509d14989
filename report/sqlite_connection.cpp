#include "report/sqlite_connection.hpp"

#include <stdexcept>

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
