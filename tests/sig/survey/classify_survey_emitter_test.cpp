#include "sig/survey/classify_survey_emitter.hpp"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace {

using sig::SignalClass;

// A measured band and envelope that match no rule by themselves; each case changes what it needs.
sig::SurveyBandStats band(double bandwidth_hz) {
    sig::SurveyBandStats s;
    s.bandwidth_hz = bandwidth_hz;
    s.symmetry = 1.0;
    s.flatness = 0.2;
    s.peak_db = 10.0;
    s.in_band_db = 15.0;
    s.edge_db = 1.0;
    s.centre_peak_db = 12.0;
    s.core_db = 8.0;
    s.valid = true;
    return s;
}

sig::SurveyEnvelopeFeatures envelope(double kurtosis, double variation, double peak_ratio = 0.0, bool keyed = false) {
    sig::SurveyEnvelopeFeatures f;
    f.kurtosis = kurtosis;
    f.variation = variation;
    f.keying_peak_ratio = peak_ratio;
    f.keying_rate_hz = peak_ratio > 0.0 ? 20.0 : 0.0;
    f.on_off_keyed = keyed;
    f.valid = true;
    return f;
}

struct ClassCase {
    std::string name;
    sig::SurveyBandStats s;
    sig::SurveyEnvelopeFeatures f;
    SignalClass current;
    SignalClass expected;
};

sig::SurveyBandStats with(sig::SurveyBandStats s, const std::function<void(sig::SurveyBandStats&)>& change) {
    change(s);
    return s;
}

const sig::SurveyBandStats kNoBand{};
const sig::SurveyEnvelopeFeatures kNoEnvelope{};

class ClassTree : public ::testing::TestWithParam<ClassCase> {};

TEST_P(ClassTree, NamesTheEmitter) {
    const ClassCase& c = GetParam();
    EXPECT_EQ(sig::classify_survey_emitter(c.s, c.f, c.current), c.expected);
}

auto noise_band = [](sig::SurveyBandStats& s) { s.in_band_db = 2.4; s.peak_db = 2.4; };
auto no_core = [](sig::SurveyBandStats& s) { s.core_db = 5.9; s.centre_peak_db = 5.0; };
auto flat = [](sig::SurveyBandStats& s) { s.flatness = 0.5; s.in_band_db = 5.0; s.edge_db = 4.0; };

INSTANTIATE_TEST_SUITE_P(
    EnvelopeOnly, ClassTree,
    ::testing::Values(
        ClassCase{"keyed_line_is_cw", kNoBand, envelope(1.5, 0.8, 4.0, true), SignalClass::PSK, SignalClass::CW},
        ClassCase{"weak_line_clears", kNoBand, envelope(1.5, 0.8, 3.9, true), SignalClass::PSK, SignalClass::NONE},
        ClassCase{"unkeyed_line_clears", kNoBand, envelope(1.5, 0.8, 9.0, false), SignalClass::CW, SignalClass::NONE},
        ClassCase{"nothing_measured_keeps", kNoBand, kNoEnvelope, SignalClass::FM, SignalClass::FM}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SpectrumOnly, ClassTree,
    ::testing::Values(
        ClassCase{"noise", with(band(3000), noise_band), kNoEnvelope, SignalClass::NONE, SignalClass::NOISE},
        ClassCase{"noise_keeps_a_class", with(band(3000), noise_band), kNoEnvelope, SignalClass::CW, SignalClass::CW},
        ClassCase{"carrier_always_written", with(band(120), [](auto& s) { s.in_band_db = 12.0; }), kNoEnvelope,
                  SignalClass::PSK, SignalClass::CARRIER},
        ClassCase{"carrier_needs_contrast", with(band(120), [](auto& s) { s.in_band_db = 11.9; }), kNoEnvelope,
                  SignalClass::NONE, SignalClass::NONE},
        ClassCase{"carrier_needs_narrow", with(band(121), [](auto& s) { s.in_band_db = 20.0; }), kNoEnvelope,
                  SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ofdm", with(band(10000), flat), kNoEnvelope, SignalClass::NONE, SignalClass::OFDM},
        ClassCase{"ofdm_needs_edges", with(band(10000), [](auto& s) { flat(s); s.edge_db = 3.9; }), kNoEnvelope,
                  SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ofdm_not_over_a_class", with(band(10000), flat), kNoEnvelope, SignalClass::AM, SignalClass::AM},
        ClassCase{"wide_without_core_fm", with(band(7000), no_core), kNoEnvelope, SignalClass::NONE, SignalClass::FM},
        ClassCase{"narrower_without_core", with(band(6999), no_core), kNoEnvelope, SignalClass::NONE, SignalClass::NONE},
        ClassCase{"wide_with_carrier_line", band(9000), kNoEnvelope, SignalClass::NONE, SignalClass::NONE},
        ClassCase{"wide_core_lopsided_fm", with(band(9000), [](auto& s) { s.symmetry = 0.6; s.centre_peak_db = 9.9; }),
                  kNoEnvelope, SignalClass::NONE, SignalClass::FM},
        // Weak against its surroundings but peaked: a wide FM signal among others.
        ClassCase{"weak_wide_fm", with(band(8000), [](auto& s) { s.in_band_db = 1.0; s.peak_db = 3.0; s.core_db = 3.0; s.centre_peak_db = 5.0; }),
                  kNoEnvelope, SignalClass::NONE, SignalClass::FM},
        ClassCase{"weak_wide_core_with_carrier", with(band(8000), [](auto& s) { s.in_band_db = 1.0; s.peak_db = 3.0; }),
                  kNoEnvelope, SignalClass::NONE, SignalClass::NONE},
        ClassCase{"weak_narrow", with(band(100), [](auto& s) { s.in_band_db = 1.0; s.peak_db = 3.0; s.centre_peak_db = 5.0; }),
                  kNoEnvelope, SignalClass::NONE, SignalClass::NONE}),
    [](const auto& info) { return info.param.name; });

INSTANTIATE_TEST_SUITE_P(
    SpectrumAndEnvelope, ClassTree,
    ::testing::Values(
        ClassCase{"noise", with(band(3000), noise_band), envelope(2.0, 0.52, 3.9), SignalClass::CW, SignalClass::NOISE},
        ClassCase{"noise_kurtosis_too_low", with(band(3000), noise_band), envelope(1.7, 0.52, 3.9), SignalClass::NONE, SignalClass::AM},
        ClassCase{"noise_kurtosis_too_high", with(band(3000), noise_band), envelope(2.3, 0.52, 3.9), SignalClass::NONE, SignalClass::AM},
        ClassCase{"noise_with_contrast", with(band(3000), [](auto& s) { s.in_band_db = 2.5; s.peak_db = 2.4; }),
                  envelope(2.0, 0.52), SignalClass::NONE, SignalClass::AM},
        ClassCase{"carrier", band(120), envelope(1.0, 0.02), SignalClass::NONE, SignalClass::CARRIER},
        ClassCase{"carrier_too_wide", band(121), envelope(1.0, 0.02), SignalClass::CARRIER, SignalClass::NONE},
        // Keyed and narrow is CW even with a strong in-band contrast.
        ClassCase{"cw", with(band(100), [](auto& s) { s.in_band_db = 20.0; }), envelope(1.6, 0.9, 4.0, true),
                  SignalClass::NONE, SignalClass::CW},
        ClassCase{"cw_too_wide", with(band(600), no_core), envelope(1.6, 0.9, 4.0, true), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ofdm", with(band(10000), flat), envelope(1.8, 0.5, 5.9), SignalClass::NONE, SignalClass::OFDM},
        ClassCase{"ofdm_with_keying_line", with(band(10000), [](auto& s) { flat(s); s.core_db = 3.0; }),
                  envelope(1.8, 0.5, 6.0), SignalClass::NONE, SignalClass::PSK},
        ClassCase{"ofdm_constant_envelope", with(band(10000), [](auto& s) { flat(s); s.core_db = 3.0; s.centre_peak_db = 5.0; }),
                  envelope(1.7, 0.2), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"fm", with(band(7000), no_core), envelope(1.4, 0.29), SignalClass::NONE, SignalClass::FM},
        ClassCase{"fm_kurtosis", with(band(7000), no_core), envelope(1.41, 0.29), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"fm_variation", with(band(7000), no_core), envelope(1.4, 0.3), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"fm_needs_width", with(band(6999), no_core), envelope(1.4, 0.29), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"wide_with_carrier_not_fm", with(band(7000), [](auto& s) { s.core_db = 5.0; }), envelope(1.0, 0.05),
                  SignalClass::NONE, SignalClass::NONE},
        ClassCase{"wide_keyed_psk", with(band(9000), no_core), envelope(1.5, 0.4, 4.0), SignalClass::NONE, SignalClass::PSK},
        ClassCase{"wide_on_off", with(band(9000), no_core), envelope(2.5, 0.4, 4.0, true), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"psk", with(band(151), no_core), envelope(1.5, 0.4, 4.0), SignalClass::NONE, SignalClass::PSK},
        ClassCase{"psk_too_narrow", with(band(150), no_core), envelope(1.5, 0.4, 4.0), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"psk_weak_line", with(band(300), no_core), envelope(1.5, 0.4, 3.9), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ssb", with(band(2000), no_core), envelope(2.4, 0.6), SignalClass::NONE, SignalClass::SSB},
        ClassCase{"ssb_widest", with(band(3400), no_core), envelope(3.0, 0.6), SignalClass::NONE, SignalClass::SSB},
        ClassCase{"ssb_too_wide", with(band(3401), no_core), envelope(3.0, 0.6), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ssb_too_narrow", with(band(1999), no_core), envelope(3.0, 0.6), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ssb_kurtosis", with(band(2500), no_core), envelope(2.39, 0.6), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"ssb_has_no_carrier", with(band(2500), [](auto& s) { s.core_db = 5.0; s.centre_peak_db = 10.0; }),
                  envelope(3.0, 0.6), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"am", band(6000), envelope(1.1, 0.1), SignalClass::NONE, SignalClass::AM},
        ClassCase{"am_needs_variation", band(6000), envelope(1.1, 0.09), SignalClass::NONE, SignalClass::NONE},
        ClassCase{"am_needs_symmetry", with(band(6000), [](auto& s) { s.symmetry = 0.6; }), envelope(1.5, 0.3),
                  SignalClass::NONE, SignalClass::NONE},
        ClassCase{"am_needs_centre_peak", with(band(6000), [](auto& s) { s.centre_peak_db = 9.9; }), envelope(1.5, 0.3),
                  SignalClass::NONE, SignalClass::NONE},
        ClassCase{"narrow_with_carrier_psk", band(599), envelope(1.5, 0.3, 4.0), SignalClass::NONE, SignalClass::PSK},
        ClassCase{"steady_with_carrier_psk", band(3000), envelope(1.0, 0.05, 4.0), SignalClass::NONE, SignalClass::PSK},
        ClassCase{"steady_with_carrier", band(3000), envelope(1.0, 0.05), SignalClass::AM, SignalClass::NONE},
        ClassCase{"wide_steady_with_carrier_psk", band(9000), envelope(1.0, 0.05, 4.0), SignalClass::NONE, SignalClass::PSK}),
    [](const auto& info) { return info.param.name; });

}  // namespace
