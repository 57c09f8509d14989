#include "report/history_database.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/state_directory.hpp"
#include "core/unique_fd.hpp"
#include "core/private_file.hpp"

namespace {

[[noreturn]] void throw_sqlite_error(sqlite3* connection)
{
    throw std::runtime_error(sqlite3_errmsg(connection));
}

// Every sqlite database begins with these 16 bytes; an empty file is one sqlite will format.
constexpr char sqlite_header[] = "SQLite format 3";  // with its terminating zero: 16 bytes

// False for an existing file of the user's that holds something other than a sqlite database.
// What cannot be read here (missing, a link, not a regular file, someone else's) is left to the
// checks that follow, which report it in their own words.
bool may_hold_a_database(std::string const& path)
{
    UniqueFd file(::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat status {};
    if (file.get() < 0 || ::fstat(file.get(), &status) != 0 || !is_owned_regular_file(status) ||
        status.st_size == 0)
        return true;
    char header[sizeof sqlite_header] = {};
    ssize_t got = 0;
    while ((got = ::pread(file.get(), header, sizeof header, 0)) < 0 && errno == EINTR) {
    }
    return got == static_cast<ssize_t>(sizeof header) && std::memcmp(header, sqlite_header, sizeof header) == 0;
}

}  // namespace

SqliteConnection open_history_db(std::string const& path)
{
    // A file that holds something else is the user's data named by mistake: it keeps its
    // content and its mode.
    if (!may_hold_a_database(path))
        throw std::runtime_error("file is not a database");
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
