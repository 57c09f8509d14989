#pragma once

#include "radio/radio.hpp"

#include <chrono>
#include <functional>
#include <memory>

struct Options;

// The Radio of SDRplay RSP receivers, driven through the vendor's API library (loaded from
// --api-library or the usual library names).
//
// Construction loads and opens the library, selects the first valid device (matching --serial
// when given), configures it from the options and prints one "Receiver: " line; nothing
// streams until start(). The library calls the stream and event callbacks on its own threads;
// they never take the object's mutex, so start, stop, retune and control never block them.
class SdrRadio : public Radio {
public:
    using SteadyClock = std::function<std::chrono::steady_clock::time_point()>;

    explicit SdrRadio(Options const& options);
    // `clock` times the overload reports' rate limit (the steady clock by default).
    SdrRadio(Options const& options, SteadyClock clock);
    ~SdrRadio() override;

    void start(SampleQueue& queue) override;
    void stop() override;
    double sample_rate() const override;
    double tuning_offset() const override;
    void check_retune(double hz) override;
    // Moves the running capture to centre hz and waits (up to 2 s) until the library delivers
    // samples of the new frequency; the queued samples of the old one are then thrown away. When
    // the change is not confirmed the previous frequency is requested again and the retune
    // throws; when even that is not confirmed the queue fails.
    void retune(double hz) override;
    // RADIO STATUS, SET, METER, IFGAIN, OVERLOAD, LEVELS and LEVELS RESET, only while streaming.
    // A SET the library refuses is rolled back (the restore is sent to the library too) and
    // thrown; when even the restore is refused the queue fails, since the device's settings are
    // then unknown.
    std::string control(std::string const& request) override;
    void report_overload() override;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// The decimation of the audio mode: the largest of 1, 2, 4 .. 64 that keeps at least 64000
// samples per second.
unsigned sdrplay_decimation(double sample_rate_hz, bool wideband);
