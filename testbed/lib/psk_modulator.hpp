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

// QPSK31: each bit through a rate 1/2, constraint length 5 convolutional encoder (generators
// 0x19 and 0x17); each pair of coded bits turns the phase by 180, 90, 270 or 0 degrees (00, 01,
// 10, 11), the carrier moving between the two phases on a raised cosine. Idle zeros code to
// reversals, as in BPSK.
std::vector<int> qpsk_phase_steps(const std::vector<int>& bits);
std::vector<float> modulate_qpsk_steps(const std::vector<int>& quarter_turns, const PskSignal& signal);
std::vector<float> modulate_qpsk_text(const std::string& text, const PskSignal& signal, int preamble_bits = 64,
                                      int postamble_bits = 32);

}  // namespace testbed
