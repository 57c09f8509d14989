#include "testbed/lib/olivia_modulator.hpp"

#include <array>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <stdexcept>

namespace testbed {
namespace {

constexpr int kChips = 64;
constexpr std::uint64_t kScrambleSequence = 0xE257E6D0291574ECull;

// Row m of the Walsh-Hadamard transform a receiver runs (butterflies (a, b) -> (a + b, b - a)):
// sending it makes that receiver's transform peak at m. The transform is orthogonal up to a
// factor, so its row m is the transform of the unit vectors read at m.
std::array<int, kChips> walsh_row(int m) {
    std::array<int, kChips> row{};
    for (int k = 0; k < kChips; ++k) {
        std::array<int, kChips> v{};
        v[static_cast<std::size_t>(k)] = 1;
        for (int h = 1; h < kChips; h *= 2) {
            for (int i = 0; i < kChips; ++i) {
                if (i & h) continue;
                const int a = v[static_cast<std::size_t>(i)];
                const int b = v[static_cast<std::size_t>(i + h)];
                v[static_cast<std::size_t>(i)] = a + b;
                v[static_cast<std::size_t>(i + h)] = b - a;
            }
        }
        row[static_cast<std::size_t>(k)] = v[static_cast<std::size_t>(m)];
    }
    return row;
}

}  // namespace

int olivia_bits(int tones) {
    int bits = 0;
    while ((1 << bits) < tones) ++bits;
    if ((1 << bits) != tones || bits < 1 || bits > 8) throw std::invalid_argument("Olivia tone count must be a power of two");
    return bits;
}

std::vector<int> olivia_tone_sequence(const std::vector<int>& codes, int tones) {
    const int bits = olivia_bits(tones);
    std::vector<int> sequence;
    for (std::size_t start = 0; start < codes.size(); start += static_cast<std::size_t>(bits)) {
        // chip[j][k]: the sign character j sends in symbol k, before scrambling.
        std::vector<std::array<int, kChips>> chips(static_cast<std::size_t>(bits));
        for (int j = 0; j < bits; ++j) {
            const std::size_t at = start + static_cast<std::size_t>(j);
            const int code = at < codes.size() ? codes[at] & 127 : 0;
            chips[static_cast<std::size_t>(j)] = walsh_row(code & 63);
            if (code & 64)
                for (int& c : chips[static_cast<std::size_t>(j)]) c = -c;
        }
        for (int k = 0; k < kChips; ++k) {
            int value = 0;
            for (int b = 0; b < bits; ++b) {
                // Bit b of symbol k carries chip k of character (b - k) mod bits; the character's
                // scramble sequence starts 13 bits further along for each character.
                const int j = ((b - k) % bits + bits) % bits;
                const bool inverted = (kScrambleSequence >> ((k + 13 * j) % 64)) & 1u;
                const int chip = chips[static_cast<std::size_t>(j)][static_cast<std::size_t>(k)] * (inverted ? -1 : 1);
                if (chip < 0) value |= 1 << b;
            }
            sequence.push_back(value ^ (value >> 1));  // Gray code: neighbouring tones differ in one bit
        }
    }
    return sequence;
}

std::vector<float> modulate_olivia_tones(const std::vector<int>& tones, const OliviaSignal& signal) {
    const double spacing = signal.bandwidth_hz / signal.tones;
    const double symbol_samples = signal.rate_hz / spacing;
    const double first_tone = signal.placement == OliviaTonePlacement::centred ? -(signal.tones - 1) / 2.0
                                                                                 : -signal.tones / 2.0 + 0.25;
    std::vector<float> out;
    out.reserve(static_cast<std::size_t>(std::ceil(symbol_samples * static_cast<double>(tones.size()))));
    double phase = signal.phase_rad;
    std::size_t n = 0;
    for (std::size_t s = 0; s < tones.size(); ++s) {
        const auto end = static_cast<std::size_t>(std::llround(symbol_samples * static_cast<double>(s + 1)));
        const double hz = signal.centre_hz + (first_tone + tones[s]) * spacing;
        const double step = 2.0 * std::numbers::pi * hz / signal.rate_hz;
        for (; n < end; ++n) {
            out.push_back(static_cast<float>(signal.amplitude * std::cos(phase)));
            phase = std::remainder(phase + step, 2.0 * std::numbers::pi);
        }
    }
    return out;
}

std::vector<float> modulate_olivia_text(const std::string& text, const OliviaSignal& signal, int idle_blocks_before,
                                        int idle_blocks_after) {
    const int bits = olivia_bits(signal.tones);
    std::vector<int> codes(static_cast<std::size_t>(idle_blocks_before * bits), 0);
    for (const char c : text) codes.push_back(static_cast<unsigned char>(c));
    while (codes.size() % static_cast<std::size_t>(bits) != 0) codes.push_back(0);
    codes.insert(codes.end(), static_cast<std::size_t>(idle_blocks_after * bits), 0);
    return modulate_olivia_tones(olivia_tone_sequence(codes, signal.tones), signal);
}

}  // namespace testbed
