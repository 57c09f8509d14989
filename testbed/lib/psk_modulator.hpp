#pragma once

#include <string>
#include <vector>

// Our own PSK31/PSK63 transmitter for tests: varicode bits as BPSK with raised-cosine phase
// reversals, the way amateur PSK stations send them.
namespace testbed {

struct PskSignal {
    double baud = 31.25;  // 62.5 for PSK63
    double carrier_hz = 1000.0;
    double amplitude = 0.5;
    double phase_rad = 0.0;
    double rate_hz = 12000.0;
};

// Bits of a text: each character's varicode followed by the two zeros that end it. Characters
// above 127 have no code and are skipped.
std::vector<int> psk_text_bits(const std::string& text);

// One symbol per bit: 0 reverses the phase (the amplitude passes through zero on a cosine),
// 1 keeps it (steady carrier).
std::vector<float> modulate_psk_bits(const std::vector<int>& bits, const PskSignal& signal);

// A whole transmission: idle reversals to let the receiver lock, the text, then steady carrier.
std::vector<float> modulate_psk_text(const std::string& text, const PskSignal& signal, int preamble_bits = 64,
                                     int postamble_bits = 32);

}  // namespace testbed
