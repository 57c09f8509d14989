#include "sig/survey/survey_should_decode.hpp"

namespace sig {
namespace {

constexpr double kNarrowHz = 120.0;
constexpr double kKeyedHz = 600.0;

// A constant envelope (PSK, FSK, MFSK) or a strongly varying one (keyed, SSB-like digital).
bool envelope_fits(const SurveyEnvelopeFeatures& f) {
    if (f.kurtosis <= 1.4) return f.variation < 0.3;
    if (f.kurtosis >= 2.6 && f.kurtosis <= 20.0) return f.variation > 0.3;
    return false;
}

// A clear keying line inside the emitter's own bandwidth.
bool keying_line(const SurveyBandStats& s, const SurveyEnvelopeFeatures& f) {
    return f.keying_peak_ratio >= 8.0 && f.keying_rate_hz >= 5.0 && s.bandwidth_hz > f.keying_rate_hz;
}

// A carrier standing over symmetric sidebands with a varying envelope.
bool carrier_with_sidebands(const SurveyBandStats& s, const SurveyEnvelopeFeatures& f) {
    return s.core_db >= 6.0 && s.centre_peak_db >= 10.0 && s.symmetry > 0.6 && f.variation >= 0.1;
}

bool carrier_or_envelope(const SurveyBandStats& s, const SurveyEnvelopeFeatures& f) {
    if (carrier_with_sidebands(s, f)) return f.kurtosis >= 1.1 && f.variation < 0.3;
    return envelope_fits(f);
}

}  // namespace

bool survey_should_decode(const SurveyBandStats& s, const SurveyEnvelopeFeatures& f) {
    const double bw = s.bandwidth_hz;
    const double in_band = s.in_band_db;
    if (!s.valid || !(bw > 0.0) || !(in_band >= 5.0)) return false;
    if (bw <= kNarrowHz) {
        if (in_band >= 12.0 && s.peak_db >= 3.0) {
            if (!f.valid) return true;
            if (f.kurtosis <= 1.4 && f.variation < 0.3) return true;
        } else if (!f.valid) {
            return false;
        }
        return keying_line(s, f) || envelope_fits(f);
    }
    if (!f.valid) return false;
    if (bw < kKeyedHz) return keying_line(s, f) || envelope_fits(f);
    const bool flat = s.flatness >= 0.5 && in_band >= 8.0 && s.edge_db >= 4.0;
    if (!flat) return keying_line(s, f) || carrier_or_envelope(s, f);
    if (f.kurtosis <= 1.7) return keying_line(s, f) || carrier_or_envelope(s, f);
    if (f.kurtosis < 2.3) return !f.on_off_keyed || keying_line(s, f) || carrier_with_sidebands(s, f);
    return keying_line(s, f) || carrier_with_sidebands(s, f) || envelope_fits(f);
}

}  // namespace sig
