// The survey's view of real emitters: a capture made of our own modulators' signals, averaged
// the way the survey averages its spectrum, each emitter cut out by its extractor and measured,
// classified and judged for decoding as the survey does once per feature pass.

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <map>
#include <numbers>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "core/complex_fft.hpp"
#include "core/sig/signal_class.hpp"
#include "sig/survey/classify_survey_emitter.hpp"
#include "sig/survey/emitter_extractor.hpp"
#include "sig/survey/survey_history_features.hpp"
#include "sig/survey/survey_should_decode.hpp"
#include "sig/survey/survey_spectrum_stats.hpp"
#include "testbed/lib/classifier_signals.hpp"
#include "testbed/lib/iq_synth.hpp"

namespace {

using sig::SignalClass;
using Samples = std::vector<std::complex<float>>;

constexpr double kPi = std::numbers::pi;
constexpr std::size_t kFft = 8192;
constexpr double kSeconds = 1.6;

// The emitters of the capture. Each sits on the centre of a spectrum bin, as the detector
// would centre a symmetric emitter, except the one marked between bins.
enum class Source { carrier, cw, psk31, rtty, am, ssb, fm, ofdm, nothing };

struct Emitter {
    std::string name;
    Source source;
    double nominal_offset_hz;
    bool between_bins = false;

    // The layout is drawn for a 96 kHz capture and stretched with the rate, so that at every
    // rate the emitters stand as far apart, in spectrum bins, as they do at 96 kHz.
    double offset_hz(double rate) const {
        const double bin_hz = rate / kFft;
        return (std::round(nominal_offset_hz * rate / 96000.0 / bin_hz) + (between_bins ? 0.5 : 0.0)) * bin_hz;
    }
};

const std::vector<Emitter>& emitters() {
    static const std::vector<Emitter> list = {
        {"carrier", Source::carrier, -44000.0}, {"cw", Source::cw, -38000.0},
        {"psk31", Source::psk31, -34000.0},     {"rtty", Source::rtty, -30000.0},
        {"am", Source::am, -25000.0},           {"am_between_bins", Source::am, -20000.0, true},
        {"ssb", Source::ssb, -14000.0},         {"fm", Source::fm, 6000.0},
        {"ofdm", Source::ofdm, 28000.0},        {"nothing", Source::nothing, 43000.0},
    };
    return list;
}

// The audio with everything outside low_hz .. high_hz removed, at 12000 Hz.
std::vector<float> band_limit(const std::vector<float>& audio, double low_hz, double high_hz) {
    const std::size_t n = audio.size();
    FftBuffer x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = audio[i];
    ComplexFft(n, ComplexFft::Direction::forward).execute(x.data());
    for (std::size_t k = 0; k < n; ++k) {
        const double f = std::min(k, n - k) * testbed::kIqSynthAudioRateHz / static_cast<double>(n);
        if (f < low_hz || f > high_hz) x[k] = 0.0f;
    }
    ComplexFft(n, ComplexFft::Direction::backward).execute(x.data());
    std::vector<float> out(n);
    for (std::size_t i = 0; i < n; ++i) out[i] = x[i].real() / static_cast<float>(n);
    return out;
}

// White noise band-limited to low_hz .. high_hz at 12000 Hz, unit RMS.
std::vector<float> band_noise(std::size_t n, double low_hz, double high_hz, unsigned seed) {
    std::mt19937 rng(seed);
    std::normal_distribution<float> gauss;
    std::vector<float> noise(n);
    for (float& v : noise) v = gauss(rng);
    std::vector<float> out = band_limit(noise, low_hz, high_hz);
    double power = 0.0;
    for (float v : out) power += static_cast<double>(v) * v;
    const auto scale = static_cast<float>(1.0 / std::sqrt(power / static_cast<double>(n)));
    for (float& v : out) v *= scale;
    return out;
}

// An AM broadcast as a USB receiver 1500 Hz below the carrier hears it: the carrier at 1500 Hz,
// modulated 35 % (RMS) by a 200 .. 1300 Hz programme.
std::vector<float> am_audio(double seconds) {
    const auto n = static_cast<std::size_t>(seconds * testbed::kIqSynthAudioRateHz);
    const std::vector<float> programme = band_noise(n, 200.0, 1300.0, 19);
    std::vector<float> audio(n);
    for (std::size_t i = 0; i < n; ++i) {
        const double envelope = std::max(0.0, 1.0 + 0.35 * programme[i]);
        audio[i] = static_cast<float>(0.25 * envelope * std::cos(2.0 * kPi * 1500.0 * i / testbed::kIqSynthAudioRateHz));
    }
    return audio;
}

// Speech-like audio for the single-sideband row: noise from 300 to 2700 Hz whose loudness
// follows syllables, with pauses between them.
std::vector<float> speech_like(double seconds) {
    const auto n = static_cast<std::size_t>(seconds * testbed::kIqSynthAudioRateHz);
    const std::vector<float> noise = band_noise(n, 300.0, 2700.0, 11);
    std::vector<float> audio(n);
    // Syllables of 0.18 s, one every 0.5 s; the capture ends inside one.
    for (std::size_t i = 0; i < n; ++i) {
        const double t = std::fmod(static_cast<double>(i) / testbed::kIqSynthAudioRateHz, 0.5);
        const double loudness = t < 0.18 ? std::sin(kPi * t / 0.18) : 0.0;
        audio[i] = static_cast<float>(0.3 * loudness * noise[i]);
    }
    return audio;
}

// Wideband FM: a programme of three tones swinging the frequency by up to 6 kHz, constant
// envelope.
void add_fm(Samples& iq, double rate, double offset_hz) {
    double phase = 0.0;
    for (std::size_t i = 0; i < iq.size(); ++i) {
        const double t = static_cast<double>(i) / rate;
        const double deviation = 2500.0 * std::sin(2.0 * kPi * 310.0 * t) + 2000.0 * std::sin(2.0 * kPi * 730.0 * t + 1.0) +
                                 1500.0 * std::sin(2.0 * kPi * 1170.0 * t + 2.0);
        phase = std::remainder(phase + 2.0 * kPi * (offset_hz + deviation) / rate, 2.0 * kPi);
        iq[i] += std::complex<float>(std::polar(0.3, phase));
    }
}

// A flat block of noise 10 kHz wide with brick-wall edges, like an OFDM carrier set.
void add_flat_block(Samples& iq, double rate, double offset_hz) {
    const std::size_t n = iq.size();
    std::mt19937 rng(17);
    std::normal_distribution<float> gauss;
    FftBuffer x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = {gauss(rng), gauss(rng)};
    ComplexFft(n, ComplexFft::Direction::forward).execute(x.data());
    for (std::size_t k = 0; k < n; ++k) {
        const double f = (k < n / 2 ? static_cast<double>(k) : static_cast<double>(k) - static_cast<double>(n)) * rate / n;
        if (std::fabs(f - offset_hz) > 5000.0) x[k] = 0.0f;
    }
    ComplexFft(n, ComplexFft::Direction::backward).execute(x.data());
    // 0.3 rms in total, the FM signal's level.
    const double scale = 0.3 / std::sqrt(static_cast<double>(n) * 2.0 * 10000.0 / rate);
    for (std::size_t i = 0; i < n; ++i) iq[i] += x[i] * static_cast<float>(scale);
}

void add_carrier(Samples& iq, double rate, double offset_hz) {
    for (std::size_t i = 0; i < iq.size(); ++i)
        iq[i] += std::complex<float>(std::polar(0.25, 2.0 * kPi * offset_hz * static_cast<double>(i) / rate + 0.3));
}

// The capture at `rate`: the emitters over white noise of the same density at every rate.
Samples capture(double rate) {
    std::vector<testbed::IqSynthSignal> audio_signals;
    auto add_audio = [&](const std::vector<float>& audio, double offset_hz, double audio_centre_hz) {
        audio_signals.push_back({audio, offset_hz - audio_centre_hz, 0.0});
    };
    for (const Emitter& e : emitters()) {
        switch (e.source) {
        case Source::cw: {
            const testbed::SignalCase c = testbed::classifier_signal_case("CW 20 WPM");
            add_audio(testbed::signal_burst(c, kSeconds + 1.0, 3).audio, e.offset_hz(rate), c.centre_hz);
            break;
        }
        case Source::psk31: {
            const testbed::SignalCase c = testbed::classifier_signal_case("PSK31");
            add_audio(testbed::signal_burst(c, kSeconds + 1.0, 3).audio, e.offset_hz(rate), c.centre_hz);
            break;
        }
        case Source::rtty: {
            const testbed::SignalCase c = testbed::classifier_signal_case("RTTY 45.45/170");
            add_audio(testbed::signal_burst(c, kSeconds + 1.0, 3).audio, e.offset_hz(rate), c.centre_hz);
            break;
        }
        case Source::am: add_audio(am_audio(kSeconds + 0.5), e.offset_hz(rate), 1500.0); break;
        case Source::ssb: add_audio(speech_like(kSeconds + 0.5), e.offset_hz(rate), 1500.0); break;
        default: break;
        }
    }
    testbed::IqSynthConfig config;
    config.rate_hz = static_cast<int>(rate);
    config.duration_s = kSeconds;
    Samples iq = testbed::synthesize_iq(config, audio_signals);
    for (const Emitter& e : emitters()) {
        if (e.source == Source::carrier) add_carrier(iq, rate, e.offset_hz(rate));
        if (e.source == Source::fm) add_fm(iq, rate, e.offset_hz(rate));
        if (e.source == Source::ofdm) add_flat_block(iq, rate, e.offset_hz(rate));
    }
    // 0.05 rms per component at 96 kHz: about 17 dB SNR in 2500 Hz for the PSK31 signal.
    const double sigma = 0.05 * std::sqrt(rate / 96000.0);
    std::mt19937 rng(5);
    std::normal_distribution<float> gauss(0.0f, static_cast<float>(sigma));
    for (auto& v : iq) v += std::complex<float>(gauss(rng), gauss(rng));
    return iq;
}

// The survey's averaged spectrum: periodic Hann frames of 8192 with a hop of 4096, averaged by
// 1/count for the first 8 frames and then by 0.06 per frame, in centred order.
std::vector<float> averaged_spectrum(const Samples& iq) {
    std::vector<float> s(kFft, 0.0f);
    ComplexFft fft(kFft, ComplexFft::Direction::forward);
    FftBuffer work(kFft);
    int count = 0;
    for (std::size_t start = 0; start + kFft <= iq.size(); start += kFft / 2) {
        for (std::size_t i = 0; i < kFft; ++i)
            work[i] = iq[start + i] * static_cast<float>(0.5 - 0.5 * std::cos(2.0 * kPi * i / kFft));
        fft.execute(work.data());
        ++count;
        const float a = count < 9 ? 1.0f / static_cast<float>(count) : 0.06f;
        for (std::size_t i = 0; i < kFft; ++i) s[i] += a * (std::norm(work[(i + kFft / 2) % kFft]) - s[i]);
    }
    return s;
}

// The width a detector gives the emitter: the bins around its centre standing 6 dB over the
// noise floor (gaps under 300 Hz bridged), from 0.5 % to 99.5 % of their excess power; one bin
// at least.
double occupied_bandwidth(const std::vector<float>& s, double bin_hz, double offset_hz) {
    std::vector<float> sorted(s);
    std::nth_element(sorted.begin(), sorted.begin() + kFft / 4, sorted.end());
    const double floor = sorted[kFft / 4];
    const long gap = std::max(1L, std::lround(300.0 / bin_hz));
    const long centre = std::lround(kFft / 2 + offset_hz / bin_hz);
    auto above = [&](long i) { return i >= 0 && i < static_cast<long>(kFft) && s[static_cast<std::size_t>(i)] > 4.0 * floor; };
    long first = centre, last = centre;
    for (long i = centre; i >= 0 && centre - i < 1000; --i)
        if (above(i)) first = i;
        else if (first - i >= gap) break;
    for (long i = centre; i < static_cast<long>(kFft) && i - centre < 1000; ++i)
        if (above(i)) last = i;
        else if (i - last >= gap) break;
    double excess = 0.0;
    for (long i = first; i <= last; ++i) excess += std::max(0.0, s[static_cast<std::size_t>(i)] - floor);
    double low = first * bin_hz, high = last * bin_hz, sum = 0.0;
    bool have_low = false;
    for (long i = first; i <= last; ++i) {
        sum += std::max(0.0, s[static_cast<std::size_t>(i)] - floor);
        if (!have_low && sum >= 0.005 * excess) low = i * bin_hz - bin_hz / 2, have_low = true;
        if (sum >= 0.995 * excess) {
            high = i * bin_hz + bin_hz / 2;
            break;
        }
    }
    return std::max(high - low, bin_hz);
}

struct Verdict {
    SignalClass signal_class;
    bool decode;
    double bandwidth_hz;
    sig::SurveyBandStats stats;
    sig::SurveyEnvelopeFeatures features;
};

// What one feature pass makes of every emitter in a capture at `rate`.
std::map<std::string, Verdict> survey_view(double rate) {
    const Samples iq = capture(rate);
    const std::vector<float> spectrum = averaged_spectrum(iq);
    const double bin_hz = rate / kFft;
    std::map<std::string, Verdict> out;
    for (const Emitter& e : emitters()) {
        Verdict v;
        // Where nothing is, the emitter is one that faded: it keeps the width it had.
        v.bandwidth_hz = e.source == Source::nothing ? 3000.0 : occupied_bandwidth(spectrum, bin_hz, e.offset_hz(rate));
        v.stats = sig::survey_spectrum_stats(spectrum.data(), kFft, bin_hz, kFft / 2 + e.offset_hz(rate) / bin_hz, v.bandwidth_hz);
        // The history: the last second of the extractor's complex output, at 12000 Hz up to
        // 6 kHz wide and at twice the width (24000 .. 64000 Hz) beyond.
        const double history_rate = v.bandwidth_hz <= 6000.0 ? 12000.0 : std::clamp(2.0 * v.bandwidth_hz, 24000.0, 64000.0);
        sig::EmitterExtractor x(rate, e.offset_hz(rate), history_rate, history_rate == 12000.0 ? 7600.0 : 0.9 * history_rate);
        std::vector<float> audio;
        Samples baseband;
        x.process(iq.data(), iq.size(), audio, &baseband);
        const auto keep = static_cast<std::size_t>(history_rate);
        const Samples history(baseband.end() - static_cast<std::ptrdiff_t>(std::min(keep, baseband.size())), baseband.end());
        v.features = sig::survey_history_features(history_rate, v.bandwidth_hz, history.data(), history.size());
        v.signal_class = sig::classify_survey_emitter(v.stats, v.features, SignalClass::NONE);
        v.decode = sig::survey_should_decode(v.stats, v.features);
        out[e.name] = v;
    }
    return out;
}

struct Expectation {
    std::string emitter;
    SignalClass signal_class;
    bool decode;
};

void check(const std::map<std::string, Verdict>& view, const std::vector<Expectation>& table) {
    for (const Expectation& x : table) {
        const Verdict& v = view.at(x.emitter);
        const auto& s = v.stats;
        const auto& f = v.features;
        const std::string detail =
            x.emitter + ": bw " + std::to_string(v.bandwidth_hz) + " in " + std::to_string(s.in_band_db) + " peak " +
            std::to_string(s.peak_db) + " flat " + std::to_string(s.flatness) + " edge " + std::to_string(s.edge_db) +
            " cp " + std::to_string(s.centre_peak_db) + " core " + std::to_string(s.core_db) + " sym " +
            std::to_string(s.symmetry) + " | K " + std::to_string(f.kurtosis) + " CV " + std::to_string(f.variation) +
            " OO " + std::to_string(f.on_off_keyed) + " PR " + std::to_string(f.keying_peak_ratio) + " R " +
            std::to_string(f.keying_rate_hz) + " valid " + std::to_string(s.valid) + std::to_string(f.valid);
        EXPECT_EQ(static_cast<int>(v.signal_class), static_cast<int>(x.signal_class)) << detail;
        EXPECT_EQ(v.decode, x.decode) << detail;
    }
}

// What the class tree makes of these emitters, row by row. Four rows name a class other than
// the signal's own; why:
// - PSK31 in 11.7 Hz bins is 59 Hz wide, within the 120 Hz of a carrier, and is not on/off
//   keyed: CARRIER. Its envelope varies too much (0.34) for the steady-envelope test, and at
//   12000 Hz a keying line is only searched up to 59 Hz, in fewer than 11 bins: not decodable.
// - A carrier in 183 Hz bins measures at least one bin, always wider than 120 Hz: no class.
// - Speech: the syllable rhythm stands as a keying line at the lowest searched bin (5.9 Hz),
//   and speech is not on/off keyed by the 60 %-of-maximum test, so the tree names it PSK
//   (and decodable by its line); the SSB rule is reached only without such a line.
// - An AM carrier half way between two bins splits over both: the band is lopsided around the
//   centre bin (symmetry 0.24) and the AM rule does not apply.

struct SurveyCase {
    std::string name;
    double rate;  // the survey's bandwidth
    std::vector<Expectation> table;
};

void PrintTo(const SurveyCase& c, std::ostream* os) { *os << c.name; }

class SurveyEmitterClasses : public ::testing::TestWithParam<SurveyCase> {};

TEST_P(SurveyEmitterClasses, ClassAndDecodeOfEachEmitter) { check(survey_view(GetParam().rate), GetParam().table); }

INSTANTIATE_TEST_SUITE_P(
    Table, SurveyEmitterClasses,
    ::testing::Values(
        // A survey of 96 kHz (--survey-bandwidth 96k): 11.7 Hz bins.
        SurveyCase{"NarrowSurvey",
                   96000.0,
                   {
                       {"carrier", SignalClass::CARRIER, true},
                       {"cw", SignalClass::CW, true},
                       {"psk31", SignalClass::CARRIER, false},
                       {"rtty", SignalClass::NONE, true},
                       {"am", SignalClass::AM, false},
                       {"am_between_bins", SignalClass::NONE, false},
                       {"ssb", SignalClass::PSK, true},
                       {"fm", SignalClass::FM, true},
                       {"ofdm", SignalClass::OFDM, true},
                       {"nothing", SignalClass::NOISE, false},
                   }},
        // The default survey of 1.5 MHz: 183 Hz bins.
        SurveyCase{"DefaultSurvey",
                   1500000.0,
                   {
                       {"carrier", SignalClass::NONE, true},
                       {"cw", SignalClass::CW, true},
                       {"psk31", SignalClass::PSK, true},
                       {"rtty", SignalClass::NONE, true},
                       {"am", SignalClass::AM, false},
                       {"am_between_bins", SignalClass::NONE, false},
                       {"ssb", SignalClass::PSK, true},
                       {"fm", SignalClass::FM, true},
                       {"ofdm", SignalClass::OFDM, true},
                       {"nothing", SignalClass::NOISE, false},
                   }}),
    [](const auto& info) { return info.param.name; });

}  // namespace
