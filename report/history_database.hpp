#pragma once

#include <memory>
#include <string>

#include <sqlite3.h>

// The sqlite files the program keeps beside the user's data (the history and the PSK Reporter
// sent-batch record) are opened here: the user's own regular file of mode 0600, never reached
// through a symbolic link, with the minutes table and schema version 2 in place.

struct SqliteClose {
    void operator()(sqlite3* connection) const { sqlite3_close(connection); }
};
using SqliteConnection = std::unique_ptr<sqlite3, SqliteClose>;

struct SqliteFinalize {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using SqliteStatement = std::unique_ptr<sqlite3_stmt, SqliteFinalize>;

// Opens (creating when missing) a history-style file: full-mutex connection, busy timeout 10 s.
// Throws "Cannot open history file", "History file must be owned by this user", "Unsupported
// history schema" (user_version 3 or more) or sqlite's own text.
SqliteConnection open_history_db(std::string const& path);

// Runs one statement; throws sqlite's message for the connection when it fails.
void exec_sql(sqlite3* connection, char const* sql);

// Prepares one statement; throws sqlite's message for the connection when it fails.
SqliteStatement prepare_sql(sqlite3* connection, char const* sql);
