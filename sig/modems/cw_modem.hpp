#pragma once

#include <memory>

#include "sig/modems/modem.hpp"

namespace sig {

// Morse receiver for hand- or machine-sent on/off keying. It keys against an adaptive noise
// floor and peak of the tone's envelope at 1000 Hz, learns the dot length (25 to 300 ms) from
// the marks and gaps themselves, and measures the tone's exact frequency while the key is down.
// A discontinuity or reset restarts the keying but keeps the learnt speed, the oscillator and
// the undelivered text.
class CwModem final : public Modem {
public:
    explicit CwModem(double audio_hz);
    ~CwModem() override;

    Mode mode() const override;
    void process(const AudioBlock& block) override;
    void set_frequency(double audio_hz) override;
    void reset() override;
    ModemOutput take_output() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sig
