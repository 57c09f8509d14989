#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/digital_mode.hpp"
#include "decode/channelizer.hpp"
#include "decode/decode_job.hpp"
#include "radio/iq_block.hpp"

// Turns the IqBlock stream into complete UTC-aligned decoder intervals. It keeps the IQ sample
// count in step with UTC, bridges short known losses with zeros so interval timing survives,
// drops an interval that lost too much, restarts all interval timing after a real
// discontinuity or clock drift, runs the channelizer and cuts each channel's 12000 Hz audio at
// interval boundaries into DecodeJobs. Belongs to the run-loop thread.
class DecoderCapture {
public:
    using Rows = std::vector<std::vector<float>>;
    using JobSink = std::function<void(DecodeJob)>;

    // One decoded (dial frequency, mode) pair; several slots may share a channelizer channel.
    struct Slot {
        double dial_hz = 0.0;
        DigitalMode mode = DigitalMode::FT8;
        std::uint64_t channel = 0;
    };

    // One loss tracker per distinct interval length among the slots, in order of first
    // appearance. The job sink is called once per finished interval, in start order.
    DecoderCapture(std::unique_ptr<Channelizer::Impl> channelizer, std::vector<Slot> slots,
                   JobSink job_sink);
    ~DecoderCapture();
    DecoderCapture(DecoderCapture const&) = delete;
    DecoderCapture& operator=(DecoderCapture const&) = delete;

    // utc: the block's own UTC for live receivers, the replay clock for IQ files.
    void push_block(IqBlock const& block, double utc);
    // Cuts one channelizer step's rows (one per channel, all the same length) into intervals.
    void append(Rows const& rows);

    // Called at every timeline start (live audio resets its channels).
    void set_reset_hook(std::function<void()> hook);
    Channelizer::Impl& channelizer();

    std::uint64_t resets() const;             // restarts after a discontinuity or drift
    std::uint64_t gap_fills() const;          // gaps bridged by zero fill
    std::uint64_t zero_filled() const;        // IQ samples of zero fill
    std::uint64_t intervals_dropped() const;  // one per dropped interval length per gap
    // Interval buffers made so far: each slot fills one while the jobs it sent out are
    // decoded, and reuses their storage once they are finished or dropped.
    std::uint64_t interval_buffers() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};
