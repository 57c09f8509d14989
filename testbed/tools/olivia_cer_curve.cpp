// Measures the Olivia character error rate of every accepted variant against SNR (noise in
// 2500 Hz), and what the receiver prints on pure noise, as markdown tables: the figures in
// docs/modems.md come from this program.
//   olivia_cer_curve [runs per point] [threads] [minutes of noise per variant]
#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"
#include "testbed/lib/character_error_rate.hpp"
#include "testbed/lib/keyboard_transmission.hpp"
#include "testbed/lib/modem_run.hpp"
#include "testbed/lib/olivia_modulator.hpp"
#include "testbed/lib/test_signal.hpp"

namespace {

const std::string kMessage = "CQ CQ DE W1AW W1AW PSE K\nthe quick brown fox jumps over the lazy dog 0123456789\n";
constexpr double kStartHz = 1500.0;

struct Variant {
    int tones;
    int bandwidth_hz;
};

const Variant kVariants[] = {{4, 125},  {8, 125},  {4, 250},   {8, 250},   {4, 500},   {8, 500},
                             {16, 500}, {64, 500}, {4, 1000},  {8, 1000},  {16, 1000}, {32, 1000},
                             {64, 1000}, {4, 2000}, {8, 2000}, {16, 2000}, {32, 2000}, {64, 2000}};
const double kSnrs[] = {-4, -6, -8, -10, -11, -12, -13, -14, -15, -16, -18, -20};

std::unique_ptr<sig::Modem> modem_for(const Variant& v) {
    sig::Candidate candidate;
    candidate.audio_hz = kStartHz;
    candidate.variant = std::to_string(v.tones) + "/" + std::to_string(v.bandwidth_hz);
    return sig::make_modem(sig::Mode::OLIVIA, candidate, {}, {});
}

double run_once(const Variant& v, double snr_db, unsigned seed) {
    testbed::OliviaSignal signal;
    signal.tones = v.tones;
    signal.bandwidth_hz = v.bandwidth_hz;
    signal.centre_hz = kStartHz;
    signal.phase_rad = 0.7 * seed;
    const auto burst = testbed::modulate_olivia_text(kMessage, signal);
    const auto audio = testbed::noisy_transmission(burst, testbed::mean_power(burst), snr_db, seed);
    return testbed::character_error_rate(kMessage, testbed::run_modem(*modem_for(v), audio).text);
}

// Runs job(0 .. count-1) on the given number of threads.
template <typename Job>
void parallel(std::size_t count, int threads, Job job) {
    std::atomic<std::size_t> next{0};
    std::vector<std::thread> pool;
    for (int k = 0; k < threads; ++k)
        pool.emplace_back([&] {
            for (std::size_t i = next++; i < count; i = next++) job(i);
        });
    for (auto& thread : pool) thread.join();
}

}  // namespace

int main(int argc, char** argv) {
    const int runs = std::max(1, argc > 1 ? std::atoi(argv[1]) : 10);
    const int threads = std::max(1, argc > 2 ? std::atoi(argv[2]) : 4);
    const double noise_minutes = argc > 3 ? std::atof(argv[3]) : 10.0;
    const std::size_t variants = std::size(kVariants);
    const std::size_t snrs = std::size(kSnrs);

    std::vector<double> cer(variants * snrs * static_cast<std::size_t>(runs));
    parallel(cer.size(), threads, [&](std::size_t i) {
        const std::size_t seed = i % static_cast<std::size_t>(runs);
        const std::size_t snr = (i / static_cast<std::size_t>(runs)) % snrs;
        const std::size_t variant = i / static_cast<std::size_t>(runs) / snrs;
        cer[i] = run_once(kVariants[variant], kSnrs[snr], static_cast<unsigned>(seed + 1));
    });

    std::printf("| variant |");
    for (const double snr : kSnrs) std::printf(" %+.0f dB |", snr);
    std::printf("\n|---|");
    for (std::size_t k = 0; k < snrs; ++k) std::printf("---|");
    std::printf("\n");
    for (std::size_t v = 0; v < variants; ++v) {
        std::printf("| %d/%d |", kVariants[v].tones, kVariants[v].bandwidth_hz);
        for (std::size_t s = 0; s < snrs; ++s) {
            double total = 0.0;
            for (int r = 0; r < runs; ++r) total += cer[(v * snrs + s) * static_cast<std::size_t>(runs) + static_cast<std::size_t>(r)];
            std::printf(" %.3f |", total / runs);
        }
        std::printf("\n");
    }

    if (noise_minutes > 0.0) {
        std::vector<std::size_t> printed(variants);
        const auto samples = static_cast<std::size_t>(noise_minutes * 60.0 * 12000.0);
        parallel(variants, threads, [&](std::size_t v) {
            const auto noise = testbed::white_noise(samples, 0.1, 99);
            printed[v] = testbed::run_modem(*modem_for(kVariants[v]), noise).text.size();
        });
        std::printf("\n| variant | characters printed in %.0f minutes of white noise |\n|---|---|\n", noise_minutes);
        for (std::size_t v = 0; v < variants; ++v)
            std::printf("| %d/%d | %zu |\n", kVariants[v].tones, kVariants[v].bandwidth_hz, printed[v]);
    }
    return 0;
}
