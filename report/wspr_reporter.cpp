#include "report/wspr_reporter.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>

#include "core/format_utc.hpp"
#include "core/log_line.hpp"
#include "core/station_checks.hpp"
#include "report/post_form_with_curl.hpp"

namespace {

constexpr char const* endpoint_url = "http://wsprnet.org/post/";
constexpr std::size_t queue_limit = 1024;
constexpr double spot_lifetime_s = 600.0;
constexpr auto upload_gap = std::chrono::milliseconds(200);

struct WsprUpload {
    double spot_time = 0.0;
    std::string body;
};

std::int64_t system_seconds()
{
    return std::chrono::floor<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// to_chars is locale-free, so a daemon started under a comma-decimal locale posts the same form.
std::string fixed(double value, int decimals)
{
    char buffer[64];
    auto const [end, error] = std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    if (error != std::errc())
        throw InvalidWsprSpot();
    return std::string(buffer, end);
}

void append_encoded(std::string& out, std::string const& value)
{
    static constexpr char hex[] = "0123456789ABCDEF";
    for (char c : value) {
        auto const byte = static_cast<unsigned char>(c);
        bool const plain = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                           (byte >= '0' && byte <= '9') || byte == '-' || byte == '.' || byte == '_';
        if (plain) {
            out += c;
        } else {
            out += '%';
            out += hex[byte >> 4];
            out += hex[byte & 0x0f];
        }
    }
}

bool spot_is_valid(std::string const& receiver_call, std::string const& receiver_grid, double start_utc,
                   double dial_hz, DecodedSpot const& spot)
{
    return is_valid_callsign(receiver_call) && is_valid_locator(receiver_grid) && is_valid_callsign(spot.sender) &&
           (spot.grid.empty() || is_valid_locator(spot.grid)) && spot.dbm >= 0 && spot.dbm <= 60 &&
           spot.snr >= -50 && spot.snr <= 50 && std::isfinite(start_utc) && start_utc >= 0.0 &&
           start_utc <= 4294967295.0 && std::fmod(start_utc, 120.0) == 0.0 && std::isfinite(dial_hz) &&
           dial_hz >= 1000.0 && dial_hz <= 2000000000.0 && spot.audio_hz >= 1350 && spot.audio_hz <= 1650 &&
           std::isfinite(spot.dt) && std::fabs(spot.dt) <= 10.0 && spot.drift >= -10 && spot.drift <= 10;
}

// The fields in ascending byte order of their keys, as WSPRnet's form expects them.
std::string form_body(std::string const& receiver_call, std::string const& receiver_grid, double start_utc,
                      double dial_hz, DecodedSpot const& spot)
{
    auto const time = static_cast<std::time_t>(start_utc);
    std::pair<char const*, std::string> const fields[] = {
        {"date", format_utc(time, "%y%m%d")},
        {"dbm", std::to_string(spot.dbm)},
        {"drift", std::to_string(spot.drift)},
        {"dt", fixed(spot.dt, 1)},
        {"function", "wspr"},
        {"mode", "2"},
        {"rcall", receiver_call},
        {"rgrid", receiver_grid},
        {"rqrg", fixed(dial_hz / 1e6, 6)},
        {"sig", std::to_string(spot.snr)},
        {"tcall", spot.sender},
        {"tgrid", spot.grid},
        {"time", format_utc(time, "%H%M")},
        {"tqrg", fixed((dial_hz + spot.audio_hz) / 1e6, 6)},
        {"version", "norvane 0.55.0"},
    };
    std::string body;
    for (auto const& [key, value] : fields) {
        if (!body.empty())
            body += '&';
        body += key;
        body += '=';
        append_encoded(body, value);
    }
    return body;
}

}  // namespace

struct WsprReporter::Impl {
    std::string receiver_call;
    std::string receiver_grid;
    Upload upload;
    Clock clock;
    mutable std::mutex mutex;
    std::condition_variable wake;
    std::deque<WsprUpload> queue;
    std::map<std::string, double> recent;  // duplicate key -> spot time
    std::atomic<bool> stop{false};
    std::uint64_t accepted = 0;
    std::uint64_t sent = 0;
    std::uint64_t failed = 0;
    std::uint64_t duplicates = 0;
    std::uint64_t dropped = 0;
    std::thread uploader;  // last: it starts once everything it touches is built

    Impl(std::string call, std::string grid, Upload upload_in, Clock clock_in)
        : receiver_call(std::move(call)),
          receiver_grid(std::move(grid)),
          upload(upload_in ? std::move(upload_in) : Upload(post_wspr_spots)),
          clock(clock_in ? std::move(clock_in) : Clock(system_seconds)),
          uploader([this] { run(); })
    {
    }

    void run();
};

void WsprReporter::Impl::run()
{
    for (;;) {
        WsprUpload next;
        {
            std::unique_lock lock(mutex);
            wake.wait(lock, [&] { return stop.load() || !queue.empty(); });
            if (stop.load())
                return;
            next = std::move(queue.front());
            queue.pop_front();
        }
        bool ok = false;
        // A spot that waited too long would reach WSPRnet as a stale report: it counts as lost.
        if (static_cast<double>(clock()) - next.spot_time <= spot_lifetime_s) {
            try {
                ok = upload(next.body, stop);
            } catch (...) {
                ok = false;  // whatever went wrong, the outcome is uncertain: never retried
            }
        }
        {
            std::scoped_lock lock(mutex);
            ++(ok ? sent : failed);
        }
        if (!ok && !stop.load())
            log_line("WSPRnet upload failed or expired; reception continues (no automatic retry of uncertain uploads)");
        std::unique_lock lock(mutex);
        wake.wait_for(lock, upload_gap, [&] { return stop.load(); });
    }
}

WsprReporter::WsprReporter(std::string receiver_call, std::string receiver_grid, Upload upload, Clock clock)
{
    if (!is_valid_callsign(receiver_call) || !is_valid_locator(receiver_grid))
        throw std::runtime_error("Invalid WSPRnet station identity");
    impl_ = std::make_unique<Impl>(std::move(receiver_call), std::move(receiver_grid), std::move(upload),
                                   std::move(clock));
}

WsprReporter::~WsprReporter() { stop(); }

void WsprReporter::submit(double start_utc, double dial_hz, DecodedSpot const& spot)
{
    Impl& impl = *impl_;
    auto const now = static_cast<double>(impl.clock());
    if (start_utc > now || start_utc < now - spot_lifetime_s)
        return;
    if (spot.sender == impl.receiver_call)
        return;
    if (!spot_is_valid(impl.receiver_call, impl.receiver_grid, start_utc, dial_hz, spot))
        throw InvalidWsprSpot();
    std::string body;
    try {
        body = form_body(impl.receiver_call, impl.receiver_grid, start_utc, dial_hz, spot);
    } catch (std::runtime_error const&) {
        throw InvalidWsprSpot();
    }
    std::string key = spot.sender + ":" + std::to_string(static_cast<std::int64_t>(dial_hz / 1e6)) + ":" +
                      std::to_string(static_cast<std::int64_t>(start_utc));

    {
        std::scoped_lock lock(impl.mutex);
        if (impl.stop.load())
            return;
        std::erase_if(impl.recent, [&](auto const& entry) { return entry.second < now - spot_lifetime_s; });
        if (impl.recent.contains(key)) {
            ++impl.duplicates;
            return;
        }
        if (impl.queue.size() >= queue_limit) {
            ++impl.dropped;
            return;
        }
        impl.recent.emplace(std::move(key), start_utc);
        impl.queue.push_back(WsprUpload{start_utc, std::move(body)});
        ++impl.accepted;
    }
    impl.wake.notify_one();
}

void WsprReporter::stop()
{
    if (!impl_)
        return;
    {
        std::scoped_lock lock(impl_->mutex);
        impl_->stop.store(true);
        impl_->dropped += impl_->queue.size();
        impl_->queue.clear();
    }
    impl_->wake.notify_all();
    impl_->stop.notify_all();  // an upload waiting on the flag itself gives up at once
    if (impl_->uploader.joinable())
        impl_->uploader.join();
}

WsprReporterStats WsprReporter::stats() const
{
    std::scoped_lock lock(impl_->mutex);
    return WsprReporterStats{impl_->queue.size(), impl_->accepted, impl_->sent,
                             impl_->failed,       impl_->duplicates, impl_->dropped};
}

bool post_wspr_spots(std::string const& body, std::atomic<bool> const& stop)
{
    return post_form_with_curl(endpoint_url, body, stop);
}
