#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "report/sqlite_connection.hpp"
#include "report/psk_spot.hpp"

// Which sender each receiver last reported, kept in sqlite so that a station goes to PSK Reporter
// at most once per 300 seconds across restarts and across processes sharing the file.

// One stored row of the state (the receiver is the reporter's own).
struct SuppressionRow {
    std::string sender;
    std::string mode;
    std::string owner;
    std::int64_t band = 0;  // band keys of 2.148 GHz and above pass 2^31
    std::int64_t wall = 0;
    std::int64_t observed = 0;
};

// What a batch wrote for one kept spot, and the row it replaced, so that an unsent batch can be
// undone exactly.
struct SuppressionUndo {
    SuppressionRow written;
    SuppressionRow replaced;
    bool had_replaced = false;
};

// Lower edge of the amateur band holding the frequency, else the frequency cut to whole MHz.
std::int64_t suppression_band_key(std::uint32_t frequency_hz);

// Opens (and creates) the state; ":memory:" is a private database living as long as the
// connection. Anything but the user's own regular file is refused.
SqliteConnection open_suppression_db(std::string const& path);

// Filters the batch in place (kept spots in order), writing a row per kept spot under owner, all
// in one immediate transaction. On failure the database and the batch are left as they were.
std::vector<SuppressionUndo> suppress_duplicates(sqlite3* db, std::string const& receiver, std::vector<PskSpot>& batch,
                                                 std::int64_t wall, std::string const& owner);

// Removes what a batch wrote and puts the replaced rows back; rows another owner has written
// since are left alone.
void rollback_suppression(sqlite3* db, std::string const& receiver, std::vector<SuppressionUndo> const& undo);
