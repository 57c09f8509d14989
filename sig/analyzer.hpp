#pragma once

// The signal analyzer of one analysis channel. Its owner (the channel's front end in the live
// engine) pushes the channel's 12000 Hz audio block by block; the analyzer finds the signals with
// the classifier (modes=auto) or listens where the channel's fixed modes say, runs one modem per
// signal, gathers the decoded characters into lines, finds call signs in them and reports
// every change as a sig::Event to the channel's sinks, in their order.
//
// Normally a worker thread of its own does the work, fed through two lock-free rings, so the
// pushing DSP thread never waits: audio that does not fit is dropped and push says so. Unthreaded
// (IQ replay), every push is processed at once on the caller's thread.
//
// Life: construct, push from one thread at a time, optionally flush once, destroy (which stops
// the worker and loses text not yet flushed). snapshot and config may be called from any thread
// at any time.

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "core/sig/channel_info.hpp"
#include "core/sig/modem_settings.hpp"
#include "sig/classifier_track.hpp"
#include "sig/event_sink.hpp"

namespace sig {

class Analyzer {
public:
    // The channel (its first part is the sig::ChannelInfo every sink receives with each event)
    // and its modem settings, as sig::make_modem takes them.
    struct Config : ChannelInfo, ModemSettings {
        std::string image_dir;                          // SSTV and WEFAX pictures
        std::vector<std::shared_ptr<EventSink>> sinks;  // called in this order; null entries skipped
        bool threaded = true;                           // false: process on the pushing thread
        double ring_seconds = 4.0;                      // audio the worker may fall behind by
    };

    // Track numbers of the fixed decoders a channel asks for: one per fixed mode, in list order
    // (a mode without a modem still takes its number), one per fixed Olivia entry, and the
    // pseudo-tracks of decoded lines that carry their own identifier (JTTY).
    static constexpr std::uint32_t kFirstFixedTrack = 0x80000000u;
    static constexpr std::uint32_t kFirstOliviaTrack = 0x80001000u;
    static constexpr std::uint32_t kFirstLineTrack = 0x80002000u;

    // Builds the fixed decoders, the signal classifier (modes=auto, or fixed keyboard modes that
    // follow the signals it finds) and starts the worker. A fixed mode without a modem prints
    // "Analysis channel ID: no MODE modem is available yet" and the channel runs without it.
    // Throws for an Olivia entry whose decoder cannot be built, and on allocation or thread
    // failure.
    explicit Analyzer(Config config);
    ~Analyzer();
    Analyzer(const Analyzer&) = delete;
    Analyzer& operator=(const Analyzer&) = delete;

    // Hands over n samples whose first was taken at UTC `time`; `discontinuity`: audio was lost
    // before them. True when every sample was taken; false when some or all were dropped (the
    // worker fell behind, or the analyzer was disabled by an earlier failure) and the owner
    // counts a dropped block. A push of no samples with discontinuity set only marks the next
    // block discontinuous; that form may come from any thread (a capture reset).
    // Unthreaded, an exception from processing reaches the caller and disables the analyzer.
    bool push(const float* samples, std::size_t n, bool discontinuity, double time);

    // Waits (at most 10 s) for the queued audio to be processed, then finishes the pending text
    // lines (Olivia lines active within the last 5 s stay) and dispatches their events. For the
    // owner that retires the channel; nothing happens on a disabled analyzer.
    void flush();

    // The tracks as of the last processed block, in track order; empty before the first block.
    std::vector<Candidate> snapshot() const;

    // The configuration it was built with; never changes.
    const Config& config() const;

    // An exception escaped block processing (on the worker: "Analysis ID: disabled: TEXT" was
    // printed); every later push is refused.
    bool disabled() const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// Whether a named signal `c` needs no modem of its own because a running track already covers
// it: a fixed Olivia decoder whose centre lies within half its bandwidth of an Olivia signal, or a
// classifier track (not fixed) of the same mode within less than half the larger bandwidth. One
// demodulator per signal.
bool covered_by(const Candidate& c, const Candidate& running, bool running_fixed, bool running_olivia_entry);

// Whether a fixed keyboard-mode track of `mode` (its variant, "75/850" say, or empty) can copy the
// classifier's track `t`, one of `tracks`: a track the classifier named with that mode, or one it
// has not named yet of the kind and width it would test for the mode (an FSK pair, at the
// variant's shift when it names one, for RTTY; a single signal under 200 Hz wide for PSK31,
// QPSK31, PSK63 and CW; a tone comb, or a single signal 100 Hz wide or more, for Olivia), but
// never one tone of a wider signal (a single track inside the band of a track of several tones).
bool fixed_mode_fits(Mode mode, const std::string& variant, const ClassifierTrack& t,
                     const std::vector<ClassifierTrack>& tracks);

// The time a decoded line that carries its own clock is reported at: its time when it has one
// within an hour of the block it arrived with, else the block's end. An outside decoder's clock
// must not put a line decades away.
double decoded_line_time(double line_time, double block_end);

}  // namespace sig
