#pragma once

#include <string>
#include <vector>

// Our own Olivia transmitter for tests: 7-bit characters as 64-chip Walsh functions, one
// character per bit of a symbol, spread over the bits diagonally, scrambled, Gray-coded onto
// phase-continuous MFSK tones, 64 symbols a block.
namespace testbed {

// Where the tones sit around the centre frequency.
enum class OliviaTonePlacement {
    centred,       // symmetric: tone t at centre + (t - (T - 1) / 2) x spacing
    quarter_low,   // a quarter spacing lower: tone t at centre + (t - T / 2 + 1/4) x spacing
};

struct OliviaSignal {
    int tones = 32;
    double bandwidth_hz = 1000.0;
    double centre_hz = 1500.0;
    OliviaTonePlacement placement = OliviaTonePlacement::centred;
    double amplitude = 0.5;
    double phase_rad = 0.0;
    double rate_hz = 12000.0;
};

// Bits per symbol (characters per block) of a tone count.
int olivia_bits(int tones);

// The tone numbers (0 .. T-1) of the blocks that carry the codes, bits per symbol codes a block
// (the last block padded with code 0, which receivers ignore). Codes are taken modulo 128.
std::vector<int> olivia_tone_sequence(const std::vector<int>& codes, int tones);

// The tone numbers as audio: one constant-amplitude tone per symbol, phase continuous.
std::vector<float> modulate_olivia_tones(const std::vector<int>& tones, const OliviaSignal& signal);

// A whole transmission: idle blocks (code 0), the text's characters, idle blocks.
std::vector<float> modulate_olivia_text(const std::string& text, const OliviaSignal& signal, int idle_blocks_before = 1,
                                        int idle_blocks_after = 1);

}  // namespace testbed
