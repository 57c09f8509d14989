#pragma once

#include <memory>

#include <sqlite3.h>

// Owned sqlite handles and the few calls every store of the program (history, sent-batch
// record, PSK Reporter suppression state) makes the same way: errors become the user's text,
// which for sqlite is its own message for the connection.

struct SqliteClose {
    void operator()(sqlite3* connection) const { sqlite3_close(connection); }
};
using SqliteConnection = std::unique_ptr<sqlite3, SqliteClose>;

struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

// Runs one statement; throws sqlite's message for the connection when it fails.
void exec_sql(sqlite3* connection, char const* sql);

// Prepares one statement; throws sqlite's message for the connection when it fails.
SqliteStatement prepare_sql(sqlite3* connection, char const* sql);

// Runs body inside BEGIN IMMEDIATE ... COMMIT, so the write lock is held from the first read.
// When body or the COMMIT throws, the transaction is rolled back (its own result ignored: the
// first error is the one worth reporting) and the exception goes on unchanged; its message was
// taken when it was thrown, before the rollback could replace sqlite's text.
template <typename Body>
void in_immediate_transaction(sqlite3* connection, Body&& body)
{
    exec_sql(connection, "BEGIN IMMEDIATE");
    try {
        body();
        exec_sql(connection, "COMMIT");
    } catch (...) {
        sqlite3_exec(connection, "ROLLBACK", nullptr, nullptr, nullptr);
        throw;
    }
}
