#include "testbed/lib/cw_keyer.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <numbers>
#include <random>

#include "testbed/lib/morse_code.hpp"

namespace testbed {

double dot_ms(const CwKeying& keying) { return 1200.0 / keying.wpm; }

std::vector<KeyElement> cw_text_elements(const std::string& text, const CwKeying& keying) {
    const double dot = dot_ms(keying);
    std::mt19937_64 engine(keying.seed);
    std::normal_distribution<double> normal(0.0, 1.0);
    const auto length = [&](double dots) {
        const double factor = keying.jitter > 0.0 ? std::max(0.3, 1.0 + keying.jitter * normal(engine)) : 1.0;
        return dots * dot * factor;
    };

    std::vector<KeyElement> elements;
    const auto gap = [&](double dots) {
        if (elements.empty()) return;
        if (!elements.back().down) {
            // A longer break replaces a shorter one (a word gap after a letter gap).
            elements.back().ms = std::max(elements.back().ms, length(dots));
            return;
        }
        elements.push_back({false, length(dots)});
    };
    const auto send_code = [&](std::string_view code) {
        for (std::size_t k = 0; k < code.size(); ++k) {
            if (k > 0) gap(1.0);
            elements.push_back({true, length(code[k] == '.' ? 1.0 : 3.0)});
        }
    };

    for (std::size_t i = 0; i < text.size(); ++i) {
        if (std::isspace(static_cast<unsigned char>(text[i]))) {
            gap(7.0);
            continue;
        }
        std::string code;
        if (text[i] == '<') {
            const std::size_t close = text.find('>', i);
            if (close == std::string::npos) continue;
            for (std::size_t j = i + 1; j < close; ++j) code += morse_code(text[j]);
            i = close;
        } else {
            code = morse_code(text[i]);
        }
        if (code.empty()) continue;
        gap(3.0);
        send_code(code);
    }
    return elements;
}

std::vector<float> key_tone(const std::vector<KeyElement>& elements, const CwKeying& keying) {
    std::vector<float> out;
    const double rise = std::max(1.0, keying.rise_ms * keying.rate_hz / 1000.0);
    double start_ms = 0.0;
    for (const KeyElement& element : elements) {
        const auto first = static_cast<std::size_t>(std::llround(start_ms * keying.rate_hz / 1000.0));
        start_ms += element.ms;
        const auto last = static_cast<std::size_t>(std::llround(start_ms * keying.rate_hz / 1000.0));
        out.resize(last, 0.0f);
        if (!element.down) continue;
        const double samples = static_cast<double>(last - first);
        for (std::size_t n = first; n < last; ++n) {
            const double from_start = static_cast<double>(n - first) + 0.5;
            const double edge = std::min({from_start, samples - from_start, rise}) / rise;
            const double envelope = 0.5 - 0.5 * std::cos(std::numbers::pi * std::clamp(edge, 0.0, 1.0));
            const double phase = 2.0 * std::numbers::pi * keying.tone_hz * static_cast<double>(n) / keying.rate_hz;
            out[n] = static_cast<float>(keying.amplitude * envelope * std::sin(phase));
        }
    }
    return out;
}

std::vector<float> key_text(const std::string& text, const CwKeying& keying) {
    return key_tone(cw_text_elements(text, keying), keying);
}

}  // namespace testbed
