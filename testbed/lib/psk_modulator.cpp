#include "testbed/lib/psk_modulator.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "sig/modems/varicode.hpp"

namespace testbed {

std::vector<int> psk_text_bits(const std::string& text) {
    std::vector<int> bits;
    for (const char ch : text) {
        const auto code = sig::psk_varicode(static_cast<unsigned char>(ch));
        if (code.empty()) continue;
        for (const char bit : code) bits.push_back(bit == '1' ? 1 : 0);
        bits.push_back(0);
        bits.push_back(0);
    }
    return bits;
}

std::vector<float> modulate_psk_bits(const std::vector<int>& bits, const PskSignal& signal) {
    constexpr double pi = std::numbers::pi;
    const double symbol_samples = signal.rate_hz / signal.baud;
    const auto count = static_cast<std::size_t>(std::llround(static_cast<double>(bits.size()) * symbol_samples));
    std::vector<float> out(count);
    double sign = 1.0;
    std::size_t current = 0;
    for (std::size_t n = 0; n < count; ++n) {
        const double symbol_time = static_cast<double>(n) / symbol_samples;
        const auto symbol = std::min(static_cast<std::size_t>(symbol_time), bits.size() - 1);
        while (current < symbol) {
            if (bits[current] == 0) sign = -sign;
            ++current;
        }
        const double within = symbol_time - static_cast<double>(symbol);
        const double level = bits[symbol] == 0 ? sign * std::cos(pi * within) : sign;
        const double phase = 2.0 * pi * signal.carrier_hz * static_cast<double>(n) / signal.rate_hz + signal.phase_rad;
        out[n] = static_cast<float>(signal.amplitude * level * std::cos(phase));
    }
    return out;
}

std::vector<float> modulate_psk_text(const std::string& text, const PskSignal& signal, int preamble_bits,
                                     int postamble_bits) {
    std::vector<int> bits(static_cast<std::size_t>(preamble_bits), 0);
    const std::vector<int> body = psk_text_bits(text);
    bits.insert(bits.end(), body.begin(), body.end());
    bits.insert(bits.end(), static_cast<std::size_t>(postamble_bits), 1);
    return modulate_psk_bits(bits, signal);
}

std::vector<int> qpsk_phase_steps(const std::vector<int>& bits) {
    static constexpr int kQuarterTurns[4] = {2, 1, 3, 0};
    const auto parity = [](unsigned v) { return __builtin_parity(v); };
    unsigned shift = 0;
    std::vector<int> steps;
    steps.reserve(bits.size());
    for (const int bit : bits) {
        shift = ((shift << 1) | (bit ? 1u : 0u)) & 0x1fu;
        const int symbol = (parity(shift & 0x19u) << 1) | parity(shift & 0x17u);
        steps.push_back(kQuarterTurns[symbol]);
    }
    return steps;
}

std::vector<float> modulate_qpsk_steps(const std::vector<int>& quarter_turns, const PskSignal& signal) {
    constexpr double pi = std::numbers::pi;
    const double symbol_samples = signal.rate_hz / signal.baud;
    const auto count =
        static_cast<std::size_t>(std::llround(static_cast<double>(quarter_turns.size()) * symbol_samples));
    std::vector<float> out(count);
    std::vector<double> phase(quarter_turns.size() + 1, 0.0);  // phase[k]: after symbol k's step
    for (std::size_t k = 0; k < quarter_turns.size(); ++k) phase[k + 1] = phase[k] + quarter_turns[k] * pi / 2.0;
    for (std::size_t n = 0; n < count; ++n) {
        const double symbol_time = static_cast<double>(n) / symbol_samples;
        const auto symbol = std::min(static_cast<std::size_t>(symbol_time), quarter_turns.size() - 1);
        const double within = symbol_time - static_cast<double>(symbol);
        const double from = (1.0 + std::cos(pi * within)) / 2.0;
        const double carrier = 2.0 * pi * signal.carrier_hz * static_cast<double>(n) / signal.rate_hz + signal.phase_rad;
        // The baseband moves on a straight line between the two phases.
        const double re = from * std::cos(phase[symbol]) + (1.0 - from) * std::cos(phase[symbol + 1]);
        const double im = from * std::sin(phase[symbol]) + (1.0 - from) * std::sin(phase[symbol + 1]);
        out[n] = static_cast<float>(signal.amplitude * (re * std::cos(carrier) - im * std::sin(carrier)));
    }
    return out;
}

std::vector<float> modulate_qpsk_text(const std::string& text, const PskSignal& signal, int preamble_bits,
                                      int postamble_bits) {
    std::vector<int> bits(static_cast<std::size_t>(preamble_bits), 0);
    const std::vector<int> body = psk_text_bits(text);
    bits.insert(bits.end(), body.begin(), body.end());
    bits.insert(bits.end(), static_cast<std::size_t>(postamble_bits), 1);
    return modulate_qpsk_steps(qpsk_phase_steps(bits), signal);
}

}  // namespace testbed
