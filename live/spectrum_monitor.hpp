#pragma once

// The capture-wide monitor of one live engine: the level and frequency of the strongest signal
// in the capture (for RADIO METER), and the waterfall views a control client asks for with
// SPECTRUM. Both come from the same forward frames that feed the live channels.
//
// A view is a frequency range inside the capture cut into 16 to 1024 levels in dB. A view whose
// levels are wider than a frame bin takes the largest bin power per level straight from the
// frame; a narrower one gets its own zoom: the range is cut out of the frame like an audio
// channel, decimated, collected in a ring and transformed again at finer resolution. With a
// receive engine both kinds are engine rows. A view lives 3 s after its last request; at most 48
// views and 1048576 gathered positions exist at once.
//
// Threads: the capture's thread calls update_strongest and update_views once per frame; the
// control thread calls handle_command, expire and note_meter_request. The views are guarded by
// one mutex that the capture's thread only tries, so a command never delays a frame; reset
// (capture's thread, between frames) also only tries it.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/receive_engine.hpp"
#include "core/spectrum_frame.hpp"

// Packed strongest level: bits 0..31 the frequency in Hz (rounded, clamped to 0..4e9), bits
// 32..39 the level in dB plus 160 (rounded, clamped to 0..255), bit 40 set. 0 means no level.
std::uint64_t pack_level_report(double frequency_hz, double level_db);

inline constexpr std::uint64_t level_report_present = std::uint64_t{1} << 40;

class SpectrumMonitor {
public:
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    struct Reply {
        bool handled = false;  // false: not a SPECTRUM request
        std::string text;
    };

    // usable rate = min(nominal rate, sample rate): the part of the capture the views may use.
    // clock: the steady clock unless a test gives its own.
    SpectrumMonitor(double sample_rate_hz, double centre_hz, double nominal_rate_hz,
                    std::shared_ptr<SpectrumRows> engine, Clock clock = {});
    ~SpectrumMonitor();
    SpectrumMonitor(SpectrumMonitor const&) = delete;
    SpectrumMonitor& operator=(SpectrumMonitor const&) = delete;

    // Capture thread, once per frame. Finds the strongest bin outside 12 kHz around the centre,
    // at most every 200 ms and only within 3 s of the last meter request; frames of another
    // geometry are ignored. Takes no lock.
    void update_strongest(SpectrumFrame const& frame);
    // Capture thread, once per frame, after update_strongest: computes the live views.
    void update_views(SpectrumFrame const& frame);
    // Capture thread between frames: every view waits for a fresh frame (and zoom ring).
    void reset() noexcept;

    // Control thread: "SPECTRUM OFF", "SPECTRUM OFF <id>" or "SPECTRUM <id> <lo> <hi> <levels>".
    // Errors are thrown with the user's message.
    Reply handle_command(std::string const& request);
    // Control thread, on every pass: drops the views nobody asked for in 3 s.
    void expire();

    // Control thread: a RADIO METER request was answered with levels.
    void note_meter_request();
    // The packed strongest level; 0 until one was found.
    std::uint64_t strongest() const;

    std::uint64_t fft_size() const;
    std::uint64_t bin_step() const;
    bool views_present() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
