#include "report/psk_report_writer.hpp"

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <ctime>
#include <deque>
#include <limits>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "core/log_line.hpp"
#include "report/history_database.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t queue_bound = 4096;
constexpr std::size_t early_pass_batches = 128;
constexpr std::uint64_t latest_sent_at = 9000000000000;
constexpr std::int64_t retention_s = 604800;
constexpr auto pass_period = std::chrono::seconds(1);
constexpr auto retry_pause = std::chrono::seconds(1);
constexpr auto report_gap = std::chrono::nanoseconds(29999999999);

struct PskSendBatch {
    std::string id;
    std::int64_t sent_at = 0;
    std::int64_t reports = 0;
};

std::string random_prefix()
{
    std::random_device device;
    std::string prefix;
    for (int i = 0; i < 4; ++i) {
        char digits[9];
        std::snprintf(digits, sizeof digits, "%08x", static_cast<unsigned>(device()));
        prefix += digits;
    }
    return prefix;
}

void store(std::string const& path, std::vector<PskSendBatch> const& batches)
{
    SqliteConnection const db = open_history_db(path);
    exec_sql(db.get(),
             "CREATE TABLE IF NOT EXISTS psk_sends(id TEXT PRIMARY KEY,sent_at INTEGER NOT NULL,reports INTEGER NOT "
             "NULL) WITHOUT ROWID");
    exec_sql(db.get(), "CREATE INDEX IF NOT EXISTS psk_send_time ON psk_sends(sent_at)");
    in_immediate_transaction(db.get(), [&] {
        SqliteStatement const insert = prepare_sql(db.get(), "INSERT OR IGNORE INTO psk_sends VALUES(?,?,?)");
        for (PskSendBatch const& batch : batches) {
            sqlite3_reset(insert.get());
            if (sqlite3_bind_text(insert.get(), 1, batch.id.data(), static_cast<int>(batch.id.size()),
                                  SQLITE_TRANSIENT) != SQLITE_OK ||
                sqlite3_bind_int64(insert.get(), 2, batch.sent_at) != SQLITE_OK ||
                sqlite3_bind_int64(insert.get(), 3, batch.reports) != SQLITE_OK ||
                sqlite3_step(insert.get()) != SQLITE_DONE)
                throw std::runtime_error(sqlite3_errmsg(db.get()));
        }
        SqliteStatement const expire = prepare_sql(db.get(), "DELETE FROM psk_sends WHERE sent_at<?");
        if (sqlite3_bind_int64(expire.get(), 1, static_cast<std::int64_t>(std::time(nullptr)) - retention_s) !=
                SQLITE_OK ||
            sqlite3_step(expire.get()) != SQLITE_DONE)
            throw std::runtime_error(sqlite3_errmsg(db.get()));
    });
}

}  // namespace

struct PskReportWriter::Impl {
    explicit Impl(std::string file) : path(std::move(file)), prefix(random_prefix())
    {
        thread = std::thread([this] { run(); });
    }
    ~Impl()
    {
        {
            std::scoped_lock lock(mutex);
            stop = true;
        }
        cv.notify_all();
        thread.join();
    }
    Impl(Impl const&) = delete;
    Impl& operator=(Impl const&) = delete;

    void run();

    std::string path;
    std::string prefix;
    std::uint64_t sequence = 0;
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<PskSendBatch> queue;
    bool stop = false;
    std::thread thread;
};

void PskReportWriter::Impl::run()
{
    // The first failure is reported at once, later ones at most every 30 s.
    auto last_report = SteadyClock::now() - std::chrono::seconds(60);
    for (;;) {
        std::vector<PskSendBatch> batches;
        bool stopping = false;
        {
            std::unique_lock lock(mutex);
            auto const until = SteadyClock::now() + pass_period;
            cv.wait_until(lock, until, [&] { return stop || queue.size() >= early_pass_batches; });
            stopping = stop;
            batches.assign(std::make_move_iterator(queue.begin()), std::make_move_iterator(queue.end()));
            queue.clear();
        }
        if (batches.empty()) {
            if (stopping)
                return;
            continue;
        }
        try {
            store(path, batches);
            if (stopping)
                return;
            continue;
        } catch (std::exception const& error) {
            auto const now = SteadyClock::now();
            if (now - last_report > report_gap) {
                log_line(std::string("PSK report history unavailable: ") + error.what() + "; reporting continues");
                last_report = now;
            }
        }
        std::size_t lost = 0;
        if (stopping) {
            lost = batches.size();
        } else {
            // Newest first, so the batches keep their order ahead of anything queued meanwhile.
            std::scoped_lock lock(mutex);
            for (auto it = batches.rbegin(); it != batches.rend(); ++it) {
                if (queue.size() < queue_bound)
                    queue.push_front(std::move(*it));
                else
                    ++lost;
            }
        }
        // Outside the mutex: record_batch runs on the PSK Reporter sender, which a stalled log
        // must not hold up.
        if (lost > 0)
            log_line("PSK report history dropped " + std::to_string(lost) + " send batches");
        if (stopping)
            return;
        std::unique_lock lock(mutex);
        cv.wait_until(lock, SteadyClock::now() + retry_pause, [&] { return stop; });
    }
}

PskReportWriter::PskReportWriter(std::string path)
    : impl_(path.empty() ? nullptr : std::make_unique<Impl>(std::move(path)))
{
}

PskReportWriter::~PskReportWriter() = default;

void PskReportWriter::record_batch(std::uint64_t reports, std::int64_t sent_at)
{
    if (!impl_ || reports == 0)
        return;
    if (reports > static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max()) ||
        static_cast<std::uint64_t>(sent_at) > latest_sent_at)
        throw std::runtime_error("Invalid sent PSK report batch");
    {
        std::scoped_lock lock(impl_->mutex);
        if (impl_->queue.size() > queue_bound - 1)
            throw std::runtime_error("PSK report history queue full");
        impl_->queue.push_back({impl_->prefix + ":" + std::to_string(impl_->sequence++), sent_at,
                                static_cast<std::int64_t>(reports)});
    }
    impl_->cv.notify_one();
}
