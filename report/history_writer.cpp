#include "report/history_writer.hpp"

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <exception>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <thread>

#include "core/digital_mode.hpp"
#include "core/log_line.hpp"
#include "report/history_database.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t queue_limit = 4096;
constexpr std::size_t wake_batch = 128;
constexpr auto pass_period = std::chrono::seconds(5);
constexpr auto failure_pause = std::chrono::seconds(1);
constexpr auto report_gap = std::chrono::nanoseconds(29999999999);

// How a mode's intervals fall into one history minute.
struct SlotLayout {
    std::int64_t period_ms = 0;
    int slots = 0;                  // 0 for WSPR: its two-minute interval has the one slot 0
    std::size_t counts_bytes = 0;   // 64, or 8 per slot for modes with more than 8 slots
    std::int64_t mask_bound = 0;    // masks are below this
};

std::optional<SlotLayout> slot_layout(std::string const& mode)
{
    for (DigitalMode candidate : all_digital_modes) {
        if (digital_mode_name(candidate) != mode)
            continue;
        SlotLayout layout;
        layout.period_ms = digital_mode_interval_samples(candidate) / 12;  // 12000 samples a second
        layout.slots = static_cast<int>(60000 / layout.period_ms);
        layout.counts_bytes = layout.slots < 9 ? 64 : 8 * static_cast<std::size_t>(layout.slots);
        layout.mask_bound = std::int64_t{1} << std::max(layout.slots, 1);
        return layout;
    }
    return std::nullopt;
}

void bind_text(sqlite3_stmt* statement, int index, std::string const& text)
{
    sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

void step_done(sqlite3* connection, sqlite3_stmt* statement)
{
    if (sqlite3_step(statement) != SQLITE_DONE)
        throw std::runtime_error(sqlite3_errmsg(connection));
    sqlite3_reset(statement);
    sqlite3_clear_bindings(statement);
}

std::int64_t current_utc_minute()
{
    auto const since_epoch = std::chrono::system_clock::now().time_since_epoch();
    return std::chrono::floor<std::chrono::minutes>(since_epoch).count();
}

// Merges one observation into its minute row; observations that name no slot are left out.
void store_observation(sqlite3* connection, sqlite3_stmt* select, sqlite3_stmt* insert,
                       HistoryObservation const& observation)
{
    std::optional<SlotLayout> const layout = slot_layout(observation.mode);
    if (!layout)
        return;
    if (!std::isfinite(observation.time_s) || observation.time_s < 0.0 || observation.time_s > 9e12)
        return;
    if (!std::isfinite(observation.frequency_hz) || observation.frequency_hz < 1000.0 ||
        observation.frequency_hz > 2e9)
        return;
    std::int64_t const ms = std::llround(observation.time_s * 1000.0);
    if (ms % layout->period_ms != 0)
        return;
    int const slot = static_cast<int>((ms % 60000) / layout->period_ms);
    std::int64_t const minute = ms / 60000;
    std::int64_t const frequency = std::llround(observation.frequency_hz);

    bind_text(select, 1, observation.receiver);
    sqlite3_bind_int64(select, 2, frequency);
    bind_text(select, 3, observation.mode);
    sqlite3_bind_int64(select, 4, minute);
    std::int64_t mask = 0;
    std::string counts(layout->counts_bytes, '\0');
    int const found = sqlite3_step(select);
    if (found == SQLITE_ROW) {
        mask = sqlite3_column_int64(select, 0);
        auto const* blob = static_cast<char const*>(sqlite3_column_blob(select, 1));
        auto const bytes = static_cast<std::size_t>(sqlite3_column_bytes(select, 1));
        if (sqlite3_column_type(select, 1) != SQLITE_BLOB || bytes != layout->counts_bytes || mask < 0 ||
            mask >= layout->mask_bound) {
            throw std::runtime_error("Invalid history counts");
        }
        counts.assign(blob, bytes);
    } else if (found != SQLITE_DONE) {
        throw std::runtime_error(sqlite3_errmsg(connection));
    }
    sqlite3_reset(select);
    sqlite3_clear_bindings(select);
    if ((mask >> slot) & 1)
        return;  // the count first recorded for a slot stays

    for (int byte = 0; byte < 8; ++byte)
        counts[8 * static_cast<std::size_t>(slot) + byte] = static_cast<char>((observation.count >> (8 * byte)) & 0xff);
    mask |= std::int64_t{1} << slot;

    bind_text(insert, 1, observation.receiver);
    sqlite3_bind_int64(insert, 2, frequency);
    bind_text(insert, 3, observation.mode);
    sqlite3_bind_int64(insert, 4, minute);
    sqlite3_bind_int64(insert, 5, mask);
    sqlite3_bind_blob(insert, 6, counts.data(), static_cast<int>(counts.size()), SQLITE_TRANSIENT);
    step_done(connection, insert);
}

}  // namespace

struct HistoryWriter::Impl {
    std::string path;
    int retention_days;
    std::mutex mutex;
    std::condition_variable wake;
    std::deque<HistoryObservation> queue;
    bool stop = false;
    std::thread writer;

    Impl(std::string path_in, int retention_days_in)
        : path(std::move(path_in)), retention_days(retention_days_in), writer([this] { run(); })
    {
    }

    void run();
    void write_batch(std::deque<HistoryObservation> const& batch);
};

void HistoryWriter::Impl::write_batch(std::deque<HistoryObservation> const& batch)
{
    SqliteConnection const connection = open_history_db(path);
    sqlite3* const db = connection.get();
    in_immediate_transaction(db, [&] {
        SqliteStatement const select = prepare_sql(
            db, "SELECT mask,counts FROM minutes WHERE receiver=? AND frequency=? AND mode=? AND minute=?");
        SqliteStatement const insert = prepare_sql(db, "INSERT OR REPLACE INTO minutes VALUES(?,?,?,?,?,?)");
        for (HistoryObservation const& observation : batch)
            store_observation(db, select.get(), insert.get(), observation);

        // At most the 60 oldest expired minutes per pass, so a long backlog never makes one
        // transaction hold the file for long.
        SqliteStatement const expire = prepare_sql(
            db,
            "DELETE FROM minutes WHERE minute IN (SELECT DISTINCT minute FROM minutes WHERE minute<? ORDER BY minute "
            "LIMIT 60)");
        sqlite3_bind_int64(expire.get(), 1, current_utc_minute() - std::int64_t{retention_days} * 1440);
        step_done(db, expire.get());
    });
}

void HistoryWriter::Impl::run()
{
    // Set back so that the first failure is reported at once.
    auto last_report = SteadyClock::now() - std::chrono::seconds(60);
    for (;;) {
        std::deque<HistoryObservation> batch;
        bool stopping = false;
        {
            std::unique_lock lock(mutex);
            auto const pass_start = SteadyClock::now();
            if (!stop)
                wake.wait_until(lock, pass_start + pass_period, [&] { return stop || queue.size() >= wake_batch; });
            stopping = stop;
            batch.swap(queue);
        }
        if (batch.empty()) {
            if (stopping)
                return;
            continue;
        }
        try {
            write_batch(batch);
            if (stopping)
                return;
            continue;
        } catch (std::exception const& error) {
            auto const now = SteadyClock::now();
            if (now - last_report > report_gap) {
                log_line(std::string("History storage unavailable: ") + error.what() + "; reception continues");
                last_report = now;
            }
        }

        std::size_t dropped = 0;
        if (stopping) {
            dropped = batch.size();
        } else {
            // Back to the front, newest first, so the batch keeps its place ahead of what was
            // queued meanwhile; what no longer fits is the oldest.
            std::scoped_lock lock(mutex);
            for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
                if (queue.size() >= queue_limit) {
                    dropped = static_cast<std::size_t>(batch.rend() - it);
                    break;
                }
                queue.push_front(std::move(*it));
            }
        }
        if (dropped > 0)
            log_line("History dropped " + std::to_string(dropped) + " observations");
        if (stopping)
            return;
        std::unique_lock lock(mutex);
        wake.wait_for(lock, failure_pause, [&] { return stop; });
    }
}

HistoryWriter::HistoryWriter(std::string path, int retention_days)
    : impl_(std::make_unique<Impl>(std::move(path), retention_days))
{
}

HistoryWriter::~HistoryWriter()
{
    {
        std::scoped_lock lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->wake.notify_all();
    impl_->writer.join();
}

void HistoryWriter::record(HistoryObservation observation)
{
    bool skipped = false;
    bool notify = false;
    {
        std::scoped_lock lock(impl_->mutex);
        if (impl_->queue.size() >= queue_limit) {
            impl_->queue.pop_front();
            skipped = true;
        }
        impl_->queue.push_back(std::move(observation));
        notify = impl_->queue.size() == wake_batch;
    }
    if (notify)
        impl_->wake.notify_one();
    if (skipped)
        log_line("History queue full; oldest observation skipped");
}
