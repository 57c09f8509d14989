#pragma once

#include "core/sig/audio_block.hpp"
#include "core/sig/mode.hpp"
#include "core/sig/modem_output.hpp"

namespace sig {

// A demodulator of one signal in 12000 Hz channel audio.
//
// Contract: one thread drives a modem at a time; calls come in any order after construction.
// process() consumes every sample of the block, never blocks and never throws (bad input only
// lowers the quality). A block flagged as a discontinuity clears the demodulator first (each
// modem says what survives). set_frequency() re-centres on a new audio offset; reset() returns
// to a freshly tuned state after a break in the audio. take_output() hands over the text, events
// and lines gathered since the last call and empties them; frequency, variant and quality are
// snapshots that stay.
class Modem {
public:
    Modem() = default;
    Modem(const Modem&) = delete;
    Modem& operator=(const Modem&) = delete;
    virtual ~Modem() = default;

    virtual Mode mode() const = 0;
    virtual void process(const AudioBlock& block) = 0;
    virtual void set_frequency(double audio_hz) = 0;
    virtual void reset() = 0;
    virtual ModemOutput take_output() = 0;
};

}  // namespace sig
