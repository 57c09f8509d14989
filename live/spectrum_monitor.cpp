#include "live/spectrum_monitor.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdlib>
#include <limits>

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr auto meter_hold = std::chrono::seconds(3);
constexpr auto strongest_period = std::chrono::milliseconds(200);
constexpr double centre_exclusion_hz = 12000.0;

std::uint64_t monitor_fft_size(double sample_rate_hz)
{
    double const wanted = 0.04 * sample_rate_hz;
    std::uint64_t n = 1;
    while (static_cast<double>(n) < wanted)
        n *= 2;
    return n;
}

std::int64_t ticks(SteadyClock::time_point at) { return at.time_since_epoch().count(); }

}  // namespace

std::uint64_t pack_level_report(double frequency_hz, double level_db)
{
    double const frequency = std::clamp(frequency_hz, 0.0, 4000000000.0);
    // The level is rounded in dB and only then offset: rounding after the offset would turn a
    // negative half-way level (-20.5) toward zero instead of away from it. The bound before the
    // rounding only keeps llround within range; the byte's own clamp decides.
    std::int64_t const rounded_db = std::llround(std::clamp(level_db, -1000.0, 1000.0));
    auto const hz = static_cast<std::uint64_t>(std::llround(frequency));
    auto const byte = static_cast<std::uint64_t>(std::clamp<std::int64_t>(rounded_db + 160, 0, 255));
    return hz | (byte << 32) | level_report_present;
}

struct SpectrumMonitor::Impl {
    double sample_rate_hz;
    double centre_hz;
    double usable_rate_hz;
    std::uint64_t fft_size;
    std::uint64_t bins_cap;
    std::uint64_t bin_step;
    std::shared_ptr<SpectrumRows> engine;
    // Written by one thread each and read by the other: atomics, so neither sees a torn value.
    std::atomic<std::uint64_t> strongest {0};
    std::int64_t strongest_time = std::numeric_limits<std::int64_t>::min();  // capture thread only
    std::atomic<std::int64_t> meter_time {std::numeric_limits<std::int64_t>::min()};

    bool cpu_strongest(SpectrumFrame const& frame, std::int64_t& best_bin, float& best_power) const;
};

SpectrumMonitor::SpectrumMonitor(double sample_rate_hz, double centre_hz, double nominal_rate_hz,
                                 std::shared_ptr<SpectrumRows> engine)
    : impl_(std::make_unique<Impl>())
{
    impl_->sample_rate_hz = sample_rate_hz;
    impl_->centre_hz = centre_hz;
    impl_->usable_rate_hz = std::min(nominal_rate_hz, sample_rate_hz);
    impl_->fft_size = monitor_fft_size(sample_rate_hz);
    impl_->bins_cap = std::min<std::uint64_t>(impl_->fft_size, 1024);
    impl_->bin_step = impl_->fft_size / impl_->bins_cap;
    impl_->engine = std::move(engine);
}

SpectrumMonitor::~SpectrumMonitor() = default;

std::uint64_t SpectrumMonitor::fft_size() const { return impl_->fft_size; }

std::uint64_t SpectrumMonitor::bin_step() const { return impl_->bin_step; }

std::uint64_t SpectrumMonitor::strongest() const { return impl_->strongest.load(std::memory_order_relaxed); }

void SpectrumMonitor::note_meter_request()
{
    impl_->meter_time.store(ticks(SteadyClock::now()), std::memory_order_relaxed);
}

bool SpectrumMonitor::Impl::cpu_strongest(SpectrumFrame const& frame, std::int64_t& best_bin,
                                          float& best_power) const
{
    auto const n = static_cast<std::int64_t>(fft_size);
    std::int64_t const exclusion = std::llround(static_cast<double>(fft_size) * centre_exclusion_hz / frame.rate);
    float const largest = std::numeric_limits<float>::max();
    bool found = false;
    for (std::uint64_t i = 0; i < fft_size; ++i) {
        auto b = static_cast<std::int64_t>(i / bins_cap + (i % bins_cap) * bin_step);
        if (b >= n / 2)
            b -= n;
        if (std::llabs(b) < exclusion)
            continue;
        std::complex<float> const value = frame.bins[i];
        float const power = value.real() * value.real() + value.imag() * value.imag();
        if (!(power <= largest))
            continue;
        if (!found || power > best_power || (power == best_power && b < best_bin)) {
            best_power = power;
            best_bin = b;
            found = true;
        }
    }
    return found;
}

void SpectrumMonitor::update_strongest(SpectrumFrame const& frame)
{
    Impl& m = *impl_;
    if (frame.fft_size != m.fft_size || frame.bin_step != m.bin_step)
        return;
    std::int64_t const now = ticks(SteadyClock::now());
    std::int64_t const meter = m.meter_time.load(std::memory_order_relaxed);
    std::int64_t const hold = std::chrono::duration_cast<SteadyClock::duration>(meter_hold).count();
    std::int64_t const period = std::chrono::duration_cast<SteadyClock::duration>(strongest_period).count();
    // Compared as differences from the last event, so the "never" sentinel cannot overflow.
    if (meter == std::numeric_limits<std::int64_t>::min() || now - meter > hold)
        return;
    if (m.strongest_time != std::numeric_limits<std::int64_t>::min() && now - m.strongest_time < period)
        return;
    m.strongest_time = now;

    std::int64_t bin = 0;
    float power = 0.0f;
    if (frame.results == nullptr) {
        if (frame.bins == nullptr || !m.cpu_strongest(frame, bin, power))
            return;
    } else {
        if (!m.engine)
            return;
        m.engine->set_window(frame.centre, m.usable_rate_hz, centre_exclusion_hz);
        if (!frame.results->window_peak(bin, power))
            return;
    }
    if (!(power > 0.0f))
        return;
    double const n = static_cast<double>(m.fft_size);
    double const level = std::clamp(10.0 * std::log10(static_cast<double>(power) / (n * n)), -160.0, 20.0);
    double const frequency = static_cast<double>(bin) * frame.rate / n + frame.centre;
    m.strongest.store(pack_level_report(frequency, level), std::memory_order_relaxed);
}
