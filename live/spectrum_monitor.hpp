#pragma once

// The capture-wide monitor of one live engine: the level and frequency of the strongest signal
// in the capture, refreshed from the spectrum frames while a RADIO METER client is asking.
// Waterfall views (the SPECTRUM command) join this object with the views work.

#include <cstdint>
#include <memory>

#include "core/receive_engine.hpp"
#include "core/spectrum_frame.hpp"

// Packed strongest level: bits 0..31 the frequency in Hz (rounded, clamped to 0..4e9), bits
// 32..39 the level in dB plus 160 (rounded, clamped to 0..255), bit 40 set. 0 means no level.
std::uint64_t pack_level_report(double frequency_hz, double level_db);

inline constexpr std::uint64_t level_report_present = std::uint64_t{1} << 40;

class SpectrumMonitor {
public:
    // usable rate = min(nominal rate, sample rate): the part of the capture the views may use.
    SpectrumMonitor(double sample_rate_hz, double centre_hz, double nominal_rate_hz,
                    std::shared_ptr<SpectrumRows> engine);
    ~SpectrumMonitor();
    SpectrumMonitor(SpectrumMonitor const&) = delete;
    SpectrumMonitor& operator=(SpectrumMonitor const&) = delete;

    // Capture thread, once per frame. Finds the strongest bin outside 12 kHz around the centre,
    // at most every 200 ms and only within 3 s of the last meter request; frames of another
    // geometry are ignored. Takes no lock.
    void update_strongest(SpectrumFrame const& frame);

    // Control thread: a RADIO METER request was answered with levels.
    void note_meter_request();

    // The packed strongest level; 0 until one was found.
    std::uint64_t strongest() const;

    std::uint64_t fft_size() const;
    std::uint64_t bin_step() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
