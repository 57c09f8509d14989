#include "testbed/lib/classifier_signals.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

#include "testbed/lib/broadcast_am.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/olivia_modulator.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/speech_like.hpp"
#include "testbed/lib/sstv_modulator.hpp"
#include "testbed/lib/test_signal.hpp"
#include "testbed/lib/wefax_modulator.hpp"

namespace testbed {
namespace {

const std::string kText = "CQ CQ DE W1AW W1AW PSE K  THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789  ";

SignalCase psk(const std::string& name, SignalKind kind, double baud, sig::Mode mode, double threshold) {
    SignalCase c;
    c.name = name;
    c.kind = kind;
    c.centre_hz = 1000.0;
    c.baud = baud;
    c.expected = mode;
    c.threshold_snr_db = threshold;
    return c;
}

SignalCase rtty(double baud, double shift, bool mark_high, double threshold) {
    SignalCase c;
    char text[64];
    std::snprintf(text, sizeof text, "RTTY %g/%g%s", baud, shift, mark_high ? " inverted" : "");
    c.name = text;
    c.kind = SignalKind::rtty;
    c.centre_hz = 1500.0;
    c.baud = baud;
    c.shift_hz = shift;
    c.mark_high = mark_high;
    c.expected = sig::Mode::RTTY;
    std::snprintf(text, sizeof text, "%s/%g", baud == 45.45 ? "45.45" : baud == 50.0 ? "50" : "75", shift);
    c.expected_variant = text;
    c.threshold_snr_db = threshold;
    return c;
}

SignalCase cw(double wpm) {
    SignalCase c;
    c.name = "CW " + std::to_string(static_cast<int>(wpm)) + " WPM";
    c.kind = SignalKind::cw;
    c.centre_hz = 700.0;
    c.baud = wpm;
    c.expected = sig::Mode::CW;
    c.threshold_snr_db = 1.0;
    return c;
}

SignalCase olivia(int tones, double bandwidth, double centre, double threshold) {
    SignalCase c;
    c.name = "OLIVIA " + std::to_string(tones) + "/" + std::to_string(static_cast<int>(bandwidth));
    c.kind = SignalKind::olivia;
    c.centre_hz = centre;
    c.tones = tones;
    c.bandwidth_hz = bandwidth;
    c.expected = sig::Mode::OLIVIA;
    c.expected_variant = std::to_string(tones) + "/" + std::to_string(static_cast<int>(bandwidth));
    c.threshold_snr_db = threshold;
    return c;
}

SignalCase wefax(int lpm, int ioc) {
    SignalCase c;
    c.name = "WEFAX " + std::to_string(lpm) + "/" + std::to_string(ioc);
    c.kind = SignalKind::wefax;
    c.centre_hz = 1900.0;
    c.lpm = lpm;
    c.ioc = ioc;
    c.expected = sig::Mode::WEFAX;
    c.threshold_snr_db = 10.0;
    return c;
}

SignalCase sstv(const std::string& mode) {
    SignalCase c;
    c.name = "SSTV " + mode;
    c.kind = SignalKind::sstv;
    c.centre_hz = 1900.0;
    c.sstv_mode = mode;
    c.expected = sig::Mode::UNKNOWN;  // the classifier does not name SSTV
    c.threshold_snr_db = 10.0;
    return c;
}

SignalCase quiet(const std::string& name, SignalKind kind, double weaker_snr_db = 0.0) {
    SignalCase c;
    c.name = name;
    c.kind = kind;
    c.centre_hz = 1500.0;
    c.expected = sig::Mode::UNKNOWN;
    c.threshold_snr_db = weaker_snr_db;
    return c;
}

// Text repeated until the signal lasts at least `seconds`.
template <typename Make>
std::vector<float> long_enough(double seconds, Make make) {
    std::string text = kText;
    for (;;) {
        std::vector<float> audio = make(text);
        if (static_cast<double>(audio.size()) >= seconds * 12000.0) {
            audio.resize(static_cast<std::size_t>(seconds * 12000.0));
            return audio;
        }
        text += kText;
    }
}

}  // namespace

std::vector<SignalCase> classifier_signal_cases() {
    std::vector<SignalCase> cases;
    cases.push_back(psk("PSK31", SignalKind::psk31, 31.25, sig::Mode::PSK31, -8.0));
    cases.push_back(psk("PSK63", SignalKind::psk63, 62.5, sig::Mode::PSK63, -5.0));
    cases.push_back(psk("QPSK31", SignalKind::qpsk31, 31.25, sig::Mode::QPSK31, -5.0));
    cases.push_back(rtty(45.45, 170.0, false, -2.0));
    cases.push_back(rtty(45.45, 170.0, true, -2.0));
    cases.push_back(rtty(50.0, 170.0, false, -2.0));
    cases.push_back(rtty(75.0, 170.0, false, 0.0));
    cases.push_back(rtty(45.45, 450.0, false, -2.0));
    cases.push_back(rtty(50.0, 450.0, false, -2.0));
    cases.push_back(rtty(75.0, 450.0, true, 0.0));
    cases.push_back(rtty(45.45, 850.0, false, -2.0));
    cases.push_back(rtty(50.0, 850.0, true, -2.0));
    cases.push_back(rtty(75.0, 850.0, false, 0.0));
    cases.push_back(cw(5.0));
    cases.push_back(cw(12.0));
    cases.push_back(cw(20.0));
    cases.push_back(cw(30.0));
    cases.push_back(cw(40.0));
    cases.push_back(olivia(4, 125.0, 1500.0, -16.0));
    cases.push_back(olivia(8, 250.0, 1500.0, -15.0));
    cases.push_back(olivia(8, 500.0, 1500.0, -12.0));
    cases.push_back(olivia(16, 500.0, 1500.0, -13.0));
    cases.push_back(olivia(32, 1000.0, 1500.0, -13.0));
    cases.push_back(olivia(64, 2000.0, 1500.0, -12.0));
    cases.push_back(wefax(120, 576));
    cases.push_back(wefax(60, 576));
    cases.push_back(wefax(120, 288));
    cases.push_back(sstv("M1"));
    cases.push_back(sstv("S1"));
    cases.push_back(sstv("PD90"));
    cases.push_back(quiet("noise", SignalKind::noise));
    cases.push_back(quiet("carrier", SignalKind::carrier));
    cases.push_back(quiet("AM broadcast", SignalKind::broadcast_am));
    cases.push_back(quiet("SSB speech", SignalKind::ssb_speech, 6.0));
    cases.push_back(quiet("AM speech", SignalKind::am_speech, 6.0));
    return cases;
}

SignalCase classifier_signal_case(const std::string& name) {
    for (SignalCase& c : classifier_signal_cases())
        if (c.name == name) return c;
    throw std::invalid_argument("no classifier signal named " + name);
}

CaseAudio signal_burst(const SignalCase& c, double seconds, std::uint64_t seed) {
    CaseAudio out;
    const double phase = 0.37 * static_cast<double>(seed);
    switch (c.kind) {
    case SignalKind::psk31:
    case SignalKind::psk63:
    case SignalKind::qpsk31: {
        PskSignal s;
        s.baud = c.baud;
        s.carrier_hz = c.centre_hz;
        s.phase_rad = phase;
        out.audio = long_enough(seconds, [&](const std::string& text) {
            // A short idle: the classifier must name the signal from its text, not from the reversals.
            return c.kind == SignalKind::qpsk31 ? modulate_qpsk_text(text, s, 16) : modulate_psk_text(text, s, 16);
        });
        break;
    }
    case SignalKind::rtty: {
        RttySignal s;
        s.baud = c.baud;
        s.shift_hz = c.shift_hz;
        s.centre_hz = c.centre_hz;
        s.mark_high = c.mark_high;
        s.phase_rad = phase;
        out.audio = long_enough(seconds, [&](const std::string& text) { return modulate_rtty_text(text, s, 10.0); });
        break;
    }
    case SignalKind::cw: {
        CwKeying k;
        k.wpm = c.baud;
        k.tone_hz = c.centre_hz;
        k.seed = seed;
        out.audio = long_enough(seconds, [&](const std::string& text) { return key_text(text, k); });
        // The power of the key-down tone, as CW SNRs are quoted.
        out.signal_power = k.amplitude * k.amplitude / 2.0;
        break;
    }
    case SignalKind::olivia: {
        OliviaSignal s;
        s.tones = c.tones;
        s.bandwidth_hz = c.bandwidth_hz;
        s.centre_hz = c.centre_hz;
        s.phase_rad = phase;
        out.audio = long_enough(seconds, [&](const std::string& text) { return modulate_olivia_text(text, s); });
        break;
    }
    case SignalKind::wefax: {
        WefaxTransmission t;
        t.lpm = c.lpm;
        t.ioc = c.ioc;
        t.centre_hz = c.centre_hz;
        t.start_tone_s = 5.0;
        t.phasing_s = 5.0;
        const double line_s = 60.0 / c.lpm;
        const int lines = std::max(4, static_cast<int>((seconds - 10.0) / line_s));
        out.audio = modulate_wefax(wefax_test_chart(wefax_width(c.ioc), lines), t);
        if (out.audio.size() > static_cast<std::size_t>(seconds * 12000.0))
            out.audio.resize(static_cast<std::size_t>(seconds * 12000.0));
        break;
    }
    case SignalKind::sstv: {
        const SstvGeometry g = sstv_geometry(c.sstv_mode);
        out.audio = modulate_sstv(c.sstv_mode, sstv_test_picture(g.width, g.height), SstvTransmitter{});
        if (out.audio.size() > static_cast<std::size_t>(seconds * 12000.0))
            out.audio.resize(static_cast<std::size_t>(seconds * 12000.0));
        break;
    }
    case SignalKind::noise:
        out.audio = silence(seconds);
        out.signal_power = 0.125;
        return out;
    case SignalKind::carrier: {
        out.audio.resize(static_cast<std::size_t>(seconds * 12000.0));
        for (std::size_t n = 0; n < out.audio.size(); ++n)
            out.audio[n] = static_cast<float>(0.5 * std::cos(2.0 * 3.141592653589793 * c.centre_hz * n / 12000.0 + phase));
        break;
    }
    case SignalKind::broadcast_am: {
        BroadcastAm am;
        am.carrier_hz = c.centre_hz;
        am.seed = seed;
        out.audio = broadcast_am(seconds, am);
        break;
    }
    case SignalKind::ssb_speech: {
        SpeechLike voice;
        voice.seed = seed;
        out.audio = speech_like(seconds, voice);
        break;
    }
    case SignalKind::am_speech: {
        // The programme fills the channel on both sides of the carrier.
        SpeechLike voice;
        voice.low_hz = 100.0;
        voice.high_hz = 1400.0;
        voice.seed = seed;
        BroadcastAm am;
        am.carrier_hz = c.centre_hz;
        am.depth = 0.8;
        out.audio = amplitude_modulate(speech_like(seconds, voice), am);
        break;
    }
    }
    if (out.signal_power == 0.0) out.signal_power = mean_power(out.audio);
    return out;
}

std::vector<float> signal_recording(const SignalCase& c, double seconds, double snr_db, std::uint64_t seed,
                                    double pad_seconds) {
    const CaseAudio burst = signal_burst(c, seconds, seed);
    return noisy_transmission(burst.audio, burst.signal_power, snr_db, seed * 7919 + 13, pad_seconds);
}

}  // namespace testbed
