#include "testbed/lib/rtty_modulator.hpp"

#include <cmath>
#include <numbers>

#include "sig/modems/ita2.hpp"
#include "testbed/lib/ita2_encode.hpp"

namespace testbed {

std::vector<int> rtty_text_codes(const std::string& text) {
    std::vector<int> codes{sig::kIta2LettersShift};
    enum class Case { LETTERS, FIGURES, UNKNOWN } shift = Case::LETTERS;
    for (const char ch : text) {
        const auto code = ita2_encode(ch);
        if (!code) continue;
        const Case wanted = code->figures ? Case::FIGURES : Case::LETTERS;
        if (!code->either_case && wanted != shift) {
            shift = wanted;
            codes.push_back(code->figures ? sig::kIta2FiguresShift : sig::kIta2LettersShift);
        }
        codes.push_back(code->code);
        // Receivers on 170 Hz shift fall back to letters after a space, others do not: state the
        // case again after every space.
        if (code->code == 4) shift = Case::UNKNOWN;
    }
    return codes;
}

std::vector<FskElement> rtty_frames(const std::vector<int>& codes, double stop_bits) {
    std::vector<FskElement> elements;
    for (const int code : codes) {
        elements.push_back({false, 1.0});
        for (int bit = 0; bit < 5; ++bit) elements.push_back({((code >> bit) & 1) != 0, 1.0});
        elements.push_back({true, stop_bits});
    }
    return elements;
}

std::vector<float> modulate_fsk(const std::vector<FskElement>& elements, const RttySignal& signal) {
    double total_bits = 0.0;
    for (const FskElement& element : elements) total_bits += element.bits;
    const auto count = static_cast<std::size_t>(std::llround(total_bits * signal.rate_hz / signal.baud));
    std::vector<float> out(count);
    double phase = signal.phase_rad;
    std::size_t current = 0;
    double element_end = elements.empty() ? 0.0 : elements[0].bits;
    for (std::size_t n = 0; n < count; ++n) {
        const double bit_time = (static_cast<double>(n) + 0.5) * signal.baud / signal.rate_hz;
        while (bit_time >= element_end && current + 1 < elements.size()) element_end += elements[++current].bits;
        const bool upper = elements[current].mark == signal.mark_high;
        const double tone_hz = signal.centre_hz + (upper ? 0.5 : -0.5) * signal.shift_hz;
        out[n] = static_cast<float>(signal.amplitude * std::cos(phase));
        phase = std::fmod(phase + 2.0 * std::numbers::pi * tone_hz / signal.rate_hz, 2.0 * std::numbers::pi);
    }
    return out;
}

std::vector<float> modulate_rtty_text(const std::string& text, const RttySignal& signal, double idle_bits) {
    std::vector<FskElement> elements{{true, idle_bits}};
    const std::vector<FskElement> body = rtty_frames(rtty_text_codes(text), signal.stop_bits);
    elements.insert(elements.end(), body.begin(), body.end());
    elements.push_back({true, idle_bits});
    return modulate_fsk(elements, signal);
}

}  // namespace testbed
