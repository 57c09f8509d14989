#include "sig/test_olivia_candidate.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "sig/downconvert_audio.hpp"
#include "sig/held_tone_fraction.hpp"
#include "sig/spectral_measurements.hpp"

namespace sig {
namespace {

constexpr double kHalvedKeying_db = 10.0;
// Olivia's strongest tone holds from one symbol to the next little more often than chance (up
// to 0.32 over chance at 4/125 and +5 dB, 0.12 for the wider variants); a voice's harmonics,
// read as a comb, mostly 0.4 to 1.
constexpr double kMaxHeldTone = 0.35;

bool olivia_width(long w) { return w == 125 || w == 250 || w == 500 || w == 1000 || w == 2000; }

struct OliviaShape {
    std::uint32_t tones;
    double spacing;
    double half_span;  // first tone to comb centre
};

// The variant the modem runs for a comb of T tones over w Hz: tone counts the modem lacks at
// that width fold onto the width's usual count at 31.25 Hz spacing.
OliviaShape modem_shape(std::uint32_t t, long w, double sp) {
    const auto regular = [&](std::uint32_t tones) { return OliviaShape{tones, sp, (tones - 1.0) * sp / 2.0}; };
    if (t == 4 || t == 8) return regular(t);
    if (t == 16 || t == 32 || t == 64) {
        if (w == 125) return {4, 31.25, 46.875};
        if (w == 250) return {8, 31.25, 109.375};
        if (t == 32 && w == 500) return {16, 31.25, 234.375};
        return regular(t);
    }
    switch (w) {
    case 125: return {4, 31.25, 46.875};
    case 250: return {8, 31.25, 109.375};
    case 500: return {16, 31.25, 234.375};
    case 1000: return {32, 31.25, 484.375};
    default: {
        const double spacing = static_cast<double>(w) / 64.0;
        return {64, spacing, 63.0 * spacing / 2.0};
    }
    }
}

}  // namespace

bool test_olivia_candidate(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                           double& score_floor, std::uint32_t tones, bool accept_without_keying, double spacing_hz,
                           double contrast, double first_hz, double centre_hz) {
    const long w = std::lround(tones * spacing_hz);
    if (!olivia_width(w) || tones < 4) return false;
    // The tones, pixels and sync pulses of a chart being received key the frequency at many
    // rates; a comb found among them is not a signal of its own.
    if (inside_named_band(state, track, Mode::WEFAX)) return false;
    const double cutoff = 30.0 + static_cast<double>(w) / 2.0;
    const int decimation = baseband_decimation(2.5 * cutoff);
    const Baseband baseband = downconvert_audio(audio, count, decimation, centre_hz, cutoff);
    if (baseband.samples.empty()) return false;
    const FrequencyTrack frequency = envelope_statistics(baseband);
    const PowerSpectrum keying = step_change_spectrum(state.fft, frequency);

    bool accept = false;
    bool fail = tones > 64;
    double spacing = spacing_hz;
    std::uint32_t t = tones;
    double key_snr = -100.0;
    bool halved = false;
    while (!fail && !accept) {
        if (keying.bins.empty()) {
            key_snr = -100.0;
            break;
        }
        const double limit = std::min(0.5 * keying.rate - 1.0, 200.0);
        key_snr = peak_snr_db(keying, spacing, limit);
        if (spacing / 2.0 < 15.625) {
            if (key_snr >= 6.0) accept = true;
            break;
        }
        const double half_line = peak_snr_db(keying, spacing / 2.0, limit);
        if (!(half_line > key_snr - 3.0 && half_line >= 6.0)) {
            if (key_snr >= 6.0) accept = true;
            break;
        }
        // The line at half the spacing is as strong: the signal keys twice as many tones at half
        // the rate. The step spectrum of MFSK keying has lines at every multiple of the symbol
        // rate, so a comb read at four or eight times the spacing (a few strong tones of a wide
        // signal) halves down to the rate that has no line below it.
        t *= 2;
        if (t <= 64) {
            spacing /= 2.0;
            halved = true;
        } else {
            fail = true;
        }
    }
    // A rate found by halving stands on a line at a fraction of the comb's spacing, and the step
    // spectra of other keyed or frequency-modulated signals (the sidebands of 850 Hz RTTY, the
    // lines of a picture) have lines at many multiples of some rate: 6 dB over the median, enough
    // at the comb's own spacing, is met there by chance. Olivia keying stands 10 to 20 dB out.
    if (accept && halved && key_snr < kHalvedKeying_db) {
        accept = false;
        fail = true;
    }
    // The comb may also have been read at half the true spacing (twice the tones over the same
    // width): a 4-tone signal keyed at 31.25 Bd shows a line at 15.6 Hz some 10 dB over the
    // median, enough to be accepted, and one at 31.25 Hz some 15 dB stronger still. A line at
    // twice the spacing 3 dB above the one at the spacing names the wider spacing (the mirror
    // of the halving above); harmonics of a true rate stand below its own line.
    if (accept && !halved && t / 2 >= 4 && !keying.bins.empty()) {
        const double limit = std::min(0.5 * keying.rate - 1.0, 200.0);
        const double double_line = peak_snr_db(keying, 2.0 * spacing, limit);
        if (double_line >= key_snr + 3.0) {
            spacing *= 2.0;
            t /= 2;
            key_snr = double_line;
        }
    }
    if (!fail && !accept && accept_without_keying) accept = true;
    if (!accept) {
        score_floor = std::max(score_floor, 0.35);
        return false;
    }

    const OliviaShape shape = modem_shape(t, w, spacing);
    const double comb_centre = first_hz + shape.half_span;
    const double centre = comb_centre + shape.spacing * std::round((centre_hz - comb_centre) / shape.spacing);
    // A comb found around a track but not covering it (a carrier beside a wide signal whose lines
    // it was measured with) is another signal's.
    if (std::fabs(track.audio_hz - centre) > static_cast<double>(w) / 2.0 + shape.spacing) {
        score_floor = std::max(score_floor, 0.35);
        return false;
    }
    // A voice's harmonics make a comb, and its syllables step their frequency often enough to
    // show a keying line; but its strongest harmonic follows a formant for many symbols, where
    // MFSK sends a fresh tone each symbol. Read at the tones and rate the keying showed, not
    // the modem's (a 16-tone comb 250 Hz wide runs as 8/250 but keys at 15.625 Bd).
    const double first_tone = centre - (t - 1.0) * spacing / 2.0 - centre_hz;
    if (held_tone_fraction(baseband, first_tone, spacing, t) > kMaxHeldTone) {
        score_floor = std::max(score_floor, 0.35);
        return false;
    }
    double confidence = contrast * 0.08 + 0.5;
    if (key_snr > 6.0) confidence += (key_snr - 6.0) * 0.02;
    confidence = std::clamp(confidence, 0.5, 0.99);

    track.mode = Mode::OLIVIA;
    track.variant = std::to_string(shape.tones) + "/" + std::to_string(w);
    track.audio_hz = centre;
    track.smoothed_hz = centre;
    track.bandwidth_hz = static_cast<double>(w);
    track.symbol_rate = shape.spacing;
    track.tones = shape.tones;
    track.members = shape.tones;
    track.max_members = shape.tones;
    track.quality = static_cast<float>(confidence);
    track.low_hz = centre - static_cast<double>(w) / 2.0;
    track.high_hz = centre + static_cast<double>(w) / 2.0;
    return true;
}

bool inside_named_band(const ClassifierState& state, const ClassifierTrack& track, Mode mode) {
    return std::any_of(state.tracks.begin(), state.tracks.end(), [&](const ClassifierTrack& o) {
        return o.track != track.track && o.confirmed && o.mode == mode && track.audio_hz >= o.low_hz &&
               track.audio_hz <= o.high_hz;
    });
}

}  // namespace sig
