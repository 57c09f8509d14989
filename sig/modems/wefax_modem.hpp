#pragma once

#include <memory>
#include <string>

#include "core/sig/modem_context.hpp"
#include "sig/modems/modem.hpp"

namespace sig {

// What a WEFAX receiver is built with.
struct WefaxSettings {
    int lpm = 120;           // lines per minute
    int ioc = 576;           // index of cooperation
    bool automatic = true;   // measure speed and index from the start tone and the phasing
    double tune_hz = 1900.0; // centre of the black..white window (black at -400 Hz, white at +400 Hz)
};

// A variant "LPM/IOC" fixes both when LPM is one of 60, 90, 100, 120, 180, 240 and IOC is 288 or
// 576; anything else (including "auto" and an empty text) selects automatic mode from 120/576.
// Automatic mode only recognises 60, 90, 120 and 240 lines per minute: 100 and 180 need the
// variant. The tuning centre is audio_hz when it lies within 1000..2800 Hz, else 1900 Hz.
WefaxSettings wefax_settings(const std::string& variant, double audio_hz);

// HF radio facsimile receiver. It demodulates the FM subcarrier, recognises the start tones
// (300 Hz: index 576, 675 Hz: index 288) and the stop tone (450 Hz), measures the line period
// and phase from the phasing pulses, learns the black and white levels, assembles greyscale
// lines of round(index x pi) pixels and saves each chart as "wefax-<UTC>-<RF kHz>.png" in the
// context's picture directory. Events: start, progress every 50 lines, picture written, end.
// A gap of up to 2 s is filled with mid-grey; a longer or unknown gap ends the chart.
// SIG_WEFAX_DEBUG in the environment (read when the modem is built) prints every period fit.
class WefaxModem final : public Modem {
public:
    WefaxModem(const WefaxSettings& settings, const ModemContext& context);
    ~WefaxModem() override;

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
