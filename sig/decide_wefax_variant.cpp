#include "sig/decide_wefax_variant.hpp"

#include <algorithm>
#include <cmath>

#include "sig/classifier_spectrum.hpp"
#include "sig/downconvert_audio.hpp"
#include "sig/offset_histogram.hpp"
#include "sig/spectral_measurements.hpp"
#include "sig/sstv_line_sync.hpp"
#include "sig/test_olivia_candidate.hpp"

namespace sig {

bool decide_wefax_variant(ClassifierState& state, ClassifierTrack& track, const float* audio, std::size_t count,
                          double& score_floor) {
    const Baseband baseband = downconvert_audio_1900(audio, count, 8);
    if (baseband.samples.empty()) return false;
    const OffsetHistogram h = offset_histogram(envelope_statistics(baseband));
    const double cv = h.envelope_cv;

    if (track.kind == GroupKind::WEFAX_TONES) {
        if (cv > 0.5) {
            score_floor = std::max(score_floor, 0.3);
            return false;
        }
        // SSTV's picture tones can stand where a start tone's lines would.
        if (shows_sstv_sync(audio, count)) return false;
        // The pattern gives the index of cooperation but not the speed, and a variant would fix
        // the modem at that speed: a 60 or 90 lines-per-minute chart would come out at 120.
        // The modem finds both itself from this same start tone.
        track.variant.clear();
        track.mode = Mode::WEFAX;
        track.symbol_rate = 0.0;
        track.tones = 0;
        track.quality = 0.8f;
        return true;
    }

    const bool steady = cv <= 0.35;
    const bool within = h.within_fraction >= 0.85;
    const bool spread = h.occupied_bins > 1;
    if (steady && within && spread && !shows_sstv_sync(audio, count)) {
        track.mode = Mode::WEFAX;
        track.variant.clear();
        track.audio_hz = 1900.0;
        track.bandwidth_hz = 800.0;
        track.low_hz = 1500.0;
        track.high_hz = 2300.0;
        track.smoothed_hz = 1900.0;
        track.symbol_rate = 0.0;
        track.tones = 0;
        track.quality = static_cast<float>(0.6 + 0.3 * std::min(1.0, 4.0 * (0.35 - cv)));
        return true;
    }
    score_floor = std::max(score_floor, 0.15 * (int{steady} + int{within} + int{spread}));
    if (track.kind != GroupKind::IMAGE_BAND) return false;

    // A filled band that is not facsimile may be a wide Olivia signal.
    const std::vector<float>& level = state.averaged_db;
    const int first = std::max(static_cast<int>(std::floor(1100.0 / state.bin_hz)), state.lo_bin);
    const int last = std::min(static_cast<int>(std::ceil(2700.0 / state.bin_hz)), state.hi_bin);
    if (first > last) return false;
    int p = first;
    for (int k = first; k <= last; ++k)
        if (level[static_cast<std::size_t>(k)] > level[static_cast<std::size_t>(p)]) p = k;
    const auto [left, right] = peak_extent(state, p);
    const double low = left * state.bin_hz;
    const double high = right * state.bin_hz;
    const ToneComb comb = estimate_mfsk_symbol_rate(level, state.bin_hz, low, high);
    if (comb.tones > 3 && comb.contrast >= 1.5 && comb.peaks >= comb.tones / 2 && comb.peaks <= 2 * comb.tones + 2 &&
        test_olivia_candidate(state, track, audio, count, score_floor, comb.tones, false, comb.spacing, comb.contrast,
                              comb.first_hz, (low + high) / 2.0)) {
        track.kind = GroupKind::SINGLE;
        return true;
    }
    return false;
}

}  // namespace sig
