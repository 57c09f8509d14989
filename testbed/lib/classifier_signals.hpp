#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/sig/mode.hpp"

// The signals the classifier is measured on: every mode and variant it names, the picture modes,
// and signals that must start no modem. One table, used by the confusion-table tool and by the
// tests that hold its rows.
namespace testbed {

enum class SignalKind {
    psk31,
    psk63,
    qpsk31,
    rtty,
    cw,
    olivia,
    wefax,
    sstv,
    noise,    // nothing but the noise
    carrier,  // a steady unmodulated carrier
    broadcast_am,
    ssb_speech,  // a voice on upper sideband, 300..2700 Hz
    am_speech,   // an AM station's carrier modulated to 80 % by a voice
};

struct SignalCase {
    std::string name;         // row name, e.g. "RTTY 45.45/170"
    SignalKind kind = SignalKind::noise;
    double centre_hz = 1500.0;
    double baud = 0.0;        // PSK and RTTY rate, CW words per minute
    double shift_hz = 0.0;    // RTTY shift
    bool mark_high = false;   // RTTY polarity
    int tones = 0;            // Olivia
    double bandwidth_hz = 0.0;  // Olivia
    int lpm = 0, ioc = 0;     // WEFAX
    std::string sstv_mode;    // SSTV
    sig::Mode expected = sig::Mode::UNKNOWN;  // the mode the classifier should name
    std::string expected_variant;             // and its variant ("" when it has none or any will do)
    double threshold_snr_db = 0.0;            // near the modem's copying threshold (2500 Hz)
};

// Every row of the table, in the order docs/classifier.md lists them.
std::vector<SignalCase> classifier_signal_cases();

// The row of this name; std::invalid_argument when there is none.
SignalCase classifier_signal_case(const std::string& name);

struct CaseAudio {
    std::vector<float> audio;  // 12000 Hz
    double signal_power = 0.0; // mean power of the burst (for the SNR); 0 for noise alone
};

// About `seconds` of the signal, as noise-free burst (no padding). For the noise row: silence.
CaseAudio signal_burst(const SignalCase& c, double seconds, std::uint64_t seed);

// The burst framed by pad_seconds of silence on each side and white noise over all of it at
// snr_db in 2500 Hz (no noise when snr_db is infinite). The noise row gets noise of the level
// a 0 dB signal of power 0.125 would have.
std::vector<float> signal_recording(const SignalCase& c, double seconds, double snr_db, std::uint64_t seed,
                                    double pad_seconds = 1.0);

}  // namespace testbed
