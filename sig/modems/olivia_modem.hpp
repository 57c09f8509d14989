#pragma once

#include <memory>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem.hpp"

namespace sig {

// "tones/bandwidth" read as an Olivia variant: both whole decimal numbers (strtol rules: leading
// blanks and a sign are taken, nothing may follow the bandwidth) forming an accepted pair. The
// numbers are written through the pointers that are not null.
bool parse_olivia_variant(const std::string& text, int* tones = nullptr, int* bandwidth_hz = nullptr);

// The variant an Olivia receiver runs: the given variant when it is set (neither empty nor
// "auto"; it must parse, else std::invalid_argument), else the candidate's when that parses, else
// one chosen from the candidate's bandwidth and tone estimates (32/1000 when it has none).
std::string resolve_olivia_variant(const Candidate& candidate, const std::string& variant);

// Everything a variant and a search range fix. Frequencies inside the receiver are counted in
// bins of a quarter tone spacing.
struct OliviaSetup {
    int tones = 0;
    int bandwidth_hz = 0;
    int bits = 0;                 // per symbol, and characters per block
    double tone_spacing_hz = 0.0;  // also the symbol rate
    double bin_hz = 0.0;
    int search_bins = 0;          // the receiver looks this many bins either side of its centre
    int span = 0;                 // highest spectrum bin kept, counted from the centre
    int oversampling = 0;
    int decimated_rate_hz = 0;    // complex samples per second after the lowpass
    int decimation = 0;           // from 12000 Hz
    int symbol_samples = 0;       // at the decimated rate
    int frame_step = 0;           // decimated samples between spectrum frames
    int steps_per_symbol = 0;
    int fft_size = 0;
    std::vector<float> taps;      // the lowpass before decimation, unit gain at 0 Hz
};

// Derives the set-up of a parsed variant; std::invalid_argument (naming variant_text) when the
// search range does not fit the variant's spectrum. A search range that is not a number or not
// above 0 counts as 0.
OliviaSetup olivia_setup(int tones, int bandwidth_hz, double search_range_hz, const std::string& variant_text);

// Olivia MFSK receiver: Gray-coded tones carrying 64-chip Walsh functions, one 7-bit character per
// bit of a symbol, 64 symbols a block. It searches time and offsets within the search range for
// a block that decodes clearly, confirms it with the next block, then follows the signal block
// by block (one frame of timing, one bin of frequency at a time). Text flows only while locked.
// A discontinuity or reset leaves the lock but keeps the undelivered text.
class OliviaModem final : public Modem {
public:
    // The factory passes the candidate's own variant and a search range of 100 Hz; a fixed
    // decoder of a channel passes its configured variant. Throws std::invalid_argument for a set
    // variant that is not an accepted pair, or a search range too wide for it.
    OliviaModem(const Candidate& candidate, const std::string& variant, double search_range_hz);
    ~OliviaModem() override;

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
