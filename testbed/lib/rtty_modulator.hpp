#pragma once

#include <string>
#include <vector>

// Our own RTTY transmitter for tests: ITA2 characters as phase-continuous two-tone FSK, one start
// bit, five data bits (first bit least significant), stop bits of a chosen length.
namespace testbed {

struct RttySignal {
    double baud = 45.45;      // 45.45, 50, 75 ...
    double shift_hz = 170.0;  // 170, 450, 850 ...
    double centre_hz = 1000.0;
    bool mark_high = false;   // mark on the upper tone (the other polarity: mark on the lower)
    double stop_bits = 1.5;
    double amplitude = 0.5;
    double phase_rad = 0.0;
    double rate_hz = 12000.0;
};

// A stretch of line level: mark or space, for a (possibly fractional) number of bit times.
struct FskElement {
    bool mark = true;
    double bits = 1.0;
};

// The five-bit codes that send a text: a letters shift first, then each character, with a
// letters or figures shift where the case changes. Characters ITA2 lacks are skipped.
std::vector<int> rtty_text_codes(const std::string& text);

// Each code as a character frame: a space start bit, five data bits (1 = mark), mark stop bits.
std::vector<FskElement> rtty_frames(const std::vector<int>& codes, double stop_bits);

// The line levels as audio: the mark tone at centre -/+ shift/2 (+ when mark_high), phase
// continuous across every change.
std::vector<float> modulate_fsk(const std::vector<FskElement>& elements, const RttySignal& signal);

// A whole transmission: idle mark, the text, idle mark.
std::vector<float> modulate_rtty_text(const std::string& text, const RttySignal& signal, double idle_bits = 20.0);

}  // namespace testbed
