#pragma once

#include <memory>

#include "sig/modems/modem.hpp"

namespace sig {

// BPSK varicode receiver for PSK31 and PSK63. It starts non-coherent (differential decisions,
// a bank of correlators on the squared signal to find the carrier), turns coherent once its
// phase error is small, and prints only while its quality is above a floor, so noise stays
// silent. A discontinuity clears the demodulator but keeps undelivered text; reset drops it.
class Psk31Modem final : public Modem {
public:
    // The speed-dependent numbers; a symbol must span 16 decimated samples.
    struct Settings {
        Mode mode = Mode::PSK31;  // PSK31 or PSK63
        double baud = 31.25;
        int decimation = 24;     // from 12000 Hz
        int taps = 480;          // lowpass length before decimation
        double cutoff = 110.0 / 12000.0;  // cycles per sample at 12000 Hz
    };

    Psk31Modem(const Settings& settings, double audio_hz);
    ~Psk31Modem() override;

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
