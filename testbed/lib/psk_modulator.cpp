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

}  // namespace testbed
