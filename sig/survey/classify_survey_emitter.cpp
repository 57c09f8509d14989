#include "sig/survey/classify_survey_emitter.hpp"

namespace sig {
namespace {

constexpr double kCarrierHz = 120.0;    // at most this wide a steady signal is a carrier
constexpr double kKeyedHz = 600.0;      // narrower keyed signals are CW
constexpr double kWideHz = 7000.0;      // from this width a constant envelope is broadcast FM
constexpr double kVoiceMinHz = 2000.0;  // single-sideband voice lies between these widths
constexpr double kVoiceMaxHz = 3400.0;
constexpr double kFlatContrastDb = 2.5;  // below this in-band and peak contrast: noise
constexpr double kLineRatio = 4.0;       // a keying line at least this far over its neighbours

struct Measures {
    const SurveyBandStats& s;
    const SurveyEnvelopeFeatures& f;
    double bw() const { return s.bandwidth_hz; }
    bool keying_line() const { return f.keying_peak_ratio >= kLineRatio; }
    bool sharp_centre() const { return s.centre_peak_db >= 10.0; }
    bool flat_with_steep_edges() const { return s.flatness >= 0.5 && s.in_band_db >= 5.0 && s.edge_db >= 4.0; }
};

// I: speech on one sideband: a peaky envelope, no carrier, voice width.
SignalClass voice_or_none(const Measures& m) {
    if (m.bw() <= kVoiceMaxHz && m.f.kurtosis >= 2.4 && !m.sharp_centre()) return SignalClass::SSB;
    return SignalClass::NONE;
}

// H: only a signal of voice width may still be SSB.
SignalClass wide_enough_for_voice(const Measures& m) {
    return m.bw() >= kVoiceMinHz ? voice_or_none(m) : SignalClass::NONE;
}

// D: a wide signal: FM when its envelope is constant and it has no carrier line.
SignalClass wide_signal(const Measures& m) {
    if (m.f.kurtosis <= 1.4 && m.f.variation < 0.3 && !m.sharp_centre()) return SignalClass::FM;
    if (!m.keying_line()) return wide_enough_for_voice(m);
    if (!m.f.on_off_keyed) return SignalClass::PSK;
    return voice_or_none(m);
}

// E: a narrower signal: PSK when it carries a keying line without on/off keying.
SignalClass narrow_signal(const Measures& m) {
    if (m.keying_line() && !m.f.on_off_keyed) return m.bw() > 150.0 ? SignalClass::PSK : SignalClass::NONE;
    return wide_enough_for_voice(m);
}

SignalClass wide_or_narrow(const Measures& m) { return m.bw() >= kWideHz ? wide_signal(m) : narrow_signal(m); }

// Both measurements present.
SignalClass from_spectrum_and_envelope(const Measures& m) {
    const auto& s = m.s;
    const auto& f = m.f;
    if (!f.on_off_keyed && !m.keying_line() && f.kurtosis > 1.7 && f.kurtosis < 2.3 && s.in_band_db < kFlatContrastDb &&
        s.peak_db < kFlatContrastDb)
        return SignalClass::NOISE;
    if (!f.on_off_keyed && m.bw() <= kCarrierHz && s.in_band_db >= 12.0) return SignalClass::CARRIER;
    if (f.on_off_keyed && m.keying_line() && m.bw() < kKeyedHz) return SignalClass::CW;
    if (m.flat_with_steep_edges() && f.kurtosis > 1.7 && f.keying_peak_ratio < 6.0) return SignalClass::OFDM;
    if (s.core_db < 6.0) return wide_or_narrow(m);
    if (!m.sharp_centre() || s.symmetry <= 0.6) return wide_or_narrow(m);
    if (m.bw() < kKeyedHz) return narrow_signal(m);
    if (f.variation >= 0.1 && f.kurtosis >= 1.1) return SignalClass::AM;
    if (m.bw() >= kWideHz) return wide_signal(m);
    if (m.keying_line() && !f.on_off_keyed) return SignalClass::PSK;
    return wide_enough_for_voice(m);
}

// The spectrum alone; NONE means "leave the class as it is".
SignalClass from_spectrum(const SurveyBandStats& s) {
    const double bw = s.bandwidth_hz;
    const bool fm_shape = bw >= kWideHz && s.centre_peak_db < 10.0;
    auto carrier_or_shape = [&]() -> SignalClass {  // B4 onwards
        if (s.flatness >= 0.5 && s.in_band_db >= 5.0 && s.edge_db >= 4.0) return SignalClass::OFDM;
        if (s.core_db >= 6.0) {  // B5
            if (s.centre_peak_db < 10.0 || s.symmetry <= 0.6) return fm_shape ? SignalClass::FM : SignalClass::NONE;
            return SignalClass::NONE;
        }
        return fm_shape ? SignalClass::FM : SignalClass::NONE;  // B6
    };
    if (s.in_band_db < kFlatContrastDb) {
        if (s.peak_db < kFlatContrastDb) return SignalClass::NOISE;
        if (bw <= kCarrierHz) return carrier_or_shape();
        if (s.core_db >= 6.0) {
            if (s.centre_peak_db < 10.0 || s.symmetry <= 0.6) return fm_shape ? SignalClass::FM : SignalClass::NONE;
            return SignalClass::NONE;
        }
        return fm_shape ? SignalClass::FM : SignalClass::NONE;
    }
    if (bw <= kCarrierHz && s.in_band_db >= 12.0) return SignalClass::CARRIER;
    return carrier_or_shape();
}

}  // namespace

SignalClass classify_survey_emitter(const SurveyBandStats& s, const SurveyEnvelopeFeatures& f, SignalClass current) {
    if (!s.valid) {
        if (!f.valid) return current;
        return f.keying_peak_ratio >= kLineRatio && f.on_off_keyed ? SignalClass::CW : SignalClass::NONE;
    }
    if (!f.valid) {
        const SignalClass proposed = from_spectrum(s);
        if (proposed == SignalClass::CARRIER) return proposed;
        if (current == SignalClass::NONE && proposed != SignalClass::NONE) return proposed;
        return current;
    }
    return from_spectrum_and_envelope(Measures{s, f});
}

}  // namespace sig
