#pragma once

#include <string>

#include "report/sqlite_connection.hpp"

// The sqlite files the program keeps beside the user's data (the history and the PSK Reporter
// sent-batch record) are opened here: the user's own regular file of mode 0600, never reached
// through a symbolic link, with the minutes table and schema version 2 in place.

// Opens (creating when missing) a history-style file: full-mutex connection, busy timeout 10 s.
// An existing file that is not a sqlite database is refused untouched (sqlite's "file is not a
// database"), before anything about it changes. Throws "Cannot open history file", "History
// file must be owned by this user", "Unsupported history schema" (user_version 3 or more) or
// sqlite's own text.
SqliteConnection open_history_db(std::string const& path);
