#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sig/modems/modem.hpp"

namespace sig {

// One rate/shift pair an RTTY receiver listens for.
struct RttyDecoderSpec {
    double rate_baud = 45.45;
    double shift_hz = 170.0;
    bool preferred = false;  // the rate the channel or the classifier named
};

// "rate/shift" read as a variant: both decimal, 20..300 Bd and 50..2000 Hz, nothing after the
// shift; a rate within 0.5 of 45.45 is taken as 45.45.
std::optional<RttyDecoderSpec> parse_rtty_variant(const std::string& text);

// The decoders a receiver runs: exactly the configured variant when it parses; else, from the
// classifier's estimate, the three standard rates on the standard shift it names (none when its
// shift is not standard); else every standard rate on every standard shift.
std::vector<RttyDecoderSpec> rtty_decoder_plan(const std::string& variant, const std::string& candidate_variant);

// ITA2 teleprinter FSK receiver (one start bit, five data bits, a stop bit). While searching it
// runs every planned decoder with a normal and an inverted framer and locks onto the framer whose
// characters look best; after the lock only that framer runs until more than 15 frames in a row
// fail. A discontinuity or reset restarts the signal path and the current characters but keeps
// the lock, the statistics and the undelivered text.
class RttyModem final : public Modem {
public:
    RttyModem(const std::vector<RttyDecoderSpec>& decoders, double audio_hz);
    ~RttyModem() override;

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
