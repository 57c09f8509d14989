#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Our own Morse keyer for tests: text to shaped on/off keying of a tone, at 5 to 45 WPM, with
// the timing jitter of a hand-sent fist when asked.
namespace testbed {

struct CwKeying {
    double wpm = 20.0;  // dot = 1200 / wpm ms (PARIS timing)
    double tone_hz = 800.0;
    double amplitude = 0.5;
    double rise_ms = 5.0;   // raised-cosine edges of each mark
    double jitter = 0.0;    // standard deviation of each element's length, relative to it
    std::uint64_t seed = 1;
    double rate_hz = 12000.0;
};

// A stretch of keying: key down (mark) or up, for a time.
struct KeyElement {
    bool down = false;
    double ms = 0.0;
};

double dot_ms(const CwKeying& keying);

// The keying of a text: one dot between elements, three between letters, seven between words
// (any white space).
// A run in angle brackets ("<AR>") is sent as one character. Characters without a code are
// skipped; the keying ends after the last mark.
std::vector<KeyElement> cw_text_elements(const std::string& text, const CwKeying& keying);

// The keying as audio: the tone switched with raised-cosine edges.
std::vector<float> key_tone(const std::vector<KeyElement>& elements, const CwKeying& keying);

// cw_text_elements, then key_tone.
std::vector<float> key_text(const std::string& text, const CwKeying& keying);

}  // namespace testbed
