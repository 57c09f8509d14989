#include "testbed/lib/iq_synth.hpp"

#include <algorithm>
#include <cmath>
#include <fstream>
#include <numbers>
#include <numeric>
#include <stdexcept>
#include <string>

#include "decode/fft.hpp"
#include "testbed/lib/fft_good_size.hpp"
#include "testbed/lib/test_signal.hpp"

namespace testbed {

namespace {

// Zeros on each side of a recording keep the wrap-around of the FFT's circular Hilbert transform
// away from the signal itself.
constexpr std::size_t kPadSamples = 1024;

bool is_smooth(std::size_t n) { return n > 0 && fft_good_size(n) == n; }

// The analytic form of one recording at the capture rate, centred at 0 Hz = its dial. Upsampling
// happens in the frequency domain: the audio spectrum, negative half removed, is placed in a
// longer transform whose length has the same duration at the capture rate.
struct Upsampled {
    FftBuffer samples;
    float scale = 1.0f;         // the inverse transform is unnormalised
    long long first_index = 0;  // capture index of samples[0]
};

Upsampled upsample_analytic(IqSynthSignal const& signal, int rate_hz)
{
    auto const rate = static_cast<std::size_t>(rate_hz);
    std::size_t const audio_rate = static_cast<std::size_t>(kIqSynthAudioRateHz);
    std::size_t const common = std::gcd(audio_rate, rate);
    std::size_t const step = audio_rate / common;  // audio lengths that map to whole capture lengths
    std::size_t const pad = (kPadSamples + step - 1) / step * step;
    std::size_t audio_length = (signal.audio.size() + 2 * pad + step - 1) / step * step;
    for (int tries = 0; tries < 4096; ++tries, audio_length += step) {
        if (is_smooth(audio_length) && is_smooth(audio_length / step * (rate / common)))
            break;
    }
    std::size_t const length = audio_length / step * (rate / common);

    FftBuffer spectrum(audio_length);
    for (std::size_t i = 0; i < signal.audio.size(); ++i)
        spectrum[pad + i] = signal.audio[i];
    ComplexFft(audio_length, ComplexFft::Direction::forward).execute(spectrum.data());

    FftBuffer wide(length);
    wide[0] = spectrum[0];
    for (std::size_t k = 1; k < (audio_length + 1) / 2; ++k)
        wide[k] = 2.0f * spectrum[k];
    if (audio_length % 2 == 0)
        wide[audio_length / 2] = spectrum[audio_length / 2];
    ComplexFft(length, ComplexFft::Direction::backward).execute(wide.data());

    Upsampled out;
    out.samples = std::move(wide);
    out.scale = 1.0f / static_cast<float>(audio_length);
    long long const pad_at_rate = static_cast<long long>(pad / step * (rate / common));
    out.first_index = std::llround(signal.start_s * rate_hz) - pad_at_rate;
    return out;
}

}  // namespace

double active_power(std::vector<float> const& audio)
{
    auto const first = std::find_if(audio.begin(), audio.end(), [](float x) { return x != 0.0f; });
    if (first == audio.end())
        return 0.0;
    auto const last = std::find_if(audio.rbegin(), audio.rend(), [](float x) { return x != 0.0f; }).base();
    return mean_power(std::vector<float>(first, last));
}

std::vector<std::complex<float>> synthesize_iq(IqSynthConfig const& config, std::vector<IqSynthSignal> const& signals)
{
    if (config.rate_hz <= 0)
        throw std::invalid_argument("rate must be positive");
    if (!(config.duration_s > 0.0) || !std::isfinite(config.duration_s))
        throw std::invalid_argument("duration must be positive");
    if (config.gap_start_s < 0.0 || config.gap_length_s < 0.0 ||
        config.gap_start_s + config.gap_length_s > config.duration_s)
        throw std::invalid_argument("gap must lie inside the capture");
    double const rate = config.rate_hz;
    for (auto const& signal : signals) {
        double const offset = signal.dial_hz - config.center_hz;
        if (!std::isfinite(offset) || std::fabs(offset) + kIqSynthAudioRateHz / 2 >= rate / 2)
            throw std::invalid_argument("signal at dial " + std::to_string(signal.dial_hz) +
                                        " Hz does not fit the capture");
    }

    auto const count = static_cast<std::size_t>(std::llround(config.duration_s * rate));
    std::vector<std::complex<float>> iq(count);
    double const gain = std::pow(10.0, config.gain_db / 20.0);
    for (auto const& signal : signals) {
        auto const up = upsample_analytic(signal, config.rate_hz);
        double const offset_cycles_per_sample = (signal.dial_hz - config.center_hz) / rate;
        for (std::size_t m = 0; m < up.samples.size(); ++m) {
            long long const n = up.first_index + static_cast<long long>(m);
            if (n < 0 || n >= static_cast<long long>(count))
                continue;
            double cycles = offset_cycles_per_sample * static_cast<double>(n);
            cycles -= std::floor(cycles);
            double const phase = 2.0 * std::numbers::pi * cycles;
            std::complex<double> const turn(std::cos(phase), std::sin(phase));
            std::complex<double> const value = std::complex<double>(up.samples[m] * up.scale) * turn * gain;
            iq[static_cast<std::size_t>(n)] += std::complex<float>(value);
        }
    }

    if (config.add_noise && !signals.empty()) {
        double const reference = active_power(signals.front().audio) * gain * gain;
        // Each of I and Q carries the noise a real signal at this rate would: together they put
        // the stated noise power into 2500 Hz of the demodulated upper sideband.
        double const rms = noise_rms_for_snr(reference, config.snr_db, rate);
        auto const noise_i = white_noise(count, rms, config.seed);
        auto const noise_q = white_noise(count, rms, config.seed ^ 0x9e3779b97f4a7c15ull);
        for (std::size_t n = 0; n < count; ++n)
            iq[n] += std::complex<float>(noise_i[n], noise_q[n]);
    }

    if (config.gap_length_s > 0.0) {
        auto const gap_begin = static_cast<std::size_t>(std::llround(config.gap_start_s * rate));
        auto const gap_end = std::min(count, static_cast<std::size_t>(
                                                 std::llround((config.gap_start_s + config.gap_length_s) * rate)));
        iq.erase(iq.begin() + static_cast<std::ptrdiff_t>(gap_begin), iq.begin() + static_cast<std::ptrdiff_t>(gap_end));
    }
    return iq;
}

std::uint64_t write_iq_file(std::filesystem::path const& path, std::vector<std::complex<float>> const& iq)
{
    std::vector<unsigned char> bytes(iq.size() * 4);
    std::uint64_t clipped = 0;
    auto put = [&](std::size_t at, float value) {
        double scaled = std::nearbyint(static_cast<double>(value) * 32767.0);
        if (scaled > 32767.0 || scaled < -32767.0 || std::isnan(scaled)) {
            ++clipped;
            scaled = std::isnan(scaled) ? 0.0 : std::clamp(scaled, -32767.0, 32767.0);
        }
        auto const word = static_cast<std::uint16_t>(static_cast<std::int16_t>(scaled));
        bytes[at] = static_cast<unsigned char>(word & 0xFF);
        bytes[at + 1] = static_cast<unsigned char>(word >> 8);
    };
    for (std::size_t n = 0; n < iq.size(); ++n) {
        put(4 * n, iq[n].real());
        put(4 * n + 2, iq[n].imag());
    }
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<char const*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    out.close();
    if (!out)
        throw std::runtime_error("Cannot write IQ file: " + path.string());
    return clipped;
}

}  // namespace testbed
