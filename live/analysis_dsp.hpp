#pragma once

// The live front end of one analysis channel: an upper- or lower-sideband audio chain (AudioDSP,
// without an Output) that cuts the channel out of every capture frame and brings it to 12000 Hz
// real audio, and the channel's analyzer that the audio is pushed into, stamped with the UTC time
// of its first sample.
//
// A disabled channel is only its spec: no chain (so no receive-engine row) and no analyzer.
// Where the channel came from (a user's spec or a known-channel window of the capture) is kept,
// because a retune keeps the first kind and rebuilds the second from the table.
//
// Threads: one thread steps a front end per frame (the capture's or a ChannelTeam worker);
// reset comes from the capture's thread between frames. Destruction happens when the last set
// holding the front end is released; on IQ replay a front end that holds the last reference to
// its analyzer flushes it first, so text pending at the end of a recording is still reported.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/analysis_channel.hpp"
#include "core/audio_channel.hpp"
#include "core/receive_engine.hpp"
#include "core/spectrum_frame.hpp"
#include "sig/analyzer.hpp"

class AudioDSP;

enum class AnalysisOrigin {
    user,           // --analysis-channel or ANALYZE ADD
    known_channel,  // a window of the built-in known-channel table
};

class AnalysisDSP {
public:
    // UNIX seconds, with fraction: what live block times are reckoned from.
    using UtcClock = std::function<double()>;

    // analyzer: empty for a disabled spec. discontinuity: the first block follows a gap (a SET or
    // a retune). utc_clock: the system clock unless a test holds its own. Throws what the chain
    // throws ("Audio bandwidth exceeds input rate", resampler errors); nothing is made then.
    AnalysisDSP(AnalysisChannel spec, AnalysisOrigin origin, double input_rate_hz, double input_centre_hz,
                std::shared_ptr<sig::Analyzer> analyzer, double replay_base_time, bool iq_replay,
                bool discontinuity, std::shared_ptr<SpectrumRows> engine, UtcClock utc_clock = {});
    ~AnalysisDSP();
    AnalysisDSP(AnalysisDSP const&) = delete;
    AnalysisDSP& operator=(AnalysisDSP const&) = delete;

    // The channel's block of this frame into its analyzer. A failure disables the front end for
    // good with the line "Analysis <id>: disabled: <reason>"; a block the analyzer refuses is
    // counted. Never throws.
    void process(SpectrumFrame const& frame) noexcept;

    // After an IQ discontinuity or a band change: the chain forgets its history and the next
    // block, here and in the analyzer, is marked discontinuous.
    void reset() noexcept;

    AnalysisChannel const& spec() const { return spec_; }
    AnalysisOrigin origin() const { return origin_; }
    std::shared_ptr<sig::Analyzer> const& analyzer() const { return analyzer_; }
    AudioDSP const* chain() const { return chain_.get(); }
    // The 12000 Hz audio of the last processed frame.
    std::vector<float> const& block() const { return block_; }
    bool disabled() const { return disabled_.load(std::memory_order_relaxed); }
    std::uint64_t dropped_blocks() const { return dropped_blocks_.load(std::memory_order_relaxed); }
    // UTC of the first sample of the last block pushed (0 before the first).
    double last_block_time() const { return last_block_time_; }

private:
    void push_block(SpectrumFrame const& frame);

    // Declared first: destroyed last, after the analyzer it feeds.
    std::unique_ptr<AudioDSP> chain_;
    AnalysisChannel spec_;
    AnalysisOrigin origin_;
    std::shared_ptr<sig::Analyzer> analyzer_;
    std::vector<float> block_;
    std::atomic<bool> disabled_{false};
    std::atomic<bool> discontinuity_;
    double replay_base_time_;
    bool iq_replay_;
    std::atomic<std::uint64_t> dropped_blocks_{0};
    UtcClock utc_clock_;
    double smoothed_base_time_ = 0.0;
    double last_block_time_ = 0.0;
};

// The AudioChannel an analysis channel's chain is built from: the dial and sideband, the
// bandwidth, unit gain, no AGC, no low cut, 12000 Hz, no output.
AudioChannel analysis_audio_channel(AnalysisChannel const& spec);
