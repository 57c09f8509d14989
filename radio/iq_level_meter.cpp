#include "radio/iq_level_meter.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <iomanip>
#include <locale>
#include <sstream>
#include <stdexcept>

namespace {

struct BlockStats {
    double peak = 0.0;
    double sum_squares = 0.0;
    std::uint64_t invalid = 0;
};

// Single-precision partial sums, four lanes at a time, in runs short enough that a full-scale
// run cannot lose the small terms; the runs add up in double. A non-finite total means the block
// holds a NaN or an infinity (or a value too large to square in float), and only then is the
// block scanned again, in double, skipping and counting the non-finite components.
BlockStats block_stats(float const* x, std::size_t count)
{
    constexpr std::size_t run_length = 4096;
    double total = 0.0;
    float peaks[4] = {0.0f, 0.0f, 0.0f, 0.0f};
    for (std::size_t start = 0; start < count; start += run_length) {
        std::size_t const end = std::min(count, start + run_length);
        float sums[4] = {0.0f, 0.0f, 0.0f, 0.0f};
        std::size_t i = start;
        for (; i + 4 <= end; i += 4) {
            for (std::size_t lane = 0; lane < 4; ++lane) {
                float const v = x[i + lane];
                sums[lane] += v * v;
                peaks[lane] = std::max(peaks[lane], std::fabs(v));
            }
        }
        for (; i < end; ++i) {
            sums[0] += x[i] * x[i];
            peaks[0] = std::max(peaks[0], std::fabs(x[i]));
        }
        total += static_cast<double>(sums[0]) + sums[1] + sums[2] + sums[3];
    }
    if (std::isfinite(total)) {
        float const peak = std::max(std::max(peaks[0], peaks[1]), std::max(peaks[2], peaks[3]));
        return {peak, total, 0};
    }

    BlockStats stats;
    for (std::size_t i = 0; i < count; ++i) {
        double const v = x[i];
        if (!std::isfinite(v)) {
            ++stats.invalid;
            continue;
        }
        stats.sum_squares += v * v;
        stats.peak = std::max(stats.peak, std::fabs(v));
    }
    return stats;
}

void check_time(double t)
{
    if (!std::isfinite(t) || std::fabs(t) > 1e12)
        throw std::runtime_error("Invalid IQ meter timestamp");
}

std::string format_level(double value)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::setprecision(12) << value;
    return out.str();
}

}  // namespace

void IqLevelMeter::update(std::span<std::complex<float> const> samples, double t)
{
    // complex<float> is laid out as two floats, so the block reads as 2N components.
    BlockStats const stats = block_stats(reinterpret_cast<float const*>(samples.data()), samples.size() * 2);
    add(stats.peak, stats.sum_squares, stats.invalid, samples.size(), t);
}

void IqLevelMeter::add_levels(double peak, double sum_squares, std::uint64_t samples, double t)
{
    add(peak, sum_squares, 0, samples, t);
}

void IqLevelMeter::add(double peak, double sum_squares, std::uint64_t invalid, std::uint64_t n, double t)
{
    check_time(t);
    auto const fast_slot = static_cast<std::int64_t>(std::floor(t * 20.0));
    auto const quarter_slot = static_cast<std::int64_t>(std::floor(t * 4.0));

    auto add_to = [&](Bin& bin, std::int64_t index) {
        if (!bin.used || bin.index != index)
            bin = Bin{index, true, 0.0, 0.0, 0, invalid};
        else
            bin.invalid += invalid;
        bin.peak = std::max(bin.peak, peak);
        bin.sum_squares += sum_squares;
        bin.samples += n;
    };

    std::scoped_lock lock(mutex_);
    if (has_data_ && t < last_time_) {
        // The clock went back: the bins describe a future that did not happen.
        quarter_bins_.fill(Bin{});
        fast_bins_.fill(Bin{});
    }
    add_to(quarter_bins_[static_cast<std::size_t>(((quarter_slot % 20) + 20) % 20)], quarter_slot);
    add_to(fast_bins_[static_cast<std::size_t>(fast_slot & 1)], fast_slot);
    max_ = std::max(max_, peak);
    total_samples_ += n;
    has_data_ = true;
    max_valid_ = true;
    last_time_ = t;
}

IqLevels IqLevelMeter::snapshot(bool reset, bool fast, double now)
{
    check_time(now);
    std::scoped_lock lock(mutex_);
    if (reset) {
        max_ = 0.0;
        max_valid_ = false;
    }
    IqLevels levels;
    levels.max = max_;
    levels.max_valid = max_valid_;
    levels.samples = total_samples_;
    if (!has_data_)
        return levels;

    double const since = now - last_time_;
    double const limit = fast ? 0.25 : 1.25;
    if (since > 0.0) {
        levels.age = since;
        levels.state = since <= limit ? "ready" : "stale";
    } else {
        levels.state = now < last_time_ ? "stale" : "ready";
    }

    auto const quarter_slot = static_cast<std::int64_t>(std::floor(now * 4.0));
    for (Bin const& bin : quarter_bins_) {
        if (bin.used && bin.index >= quarter_slot - 19 && bin.index <= quarter_slot)
            levels.hold = std::max(levels.hold, bin.peak);
    }

    double window_sum = 0.0;
    std::uint64_t window_samples = 0;
    std::uint64_t window_invalid = 0;
    auto gather = [&](auto const& bins, std::int64_t first, std::int64_t last) {
        for (Bin const& bin : bins) {
            if (!bin.used || bin.index < first || bin.index > last)
                continue;
            levels.peak = std::max(levels.peak, bin.peak);
            window_sum += bin.sum_squares;
            window_samples += bin.samples;
            window_invalid += bin.invalid;
        }
    };
    if (fast) {
        auto const fast_slot = static_cast<std::int64_t>(std::floor(now * 20.0));
        gather(fast_bins_, fast_slot - 1, fast_slot);
    } else {
        gather(quarter_bins_, quarter_slot - 3, quarter_slot);
    }

    if (window_samples > 0)
        levels.rms = std::sqrt(window_sum / (2.0 * static_cast<double>(window_samples)));
    else if (levels.state == "ready")
        levels.state = "stale";
    levels.invalid = window_invalid;
    if (window_invalid > 0 && levels.state == "ready")
        levels.state = "invalid";
    return levels;
}

std::string format_levels_reply(IqLevels const& levels)
{
    std::string reply = "OK LEVELS state=" + levels.state;
    reply += ",peak=" + format_level(levels.peak);
    reply += ",rms=" + format_level(levels.rms);
    reply += ",hold=" + format_level(levels.hold);
    reply += ",max=" + (levels.max_valid ? format_level(levels.max) : std::string("na"));
    reply += ",samples=" + std::to_string(levels.samples);
    reply += ",invalid=" + std::to_string(levels.invalid);
    reply += ",age=" + format_level(levels.age);
    return reply;
}
