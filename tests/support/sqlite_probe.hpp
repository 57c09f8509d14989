#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

// The test's own connection to a sqlite file the program keeps, independent of the code under
// test. Every call throws std::runtime_error with sqlite's message when it fails.

// One row of the history table "minutes".
struct MinutesRow {
    std::string receiver;
    std::int64_t frequency = 0;
    std::string mode;
    std::int64_t minute = 0;
    std::int64_t mask = 0;
    std::string counts;  // the blob as it is stored
};

// The count of one slot in a "minutes" counts blob (8 little-endian bytes per slot).
std::uint64_t slot_count(std::string const& counts, int slot);

class SqliteProbe {
public:
    explicit SqliteProbe(std::filesystem::path const& path);
    ~SqliteProbe();
    SqliteProbe(SqliteProbe const&) = delete;
    SqliteProbe& operator=(SqliteProbe const&) = delete;

    void exec(std::string const& sql);
    // Column 0 of the first row, or -1 when there is no row.
    std::int64_t integer(std::string const& sql);
    // The "minutes" table, ordered by minute, mode, frequency and receiver.
    std::vector<MinutesRow> rows();
    // Stores a "minutes" row of receiver "rx" at 14074000 Hz as given, bypassing the writer.
    void put(std::string const& mode, std::int64_t minute, std::int64_t mask, std::string const& counts);

private:
    sqlite3* db_ = nullptr;
};
