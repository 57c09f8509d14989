#include "tests/support/sqlite_probe.hpp"

#include <stdexcept>

SqliteProbe::SqliteProbe(std::filesystem::path const& path)
{
    if (sqlite3_open(path.c_str(), &db_) != SQLITE_OK) {
        std::string const message = sqlite3_errmsg(db_);
        sqlite3_close(db_);
        throw std::runtime_error(message);
    }
}

SqliteProbe::~SqliteProbe() { sqlite3_close(db_); }

void SqliteProbe::exec(std::string const& sql)
{
    if (sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db_));
}

std::int64_t SqliteProbe::integer(std::string const& sql)
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db_));
    std::int64_t value = -1;
    if (sqlite3_step(statement) == SQLITE_ROW)
        value = sqlite3_column_int64(statement, 0);
    sqlite3_finalize(statement);
    return value;
}

std::vector<MinutesRow> SqliteProbe::rows()
{
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db_, "SELECT * FROM minutes ORDER BY minute,mode,frequency,receiver", -1, &statement,
                           nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db_));
    std::vector<MinutesRow> rows;
    while (sqlite3_step(statement) == SQLITE_ROW) {
        MinutesRow row;
        row.receiver = reinterpret_cast<char const*>(sqlite3_column_text(statement, 0));
        row.frequency = sqlite3_column_int64(statement, 1);
        row.mode = reinterpret_cast<char const*>(sqlite3_column_text(statement, 2));
        row.minute = sqlite3_column_int64(statement, 3);
        row.mask = sqlite3_column_int64(statement, 4);
        auto const* blob = static_cast<char const*>(sqlite3_column_blob(statement, 5));
        row.counts.assign(blob, static_cast<std::size_t>(sqlite3_column_bytes(statement, 5)));
        rows.push_back(row);
    }
    sqlite3_finalize(statement);
    return rows;
}

void SqliteProbe::put(std::string const& mode, std::int64_t minute, std::int64_t mask, std::string const& counts)
{
    sqlite3_stmt* statement = nullptr;
    sqlite3_prepare_v2(db_, "INSERT INTO minutes VALUES('rx',14074000,?,?,?,?)", -1, &statement, nullptr);
    sqlite3_bind_text(statement, 1, mode.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement, 2, minute);
    sqlite3_bind_int64(statement, 3, mask);
    sqlite3_bind_blob(statement, 4, counts.data(), static_cast<int>(counts.size()), SQLITE_TRANSIENT);
    int const step = sqlite3_step(statement);
    sqlite3_finalize(statement);
    if (step != SQLITE_DONE)
        throw std::runtime_error(sqlite3_errmsg(db_));
}

std::uint64_t slot_count(std::string const& counts, int slot)
{
    std::uint64_t value = 0;
    for (int byte = 7; byte >= 0; --byte)
        value = (value << 8) | static_cast<unsigned char>(counts.at(8 * static_cast<std::size_t>(slot) + byte));
    return value;
}
