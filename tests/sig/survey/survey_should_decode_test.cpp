#include "sig/survey/survey_should_decode.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

// A band with no carrier shape and a moderate contrast; each case changes what it needs.
sig::SurveyBandStats band(double bandwidth_hz, double in_band_db = 10.0) {
    sig::SurveyBandStats s;
    s.bandwidth_hz = bandwidth_hz;
    s.symmetry = 1.0;
    s.flatness = 0.2;
    s.peak_db = 2.0;
    s.in_band_db = in_band_db;
    s.edge_db = 1.0;
    s.centre_peak_db = 3.0;
    s.core_db = 3.0;
    s.valid = true;
    return s;
}

// Kurtosis 2 and variation 0.5 are noise-like: neither envelope test passes.
sig::SurveyEnvelopeFeatures envelope(double kurtosis = 2.0, double variation = 0.5, bool keyed = false) {
    sig::SurveyEnvelopeFeatures f;
    f.kurtosis = kurtosis;
    f.variation = variation;
    f.on_off_keyed = keyed;
    f.valid = true;
    return f;
}

sig::SurveyEnvelopeFeatures line(sig::SurveyEnvelopeFeatures f, double ratio, double rate_hz) {
    f.keying_peak_ratio = ratio;
    f.keying_rate_hz = rate_hz;
    return f;
}

template <typename T>
T with(T x, const std::function<void(T&)>& change) {
    change(x);
    return x;
}

// A carrier over symmetric sidebands.
void carrier(sig::SurveyBandStats& s) {
    s.core_db = 6.0;
    s.centre_peak_db = 10.0;
    s.symmetry = 0.61;
}

void flat(sig::SurveyBandStats& s) {
    s.flatness = 0.5;
    s.in_band_db = 8.0;
    s.edge_db = 4.0;
}

struct DecodeCase {
    std::string name;
    sig::SurveyBandStats s;
    sig::SurveyEnvelopeFeatures f;
    bool decode;
};

class ShouldDecode : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(ShouldDecode, Judges) {
    const DecodeCase& c = GetParam();
    EXPECT_EQ(sig::survey_should_decode(c.s, c.f), c.decode);
}

const sig::SurveyEnvelopeFeatures kNoEnvelope{};
const sig::SurveyEnvelopeFeatures kSteady = envelope(1.4, 0.29);

INSTANTIATE_TEST_SUITE_P(
    Table, ShouldDecode,
    ::testing::Values(
        DecodeCase{"no_band", sig::SurveyBandStats{}, kSteady, false},
        DecodeCase{"zero_bandwidth", band(0.0), kSteady, false},
        DecodeCase{"low_contrast", band(300, 4.9), kSteady, false},
        DecodeCase{"contrast_enough", band(300, 5.0), kSteady, true},
        // Narrow: a strong line decodes even without envelope features.
        DecodeCase{"narrow_strong_unmeasured", with<sig::SurveyBandStats>(band(120, 12.0), [](auto& s) { s.peak_db = 3.0; }), kNoEnvelope, true},
        DecodeCase{"narrow_weak_peak_unmeasured", with<sig::SurveyBandStats>(band(120, 12.0), [](auto& s) { s.peak_db = 2.9; }), kNoEnvelope, false},
        DecodeCase{"narrow_low_contrast_unmeasured", with<sig::SurveyBandStats>(band(120, 11.9), [](auto& s) { s.peak_db = 3.0; }), kNoEnvelope, false},
        DecodeCase{"narrow_noise_envelope", band(120, 12.0), envelope(), false},
        DecodeCase{"narrow_keying_line", band(120), line(envelope(), 8.0, 5.0), true},
        DecodeCase{"narrow_line_too_weak", band(120), line(envelope(), 7.9, 5.0), false},
        DecodeCase{"narrow_line_too_slow", band(120), line(envelope(), 8.0, 4.9), false},
        DecodeCase{"narrow_line_outside_band", band(120), line(envelope(), 8.0, 120.0), false},
        DecodeCase{"narrow_keyed_envelope", band(100), envelope(2.6, 0.31), true},
        DecodeCase{"narrow_envelope_variation", band(100), envelope(2.6, 0.3), false},
        DecodeCase{"narrow_envelope_kurtosis", band(100), envelope(2.59, 0.5), false},
        DecodeCase{"narrow_envelope_kurtosis_top", band(100), envelope(20.0, 0.5), true},
        DecodeCase{"narrow_envelope_kurtosis_over", band(100), envelope(20.1, 0.5), false},
        // Wider than 120 Hz, nothing without envelope features.
        DecodeCase{"unmeasured_121", with<sig::SurveyBandStats>(band(121, 20.0), [](auto& s) { s.peak_db = 10.0; }), kNoEnvelope, false},
        DecodeCase{"keyed_narrow_line", band(599), line(envelope(), 8.0, 31.25), true},
        DecodeCase{"keyed_narrow_steady", band(599), kSteady, true},
        DecodeCase{"keyed_narrow_steady_variation", band(599), envelope(1.4, 0.3), false},
        DecodeCase{"keyed_narrow_noise", band(599), envelope(), false},
        // 600 Hz and wider, not flat: the carrier test decides first.
        DecodeCase{"wide_line", band(2000), line(envelope(), 8.0, 50.0), true},
        DecodeCase{"wide_carrier_sidebands", with<sig::SurveyBandStats>(band(2000), carrier), envelope(1.1, 0.29), true},
        DecodeCase{"wide_carrier_too_steady", with<sig::SurveyBandStats>(band(2000), carrier), envelope(1.09, 0.29), false},
        DecodeCase{"wide_carrier_too_varied", with<sig::SurveyBandStats>(band(2000), carrier), envelope(1.5, 0.3), false},
        // Without the carrier (variation below 0.1) the envelope test applies.
        DecodeCase{"wide_carrier_unmodulated", with<sig::SurveyBandStats>(band(2000), carrier), envelope(1.5, 0.09), false},
        DecodeCase{"wide_carrier_still", with<sig::SurveyBandStats>(band(2000), carrier), envelope(1.3, 0.09), true},
        DecodeCase{"wide_lopsided_carrier", with<sig::SurveyBandStats>(band(2000), [](auto& s) { carrier(s); s.symmetry = 0.6; }), envelope(1.5, 0.2), false},
        DecodeCase{"wide_steady", band(2000), kSteady, true},
        DecodeCase{"wide_noise", band(2000), envelope(), false},
        // Flat with steep edges.
        DecodeCase{"flat_steady", with<sig::SurveyBandStats>(band(10000), flat), envelope(1.4, 0.2), true},
        DecodeCase{"flat_low_kurtosis", with<sig::SurveyBandStats>(band(10000), flat), envelope(1.7, 0.2), false},
        DecodeCase{"flat_noise_like", with<sig::SurveyBandStats>(band(10000), flat), envelope(2.0, 0.5), true},
        DecodeCase{"flat_noise_like_keyed", with<sig::SurveyBandStats>(band(10000), flat), envelope(2.0, 0.5, true), false},
        DecodeCase{"flat_noise_like_keyed_line", with<sig::SurveyBandStats>(band(10000), flat), line(envelope(2.0, 0.5, true), 8.0, 100.0), true},
        DecodeCase{"flat_noise_like_keyed_carrier", with<sig::SurveyBandStats>(band(10000), [](auto& s) { flat(s); carrier(s); }), envelope(2.0, 0.5, true), true},
        DecodeCase{"flat_noise_like_upper", with<sig::SurveyBandStats>(band(10000), flat), envelope(2.25, 0.5), true},
        DecodeCase{"flat_peaky", with<sig::SurveyBandStats>(band(10000), flat), envelope(2.3, 0.5), false},
        DecodeCase{"flat_peaky_keyed", with<sig::SurveyBandStats>(band(10000), flat), envelope(2.6, 0.5), true},
        DecodeCase{"flat_peaky_carrier", with<sig::SurveyBandStats>(band(10000), [](auto& s) { flat(s); carrier(s); }), envelope(2.3, 0.5), true},
        // Flat needs an in-band contrast of 8 dB: below it the noise-like envelope is not enough.
        DecodeCase{"almost_flat_noise_like", with<sig::SurveyBandStats>(band(10000), [](auto& s) { flat(s); s.in_band_db = 7.9; }), envelope(2.0, 0.5), false},
        DecodeCase{"soft_edges_noise_like", with<sig::SurveyBandStats>(band(10000), [](auto& s) { flat(s); s.edge_db = 3.9; }), envelope(2.0, 0.5), false},
        DecodeCase{"not_flat_noise_like", with<sig::SurveyBandStats>(band(10000), [](auto& s) { flat(s); s.flatness = 0.49; }), envelope(2.0, 0.5), false}),
    [](const auto& info) { return info.param.name; });

}  // namespace
