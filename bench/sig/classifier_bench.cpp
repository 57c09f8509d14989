// CPU of the signal classifier of one 3000 Hz analysis channel, per second of audio: on noise
// alone, on a busy channel with five keyboard signals (PSK31, CW, RTTY, PSK63, CW) that come
// and go, so that tracks start, are tested, named and lost throughout, and on a voice (upper
// sideband, +20 dB), whose harmonics make tracks that are tested again and again and named
// nothing. One iteration classifies a
// whole minute of audio in blocks of 1200 samples, from a new classifier, as an analysis channel
// does.
#include <benchmark/benchmark.h>

#include <vector>

#include "sig/classifier.hpp"
#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/speech_like.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

constexpr double kSeconds = 60.0;
constexpr std::size_t kSamples = static_cast<std::size_t>(kSeconds * 12000.0);
const std::string kText = "CQ CQ DE W1AW W1AW PSE K  THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789  ";

// Adds a transmission of `seconds` starting at `start_s`, at snr_db against the channel noise.
void add(std::vector<float>& audio, std::vector<float> burst, double start_s, double seconds, double snr_db,
         double noise_rms) {
    burst.resize(static_cast<std::size_t>(seconds * 12000.0));
    const double power = testbed::mean_power(burst);
    const double wanted = noise_rms * noise_rms * 2500.0 / 6000.0 * std::pow(10.0, snr_db / 10.0);
    const float scale = static_cast<float>(std::sqrt(wanted / power));
    const auto first = static_cast<std::size_t>(start_s * 12000.0);
    for (std::size_t i = 0; i < burst.size() && first + i < audio.size(); ++i) audio[first + i] += scale * burst[i];
}

std::string long_text() {
    std::string text;
    for (int i = 0; i < 30; ++i) text += kText;
    return text;
}

enum Channel { kNoise = 0, kBusy = 1, kVoice = 2 };

std::vector<float> channel(int kind) {
    constexpr double noise = 0.05;
    std::vector<float> audio = testbed::white_noise(kSamples, noise, 11);
    if (kind == kNoise) return audio;
    if (kind == kVoice) {
        add(audio, testbed::speech_like(kSeconds, testbed::SpeechLike{}), 0.0, kSeconds, 20.0, noise);
        return audio;
    }
    testbed::PskSignal psk31;
    psk31.carrier_hz = 500.0;
    testbed::PskSignal psk63;
    psk63.baud = 62.5;
    psk63.carrier_hz = 2000.0;
    testbed::RttySignal rtty;
    rtty.centre_hz = 1400.0;
    testbed::CwKeying cw;
    cw.tone_hz = 900.0;
    testbed::CwKeying fast = cw;
    fast.tone_hz = 2600.0;
    fast.wpm = 28.0;
    const std::string text = long_text();
    // Overs of 20 to 40 s with breaks, as in a QSO.
    for (const double start : {0.0, 35.0}) add(audio, testbed::modulate_psk_text(text, psk31), start, 25.0, 5.0, noise);
    for (const double start : {5.0, 40.0}) add(audio, testbed::key_text(text, cw), start, 20.0, 10.0, noise);
    add(audio, testbed::modulate_rtty_text(text, rtty), 2.0, 40.0, 10.0, noise);
    for (const double start : {10.0, 45.0}) add(audio, testbed::modulate_psk_text(text, psk63), start, 12.0, 8.0, noise);
    add(audio, testbed::key_text(text, fast), 15.0, 30.0, 12.0, noise);
    return audio;
}

void classifier_channel(benchmark::State& state) {
    const std::vector<float> audio = channel(static_cast<int>(state.range(0)));
    std::size_t named = 0;
    for (auto _ : state) {
        auto classifier = sig::init_classifier(testbed::channel_classifier_config());
        sig::AudioBlock block;
        named = 0;
        for (std::size_t at = 0; at + 1200 <= audio.size(); at += 1200) {
            block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(at),
                                 audio.begin() + static_cast<std::ptrdiff_t>(at + 1200));
            block.time = static_cast<double>(at) / 12000.0;
            named += sig::classify(*classifier, block).classified.size();
        }
    }
    state.counters["audio_s"] = benchmark::Counter(kSeconds, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["named"] = static_cast<double>(named);
}

BENCHMARK(classifier_channel)->Arg(kNoise)->Arg(kBusy)->Arg(kVoice)->Unit(benchmark::kMillisecond);

}  // namespace
