#pragma once

#include <array>
#include <complex>
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

// One reading of the IQ level meter. Levels are linear amplitudes of one I or Q component,
// 1.0 being the backend's full scale.
struct IqLevels {
    std::string state = "waiting";  // "waiting", "ready", "stale", "invalid" ("unavailable": no meter)
    double peak = 0.0;
    double rms = 0.0;
    double hold = 0.0;  // largest peak of the last five seconds
    double max = 0.0;   // largest peak since construction or the last reset
    double age = 0.0;   // seconds since the last update
    bool max_valid = false;
    std::uint64_t samples = 0;  // IQ samples since construction
    std::uint64_t invalid = 0;  // non-finite components in the measuring window
};

// "OK LEVELS state=...,peak=...,rms=...,hold=...,max=...,samples=...,invalid=...,age=..."
std::string format_levels_reply(IqLevels const& levels);

// Level of the raw IQ stream as it leaves the receiver: peak and RMS over the last second (or
// 100 ms for the fast display), the peak of the last five seconds and the largest peak since
// the last reset. The stream thread updates it, the control thread reads it; times are passed
// in (UTC seconds) so the caller owns the clock.
class IqLevelMeter {
public:
    // t: UTC seconds at the end of the block. "Invalid IQ meter timestamp" unless t is finite
    // and |t| <= 1e12.
    void update(std::span<std::complex<float> const> samples, double t);
    // The same from figures the caller measured itself: the largest component magnitude, the
    // sum of squared components and the number of IQ samples (two components each).
    void add_levels(double peak, double sum_squares, std::uint64_t samples, double t);
    // reset clears the since-reset maximum; fast reads the last 100 ms instead of the last second.
    IqLevels snapshot(bool reset, bool fast, double now);

private:
    void add(double peak, double sum_squares, std::uint64_t invalid, std::uint64_t samples, double t);

    struct Bin {
        std::int64_t index = 0;
        bool used = false;
        double peak = 0.0;
        double sum_squares = 0.0;
        std::uint64_t samples = 0;
        std::uint64_t invalid = 0;
    };

    std::mutex mutex_;
    std::array<Bin, 20> quarter_bins_{};  // the last five seconds in quarter seconds
    double max_ = 0.0;
    double last_time_ = 0.0;
    bool has_data_ = false;
    bool max_valid_ = false;
    std::uint64_t total_samples_ = 0;
    std::array<Bin, 2> fast_bins_{};  // 50 ms slots
};
