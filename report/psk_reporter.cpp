#include "report/psk_reporter.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>
#include <unordered_map>
#include <utility>

#include "core/log_line.hpp"
#include "core/ascii_case.hpp"
#include "core/state_directory.hpp"
#include "core/station_checks.hpp"
#include "report/ipfix_datagram.hpp"
#include "report/psk_collector_link.hpp"
#include "report/psk_suppression.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr char collector_host[] = "report.pskreporter.info";
constexpr char collector_service[] = "4739";
constexpr std::size_t queue_limit = 4096;
constexpr std::size_t recent_senders_limit = 65535;
constexpr auto repeat_window = std::chrono::seconds(300);
constexpr std::int64_t stale_before_s = 600;
constexpr std::int64_t stale_after_s = 60;
// A batch leaves room for the spot set's worst-case padding.
constexpr std::size_t padding_reserve = 3;

bool is_valid_mode(std::string const& mode)
{
    if (mode.empty() || mode.size() > 16)
        return false;
    return std::all_of(mode.begin(), mode.end(), [](char c) {
        return c == '-' || c == '/' || (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z');
    });
}

bool is_stale(std::uint32_t time, std::int64_t now)
{
    std::int64_t const t = time;
    return t < now - stale_before_s || t > now + stale_after_s;
}

std::uint32_t draw_observation_domain()
{
    std::random_device device;
    return static_cast<std::uint32_t>(device());
}

}  // namespace

std::string psk_suppression_path(std::string const& policy_path, bool has_send_hook)
{
    if (!policy_path.empty())
        return policy_path;
    if (has_send_hook)
        return ":memory:";
    return state_directory("psk-dedup.sqlite3");
}

struct PskReporter::Impl {
    Impl(std::string call, std::string grid, SendHook send, std::chrono::milliseconds period, SentHook sent,
         PskReportPolicy clocks);
    ~Impl() { stop(); }
    Impl(Impl const&) = delete;
    Impl& operator=(Impl const&) = delete;

    void submit(PskSpot const& spot);
    void stop();
    PskReporterStats stats() const;

    void run();
    void loop();
    // Puts spots back at the queue front in their order, then trims the newest beyond the bound.
    // Mutex held.
    void put_back(std::vector<PskSpot>& batch);
    void wait_for_stop_until(std::unique_lock<std::mutex>& lock, SteadyClock::time_point until);

    std::string receiver_call;
    std::string receiver_grid;
    SendHook send_hook;
    SentHook sent_hook;
    PskReportPolicy policy;
    SqliteConnection suppression;
    std::string suppression_path;
    std::uint64_t batch_number = 0;
    std::chrono::milliseconds interval;
    mutable std::mutex mutex;
    std::condition_variable cv;
    std::deque<PskSpot> queue;
    std::unordered_map<std::string, SteadyClock::time_point> recent_senders;
    std::atomic<bool> stopping{false};
    std::thread thread;
    std::uint64_t sent = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t dropped = 0;
    std::uint64_t failures = 0;
    std::uint64_t invalid = 0;
    std::uint64_t stale = 0;
    std::int64_t queued_bytes = 0;
    std::size_t fixed_size = 0;
    std::uint32_t sequence = 0;
    std::uint32_t observation_domain = 0;
    PskCollectorLink link{collector_host, collector_service};
};

PskReporter::Impl::Impl(std::string call, std::string grid, SendHook send, std::chrono::milliseconds period,
                        SentHook sent, PskReportPolicy clocks)
    : receiver_call(upper_ascii(call)),
      receiver_grid(upper_ascii(grid)),
      send_hook(std::move(send)),
      sent_hook(std::move(sent)),
      policy(std::move(clocks)),
      interval(period),
      observation_domain(draw_observation_domain())
{
    if (!is_valid_callsign(receiver_call) || !is_valid_locator(receiver_grid) || interval.count() < 1)
        throw std::runtime_error("Invalid PSK Reporter identity or interval");
    suppression_path = psk_suppression_path(policy.path, static_cast<bool>(send_hook));
    if (!policy.now || !policy.monotonic)
        throw std::runtime_error("Invalid PSK Reporter clock");
    fixed_size = build_ipfix_packet(receiver_call, receiver_grid, {}, 0, 0, observation_domain).size();
    thread = std::thread([this] { run(); });
}

void PskReporter::Impl::submit(PskSpot const& original)
{
    std::scoped_lock lock(mutex);
    if (stopping.load())
        return;
    PskSpot spot = original;
    spot.sender_call = upper_ascii(spot.sender_call);
    spot.sender_grid = upper_ascii(spot.sender_grid);
    if (spot.sender_call == receiver_call)
        return;
    if (!is_valid_callsign(spot.sender_call) || !(spot.sender_grid.empty() || is_valid_locator(spot.sender_grid)) ||
        spot.frequency_hz == 0 || spot.snr < -128 || spot.snr > 127 || !is_valid_mode(spot.mode)) {
        ++invalid;
        return;
    }
    if (is_stale(spot.time, policy.now())) {
        ++stale;
        return;
    }
    auto const m = policy.monotonic();
    auto const known = recent_senders.find(spot.sender_call);
    if (known != recent_senders.end() && m - known->second < repeat_window) {
        ++duplicates;
        return;
    }
    if (recent_senders.size() > recent_senders_limit) {
        std::erase_if(recent_senders, [&](auto const& entry) { return m - entry.second >= repeat_window; });
        if (recent_senders.size() > recent_senders_limit && !recent_senders.contains(spot.sender_call)) {
            ++dropped;
            return;
        }
    }
    recent_senders[spot.sender_call] = m;
    if (queue.size() >= queue_limit) {
        queued_bytes -= static_cast<std::int64_t>(ipfix_record_size(queue.front()));
        queue.pop_front();
        ++dropped;
    }
    queued_bytes += static_cast<std::int64_t>(ipfix_record_size(spot));
    queue.push_back(std::move(spot));
    cv.notify_one();
}

void PskReporter::Impl::stop()
{
    {
        std::scoped_lock lock(mutex);
        stopping.exchange(true);
    }
    cv.notify_all();
    if (thread.joinable())
        thread.join();
}

PskReporterStats PskReporter::Impl::stats() const
{
    std::scoped_lock lock(mutex);
    return {queue.size(), sent, duplicates, dropped, failures, invalid, stale};
}

void PskReporter::Impl::put_back(std::vector<PskSpot>& batch)
{
    for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
        queued_bytes += static_cast<std::int64_t>(ipfix_record_size(*it));
        queue.push_front(std::move(*it));
    }
    batch.clear();
    while (queue.size() > queue_limit) {
        queued_bytes -= static_cast<std::int64_t>(ipfix_record_size(queue.back()));
        queue.pop_back();
        ++dropped;
    }
}

void PskReporter::Impl::wait_for_stop_until(std::unique_lock<std::mutex>& lock, SteadyClock::time_point until)
{
    cv.wait_until(lock, until, [&] { return stopping.load(); });
}

void PskReporter::Impl::run()
{
    try {
        loop();
    } catch (std::exception const& error) {
        {
            std::scoped_lock lock(mutex);
            stopping.exchange(true);
            dropped += queue.size();
            ++failures;
            queue.clear();
            queued_bytes = 0;
        }
        log_line(std::string("PSK Reporter stopped: ") + error.what() + "; ALL.TXT capture continues");
    }
}

void PskReporter::Impl::loop()
{
    auto deadline = SteadyClock::now() + interval;
    std::unique_lock lock(mutex);
    for (;;) {
        while (!stopping.load()) {
            if (!queue.empty() && static_cast<std::size_t>(queued_bytes) + fixed_size >= ipfix_datagram_budget)
                break;
            if (SteadyClock::now() >= deadline)
                break;
            cv.wait_until(lock, deadline);
        }
        if (queue.empty()) {
            if (stopping.load())
                return;
            deadline = SteadyClock::now() + interval;
            continue;
        }

        std::vector<PskSpot> batch;
        std::size_t batch_bytes = fixed_size;
        while (!queue.empty() &&
               batch_bytes + ipfix_record_size(queue.front()) + padding_reserve <= ipfix_datagram_budget) {
            std::size_t const size = ipfix_record_size(queue.front());
            batch_bytes += size;
            queued_bytes -= static_cast<std::int64_t>(size);
            batch.push_back(std::move(queue.front()));
            queue.pop_front();
        }
        lock.unlock();

        std::vector<SuppressionUndo> undo;
        std::int64_t wall = 0;
        try {
            wall = policy.now();
            std::size_t const before = batch.size();
            std::erase_if(batch, [&](PskSpot const& spot) { return is_stale(spot.time, wall); });
            lock.lock();
            stale += before - batch.size();
            if (batch.empty())
                continue;
            lock.unlock();

            if (!suppression)
                suppression = open_suppression_db(suppression_path);
            ++batch_number;
            std::string const owner = std::to_string(observation_domain) + ":" + std::to_string(::getpid()) + ":" +
                                      std::to_string(batch_number);
            std::size_t const unfiltered = batch.size();
            undo = suppress_duplicates(suppression.get(), receiver_call, batch, wall, owner);
            lock.lock();
            duplicates += unfiltered - batch.size();
            if (batch.empty())
                continue;

            // Taken early for a full datagram, but stale or suppressed spots made room: wait for
            // the deadline with the spots back in the queue rather than send a half-empty datagram.
            std::size_t total = fixed_size;
            std::size_t largest = queue.empty() ? 0 : ipfix_record_size(queue.front());
            for (PskSpot const& spot : batch) {
                total += ipfix_record_size(spot);
                largest = std::max(largest, ipfix_record_size(spot));
            }
            if (!stopping.load() && SteadyClock::now() < deadline &&
                total + largest + padding_reserve <= ipfix_datagram_budget) {
                lock.unlock();
                rollback_suppression(suppression.get(), receiver_call, undo);
                undo.clear();
                lock.lock();
                put_back(batch);
                continue;
            }
            lock.unlock();

            auto const datagram = build_ipfix_packet(receiver_call, receiver_grid, batch,
                                                     static_cast<std::uint32_t>(wall), sequence, observation_domain);
            if (send_hook)
                send_hook(datagram);
            else
                link.send(datagram, &stopping);
        } catch (std::exception const& error) {
            if (lock.owns_lock())
                lock.unlock();
            if (!undo.empty()) {
                try {
                    rollback_suppression(suppression.get(), receiver_call, undo);
                } catch (std::exception const& rollback_error) {
                    log_line(std::string("PSK Reporter suppression rollback: ") + rollback_error.what() +
                             "; batch discarded");
                    lock.lock();
                    dropped += batch.size();
                    batch.clear();
                    lock.unlock();
                }
            }
            // Printed before the mutex is taken again: producers must never wait on a stalled log.
            log_line(std::string(error.what()) + "; ALL.TXT capture continues");
            lock.lock();
            ++failures;
            if (stopping.load()) {
                dropped += batch.size() + queue.size();
                queue.clear();
                queued_bytes = 0;
                return;
            }
            put_back(batch);
            deadline = SteadyClock::now() + interval;
            wait_for_stop_until(lock, deadline);
            continue;
        }

        std::uint64_t const n = batch.size();
        lock.lock();
        sent += n;
        sequence = static_cast<std::uint32_t>(sequence + n);
        lock.unlock();
        if (sent_hook) {
            try {
                sent_hook(static_cast<unsigned long>(n), static_cast<long>(wall));
            } catch (std::exception const& error) {
                log_line(std::string("PSK report count unavailable: ") + error.what() + "; reports were already sent");
            } catch (...) {
                log_line("PSK report count unavailable; reports were already sent");
            }
        }
        log_line("PSK Reporter: sent " + std::to_string(n) + " spots");
        lock.lock();
        deadline = SteadyClock::now() + interval;
    }
}

PskReporter::PskReporter(std::string receiver_call, std::string receiver_grid, SendHook send_hook,
                         std::chrono::milliseconds interval, SentHook sent_hook, PskReportPolicy policy)
    : impl_(std::make_unique<Impl>(std::move(receiver_call), std::move(receiver_grid), std::move(send_hook), interval,
                                   std::move(sent_hook), std::move(policy)))
{
}

PskReporter::~PskReporter() = default;

void PskReporter::submit(PskSpot const& spot) { impl_->submit(spot); }

void PskReporter::stop() { impl_->stop(); }

PskReporterStats PskReporter::stats() const { return impl_->stats(); }
