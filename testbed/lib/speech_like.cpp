#include "testbed/lib/speech_like.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <random>

namespace testbed {
namespace {

constexpr double kPi = std::numbers::pi;

// A two-pole resonator whose centre may move from sample to sample, gain about 1 at its peak.
struct Resonator {
    double y1 = 0.0, y2 = 0.0;
    double step(double x, double f, double b, double rate) {
        const double r = std::exp(-kPi * b / rate);
        const double y = x + 2.0 * r * std::cos(2.0 * kPi * f / rate) * y1 - r * r * y2;
        y2 = y1;
        y1 = y;
        return (1.0 - r) * y;
    }
};

// The glottal flow over one period (Rosenberg's pulse: opens over 40 %, closes over 20 %, shut
// for the rest); its difference from sample to sample is the radiated source, whose sharp
// closure gives the harmonics their slow fall with frequency.
double glottal_flow(double phase) {
    if (phase < 0.4) return 0.5 - 0.5 * std::cos(kPi * phase / 0.4);
    if (phase < 0.6) return std::cos(0.5 * kPi * (phase - 0.4) / 0.2);
    return 0.0;
}

struct Vowel {
    double f1, f2, f3;
};

class Speaker {
public:
    Speaker(const SpeechLike& speech, std::size_t count)
        : rate_(speech.rate_hz), raw_(count, 0.0), engine_(speech.seed) {
        pitch_ = 90.0 + 160.0 * uniform();
        vowel_ = next_vowel();
    }

    std::vector<double> talk() {
        while (n_ < raw_.size()) {
            const int words = 2 + static_cast<int>(5.0 * uniform());
            // The pitch falls over a phrase, from a little above the speaker's own to below it.
            const double from = pitch_ * (1.05 + 0.15 * uniform());
            const double to = pitch_ * (0.8 + 0.1 * uniform());
            for (int w = 0; w < words; ++w) {
                const double along = static_cast<double>(w) / words;
                const int syllables = 1 + static_cast<int>(4.0 * uniform());
                for (int k = 0; k < syllables; ++k) syllable(from + (to - from) * along);
                pause(0.05 + 0.2 * uniform());
            }
            pause(0.3 + 0.6 * uniform());
        }
        return std::move(raw_);
    }

private:
    double uniform() { return uniform_(engine_); }

    Vowel next_vowel() { return {300.0 + 550.0 * uniform(), 850.0 + 1450.0 * uniform(), 2300.0 + 900.0 * uniform()}; }

    void pause(double seconds) { n_ += static_cast<std::size_t>(seconds * rate_); }

    // An optional unvoiced consonant, then a voiced nucleus starting near `pitch` Hz.
    void syllable(double pitch) {
        const double loudness = 0.4 + 0.6 * uniform();
        if (uniform() < 0.5) {
            const double length = 0.03 + 0.07 * uniform();
            const double centre = 2000.0 + 1500.0 * uniform();
            Resonator hiss;
            const auto samples = static_cast<std::size_t>(length * rate_);
            for (std::size_t k = 0; k < samples && n_ < raw_.size(); ++k, ++n_) {
                const double envelope = std::sin(kPi * static_cast<double>(k) / static_cast<double>(samples));
                raw_[n_] = 0.25 * loudness * envelope * (hiss.step(noise_(engine_), centre, 600.0, rate_) + 0.1 * noise_(engine_));
            }
        }
        const double length = 0.1 + 0.2 * uniform();
        const auto samples = static_cast<std::size_t>(length * rate_);
        const double start = pitch * (0.9 + 0.2 * uniform());
        const double end = start * (0.8 + 0.45 * uniform());  // a glide up or down within the syllable
        const double vibrato_hz = 4.0 + 3.0 * uniform();
        const double vibrato = 0.01 + 0.01 * uniform();
        const Vowel from = vowel_;
        const Vowel to = next_vowel();
        vowel_ = to;
        const double attack = 0.03 * rate_;
        const double decay = 0.05 * rate_;
        double jitter = 1.0;
        for (std::size_t k = 0; k < samples && n_ < raw_.size(); ++k, ++n_) {
            const double t = static_cast<double>(k) / rate_;
            const double along = static_cast<double>(k) / static_cast<double>(samples);
            const double f0 = (start + (end - start) * along) * (1.0 + vibrato * std::sin(2.0 * kPi * vibrato_hz * t)) * jitter;
            phase_ += f0 / rate_;
            if (phase_ >= 1.0) {
                phase_ -= 1.0;
                jitter = 1.0 + 0.005 * noise_(engine_);  // each period a little off
            }
            const double flow = glottal_flow(phase_);
            const double source = flow - flow_;
            flow_ = flow;
            // The formants move from the last vowel to this one over the first 40 % of the nucleus.
            const double move = std::min(1.0, along / 0.4);
            const double f1 = from.f1 + (to.f1 - from.f1) * move;
            const double f2 = from.f2 + (to.f2 - from.f2) * move;
            const double f3 = from.f3 + (to.f3 - from.f3) * move;
            const double voiced = formant1_.step(source, f1, 80.0, rate_) + 0.5 * formant2_.step(source, f2, 100.0, rate_) +
                                  0.25 * formant3_.step(source, f3, 150.0, rate_);
            const double kf = static_cast<double>(k);
            const double kr = static_cast<double>(samples - k);
            const double envelope = std::min({1.0, 0.5 - 0.5 * std::cos(kPi * std::min(1.0, kf / attack)),
                                              0.5 - 0.5 * std::cos(kPi * std::min(1.0, kr / decay))});
            raw_[n_] = 40.0 * loudness * envelope * voiced;
        }
    }

    double rate_;
    std::vector<double> raw_;
    std::size_t n_ = 0;
    std::mt19937_64 engine_;
    std::uniform_real_distribution<double> uniform_{0.0, 1.0};
    std::normal_distribution<double> noise_{0.0, 1.0};
    double pitch_ = 0.0;
    double phase_ = 0.0;
    double flow_ = 0.0;
    Vowel vowel_{};
    Resonator formant1_, formant2_, formant3_;
};

}  // namespace

std::vector<float> speech_like(double seconds, const SpeechLike& speech) {
    const double rate = speech.rate_hz;
    const auto count = static_cast<std::size_t>(std::llround(seconds * rate));
    const std::vector<double> raw = Speaker(speech, count).talk();

    // Band-limited by a Blackman-windowed sinc band-pass.
    constexpr int half = 128;
    std::vector<double> taps(2 * half + 1);
    for (int k = -half; k <= half; ++k) {
        const double t = k / rate;
        const auto sinc = [&](double f) { return k == 0 ? 2.0 * f / rate : std::sin(2.0 * kPi * f * t) / (kPi * k); };
        const double window = 0.42 + 0.5 * std::cos(kPi * k / half) + 0.08 * std::cos(2.0 * kPi * k / half);
        taps[static_cast<std::size_t>(k + half)] = (sinc(speech.high_hz) - sinc(speech.low_hz)) * window;
    }
    std::vector<double> filtered(count, 0.0);
    double peak = 1e-12;
    for (std::size_t m = 0; m < count; ++m) {
        double sum = 0.0;
        for (int k = -half; k <= half; ++k) {
            const long j = static_cast<long>(m) + k;
            if (j < 0 || j >= static_cast<long>(count)) continue;
            sum += taps[static_cast<std::size_t>(k + half)] * raw[static_cast<std::size_t>(j)];
        }
        filtered[m] = sum;
        peak = std::max(peak, std::fabs(sum));
    }
    std::vector<float> out(count);
    for (std::size_t m = 0; m < count; ++m) out[m] = static_cast<float>(filtered[m] / peak);
    return out;
}

}  // namespace testbed
