#include "report/psk_suppression.hpp"

#include <sqlite3.h>

#include <array>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "core/private_file.hpp"

namespace {

constexpr std::int64_t repeat_window_s = 300;
constexpr std::int64_t row_lifetime_s = 86400;

std::runtime_error database_error(sqlite3* db) { return std::runtime_error(sqlite3_errmsg(db)); }

// One prepared statement with its binds and steps; finalised on every path.
class Statement {
public:
    Statement(sqlite3* db, char const* sql) : db_(db), owned_(prepare_sql(db, sql)), stmt_(owned_.get()) {}

    Statement& bind(int index, std::string const& text)
    {
        check(sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
        return *this;
    }
    Statement& bind(int index, std::int64_t value)
    {
        check(sqlite3_bind_int64(stmt_, index, value));
        return *this;
    }
    void step_done()
    {
        if (sqlite3_step(stmt_) != SQLITE_DONE)
            throw database_error(db_);
    }
    // True for a row, false when done.
    bool step_row()
    {
        int const rc = sqlite3_step(stmt_);
        if (rc == SQLITE_ROW)
            return true;
        if (rc == SQLITE_DONE)
            return false;
        throw database_error(db_);
    }
    bool is_null(int column) const { return sqlite3_column_type(stmt_, column) == SQLITE_NULL; }
    std::int64_t integer(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string text(int column) const
    {
        auto const* bytes = reinterpret_cast<char const*>(sqlite3_column_text(stmt_, column));
        return bytes == nullptr ? std::string() : std::string(bytes, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }

private:
    void check(int rc)
    {
        if (rc != SQLITE_OK)
            throw database_error(db_);
    }

    sqlite3* db_;
    SqliteStatement owned_;
    sqlite3_stmt* stmt_;
};

struct Band {
    std::int64_t low_hz;
    std::int64_t high_hz;
};

constexpr std::array<Band, 14> amateur_bands{{
    {1800000, 2000000},
    {3500000, 4000000},
    {5000000, 5500000},
    {7000000, 7300000},
    {10100000, 10150000},
    {14000000, 14350000},
    {18068000, 18168000},
    {21000000, 21450000},
    {24890000, 24990000},
    {28000000, 29700000},
    {50000000, 54000000},
    {70000000, 71000000},
    {144000000, 148000000},
    {420000000, 450000000},
}};

}  // namespace

std::int64_t suppression_band_key(std::uint32_t frequency_hz)
{
    std::int64_t const f = frequency_hz;
    for (Band const& band : amateur_bands) {
        if (f >= band.low_hz && f <= band.high_hz)
            return band.low_hz;
    }
    return f / 1000000 * 1000000;
}

SqliteConnection open_suppression_db(std::string const& path)
{
    if (path != ":memory:") {
        PrivateFileResult const file = prepare_private_file(path);
        if (file.status == PrivateFileStatus::open_failed)
            throw std::runtime_error("Cannot open PSK suppression state " + path + ": " + std::strerror(file.error));
        if (file.status == PrivateFileStatus::not_owned)
            throw std::runtime_error("PSK suppression state must be a regular file owned by this user");
    }
    sqlite3* raw = nullptr;
    int const rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX,
                                   nullptr);
    SqliteConnection db(raw);
    if (rc != SQLITE_OK) {
        if (!db)
            throw std::runtime_error("Cannot open PSK suppression state");
        throw database_error(db.get());
    }
    sqlite3_busy_timeout(db.get(), 250);
    exec_sql(db.get(),
             "CREATE TABLE IF NOT EXISTS reports(receiver TEXT NOT NULL,sender TEXT NOT NULL,band INTEGER NOT NULL,"
             "mode TEXT NOT NULL,wall INTEGER NOT NULL,observed INTEGER NOT NULL,owner TEXT NOT NULL,"
             "PRIMARY KEY(receiver,sender,band,mode)) WITHOUT ROWID");
    exec_sql(db.get(), "CREATE INDEX IF NOT EXISTS report_wall ON reports(wall)");
    return db;
}

std::vector<SuppressionUndo> suppress_duplicates(sqlite3* db, std::string const& receiver, std::vector<PskSpot>& batch,
                                                 std::int64_t wall, std::string const& owner)
{
    std::vector<SuppressionUndo> undo;
    std::vector<PskSpot> kept;
    in_immediate_transaction(db, [&] {
        Statement(db, "DELETE FROM reports WHERE wall < ?").bind(1, wall - row_lifetime_s).step_done();
        for (PskSpot const& spot : batch) {
            auto const band = suppression_band_key(spot.frequency_hz);
            std::int64_t const observed = spot.time;
            {
                // Any band and mode of the sender counts: one report per station per window.
                Statement latest(db, "SELECT max(wall),max(observed) FROM reports WHERE receiver=? AND sender=?");
                latest.bind(1, receiver).bind(2, spot.sender_call);
                if (!latest.step_row())
                    throw database_error(db);
                if (!latest.is_null(0) &&
                    (wall - latest.integer(0) < repeat_window_s || observed - latest.integer(1) < repeat_window_s))
                    continue;
            }
            SuppressionUndo entry;
            entry.written = {spot.sender_call, spot.mode, owner, band, wall, observed};
            {
                Statement previous(db, "SELECT wall,observed,owner FROM reports WHERE receiver=? AND sender=? AND band=? "
                                       "AND mode=?");
                previous.bind(1, receiver).bind(2, spot.sender_call).bind(3, band).bind(4, spot.mode);
                if (previous.step_row()) {
                    entry.had_replaced = true;
                    entry.replaced = {spot.sender_call, spot.mode,         previous.text(2),
                                      entry.written.band, previous.integer(0), previous.integer(1)};
                }
            }
            Statement(db, "INSERT OR REPLACE INTO reports VALUES(?,?,?,?,?,?,?)")
                .bind(1, receiver)
                .bind(2, spot.sender_call)
                .bind(3, band)
                .bind(4, spot.mode)
                .bind(5, wall)
                .bind(6, observed)
                .bind(7, owner)
                .step_done();
            undo.push_back(std::move(entry));
            kept.push_back(spot);
        }
    });
    batch = std::move(kept);
    return undo;
}

void rollback_suppression(sqlite3* db, std::string const& receiver, std::vector<SuppressionUndo> const& undo)
{
    in_immediate_transaction(db, [&] {
        for (SuppressionUndo const& entry : undo) {
            SuppressionRow const& row = entry.written;
            Statement(db, "DELETE FROM reports WHERE receiver=? AND sender=? AND band=? AND mode=? AND owner=?")
                .bind(1, receiver)
                .bind(2, row.sender)
                .bind(3, row.band)
                .bind(4, row.mode)
                .bind(5, row.owner)
                .step_done();
            // A row another batch has overwritten since is theirs now: neither it nor what it
            // replaced is ours to restore.
            if (sqlite3_changes(db) == 0 || !entry.had_replaced)
                continue;
            SuppressionRow const& old = entry.replaced;
            Statement(db, "INSERT INTO reports VALUES(?,?,?,?,?,?,?)")
                .bind(1, receiver)
                .bind(2, old.sender)
                .bind(3, old.band)
                .bind(4, old.mode)
                .bind(5, old.wall)
                .bind(6, old.observed)
                .bind(7, old.owner)
                .step_done();
        }
    });
}
