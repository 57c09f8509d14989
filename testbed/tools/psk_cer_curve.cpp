// Measures the PSK31/PSK63 character error rate against SNR (noise in 2500 Hz) as a markdown
// table: the figures in docs/modems.md come from this program (what the receivers print on pure
// noise comes from modem_noise_hours).
//   psk_cer_curve [runs per point]
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/character_error_rate.hpp"
#include "testbed/lib/modem_run.hpp"
#include "testbed/lib/psk_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

const std::string kMessage = "CQ CQ DE W1AW W1AW PSE K\nthe quick brown fox jumps over the lazy dog 0123456789\n";

double run_once(sig::Mode mode, double offset_hz, double snr_db, unsigned seed) {
    testbed::PskSignal signal;
    signal.baud = mode == sig::Mode::PSK31 ? 31.25 : 62.5;
    signal.carrier_hz = 1000.0 + offset_hz;
    signal.phase_rad = 0.7 * seed;
    const std::vector<float> burst = testbed::modulate_psk_text(kMessage, signal);
    const double power = testbed::mean_power(burst);
    std::vector<float> audio =
        testbed::concatenate(testbed::concatenate(testbed::silence(1.0), burst), testbed::silence(1.0));
    testbed::add_white_noise(audio, testbed::noise_rms_for_snr(power, snr_db), seed);
    sig::Candidate candidate;
    candidate.audio_hz = 1000.0;
    const auto modem = sig::make_modem(mode, candidate, {}, {});
    return testbed::character_error_rate(kMessage, testbed::run_modem(*modem, audio).text);
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 10);
    const double snrs[] = {10, 5, 0, -3, -5, -7, -8, -9, -10, -11, -12, -14};
    const double offsets[] = {0.0, 4.0};
    std::printf("| mode | tuning error Hz |");
    for (const double snr : snrs) std::printf(" %+.0f dB |", snr);
    std::printf("\n|---|---|");
    for (std::size_t k = 0; k < std::size(snrs); ++k) std::printf("---|");
    std::printf("\n");
    for (const sig::Mode mode : {sig::Mode::PSK31, sig::Mode::PSK63}) {
        for (const double offset : offsets) {
            std::printf("| %s | %.0f |", sig::mode_name(mode), offset);
            for (const double snr : snrs) {
                double total = 0.0;
                for (int seed = 1; seed <= runs; ++seed) total += run_once(mode, offset, snr, static_cast<unsigned>(seed));
                std::printf(" %.3f |", total / runs);
            }
            std::printf("\n");
            std::fflush(stdout);
        }
    }
    return 0;
}
