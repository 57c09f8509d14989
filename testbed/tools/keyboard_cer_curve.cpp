// Measures the RTTY and CW character error rates against SNR (noise in 2500 Hz) as markdown
// tables: the figures in docs/modems.md come from this program (what the receivers print on pure
// noise comes from modem_noise_hours).
//   keyboard_cer_curve [runs per point] [rtty|cw|all]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/character_error_rate.hpp"
#include "testbed/lib/cw_keyer.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/modem_run.hpp"
#include "testbed/lib/rtty_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

const std::string kRttyMessage = "CQ CQ DE W1AW W1AW PSE K\nTHE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789\n";
const std::string kCwMessage = "CQ CQ DE W1AW W1AW PSE K THE QUICK BROWN FOX JUMPS OVER THE LAZY DOG 0123456789 ";

constexpr double kStartHz = 1500.0;

std::unique_ptr<sig::Modem> modem(sig::Mode mode) {
    sig::Candidate candidate;
    candidate.audio_hz = kStartHz;
    return sig::make_modem(mode, candidate, {}, {});
}

double rtty_once(double baud, double shift, double offset_hz, double snr_db, unsigned seed) {
    testbed::RttySignal signal;
    signal.baud = baud;
    signal.shift_hz = shift;
    signal.centre_hz = kStartHz + offset_hz;
    signal.mark_high = seed % 2 == 0;
    signal.phase_rad = 0.7 * seed;
    const auto burst = testbed::modulate_rtty_text(kRttyMessage, signal);
    const auto audio = testbed::noisy_transmission(burst, testbed::mean_power(burst), snr_db, seed);
    return testbed::character_error_rate(kRttyMessage, testbed::run_modem(*modem(sig::Mode::RTTY), audio).text);
}

double cw_once(double wpm, double jitter, double snr_db, unsigned seed) {
    testbed::CwKeying keying;
    keying.wpm = wpm;
    keying.jitter = jitter;
    keying.seed = seed;
    keying.tone_hz = kStartHz;
    const auto burst = testbed::key_text(kCwMessage, keying);
    const double key_down_power = keying.amplitude * keying.amplitude / 2.0;
    const auto audio = testbed::noisy_transmission(burst, key_down_power, snr_db, seed);
    return testbed::character_error_rate(kCwMessage, testbed::run_modem(*modem(sig::Mode::CW), audio).text);
}

template <typename Run>
void row(const std::vector<double>& snrs, int runs, Run run) {
    for (const double snr : snrs) {
        double total = 0.0;
        for (int seed = 1; seed <= runs; ++seed) total += run(snr, static_cast<unsigned>(seed));
        std::printf(" %.3f |", total / runs);
    }
    std::printf("\n");
    std::fflush(stdout);
}

void header(const char* first, const std::vector<double>& snrs) {
    std::printf("| %s |", first);
    for (const double snr : snrs) std::printf(" %+.0f dB |", snr);
    std::printf("\n|---|");
    for (std::size_t k = 0; k < snrs.size(); ++k) std::printf("---|");
    std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 10);
    const std::string which = argc > 2 ? argv[2] : "all";

    if (which == "rtty" || which == "all") {
        const std::vector<double> snrs = {10, 5, 3, 0, -2, -3, -4, -5, -6};
        header("RTTY rate/shift", snrs);
        for (const double shift : {170.0, 450.0, 850.0})
            for (const double baud : {45.45, 50.0, 75.0}) {
                std::printf("| %g/%g |", baud, shift);
                row(snrs, runs, [&](double snr, unsigned seed) { return rtty_once(baud, shift, 0.0, snr, seed); });
            }
        std::printf("| 45.45/170, 15 Hz off |");
        row(snrs, runs, [&](double snr, unsigned seed) { return rtty_once(45.45, 170.0, 15.0, snr, seed); });
        std::printf("\n");
    }
    if (which == "cw" || which == "all") {
        const std::vector<double> snrs = {10, 5, 3, 2, 1, 0, -1, -2, -3, -6};
        header("CW WPM (jitter)", snrs);
        for (const double wpm : {5.0, 12.0, 20.0, 30.0, 45.0}) {
            std::printf("| %g |", wpm);
            row(snrs, runs, [&](double snr, unsigned seed) { return cw_once(wpm, 0.0, snr, seed); });
        }
        std::printf("| 20 (10 %%) |");
        row(snrs, runs, [&](double snr, unsigned seed) { return cw_once(20.0, 0.1, snr, seed); });
        std::printf("\n");
    }
    return 0;
}
