#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "core/receive_engine.hpp"

class SampleQueue;

// A receiver backend: one device (or server) delivering complex IQ into a SampleQueue.
//
// Contract, for every backend:
// - Construction opens and configures the device; nothing streams yet. Before start() the
//   queue receives nothing; sample_rate(), tuning_offset() and center_for() are already valid.
// - start(queue) begins streaming: from then on the backend's own thread (a vendor callback, a
//   socket reader, a USB converter) pushes IqBlocks into the queue until stop(). The queue
//   outlives the backend.
// - Overflow is the queue's business: push never blocks the stream; a full queue drops whole
//   blocks and marks the next one as a discontinuity. A backend marks a discontinuity of its
//   own (a source reset, a sequence jump, lost transfers) on the first block after the loss.
// - A fatal stream fault (device removed, socket closed) is reported once through
//   SampleQueue::fail with the backend's message; the consumer raises it.
// - After stop() no further block is pushed; stop() may be called more than once, and the
//   destructor stops streaming and releases the device.
// - control() runs on the control-socket thread, concurrently with the stream.
class Radio {
public:
    Radio() = default;
    Radio(Radio const&) = delete;
    Radio& operator=(Radio const&) = delete;
    virtual ~Radio();

    virtual void start(SampleQueue& queue) = 0;
    virtual void stop() = 0;
    // IQ samples per second as delivered into the queue.
    virtual double sample_rate() const = 0;
    // The requested frequency minus the centre of the delivered IQ stream, Hz.
    virtual double tuning_offset() const = 0;
    // Centre of the IQ stream for a requested frequency; by default frequency - tuning_offset().
    virtual double center_for(double frequency_hz) const;
    // A hardware receive engine computing the channelizer's rows for its forward transform of
    // frame_length points; empty when there is none, with the reason in `reason`.
    virtual std::shared_ptr<SpectrumRows> receive_engine(std::size_t frame_length, std::string& reason);
    // Returns when a live retune of the running capture to centre hz is possible, else throws
    // the reason.
    virtual void check_retune(double hz);
    virtual void retune(double hz);
    // One RADIO control request in, one reply text out; refusals are thrown.
    virtual std::string control(std::string const& request);
    // Reports RF overload state changes; the run loops call it about once a second.
    virtual void report_overload();
};
