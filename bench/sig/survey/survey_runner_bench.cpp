// The wideband survey's cost per second of capture: the runner's ring, decimation, detection,
// extraction, classification and the decoders of its strongest emitters, on one second of
// noise holding 0, 16 or 40 emitters (carriers, keyed carriers and PSK-like phase reversals,
// 20 kHz apart). The runner replays it blocking, as an IQ file replay does, second after
// second; the survey thread's CPU time is the process's less this thread's own.
#include <benchmark/benchmark.h>

#include <time.h>

#include <cmath>
#include <complex>
#include <cstdio>
#include <numbers>
#include <random>
#include <vector>

#include "sig/survey/survey_runner.hpp"

namespace {

double cpu_seconds(clockid_t clock)
{
    timespec now{};
    ::clock_gettime(clock, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

std::vector<std::complex<float>> capture_second(double rate_hz, int emitters)
{
    auto const n = static_cast<std::size_t>(rate_hz);
    std::vector<std::complex<float>> iq(n);
    std::mt19937 random(3);
    std::normal_distribution<float> gauss(0.0f, 0.002f);
    for (auto& s : iq)
        s = {gauss(random), gauss(random)};
    for (int e = 0; e < emitters; ++e) {
        double const offset = -400000.0 + 20000.0 * e;
        double const step = 2 * std::numbers::pi * offset / rate_hz;
        int const kind = e % 3;  // carrier, keyed carrier (about 12 WPM dots), phase reversals at 31.25 Bd
        double phase = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            double const t = static_cast<double>(i) / rate_hz;
            float amplitude = 0.02f;
            if (kind == 1 && std::fmod(t, 0.2) >= 0.1)
                amplitude = 0.0f;
            double flip = 0.0;
            if (kind == 2 && (static_cast<int>(t * 31.25) * 7919 % 3) == 0)
                flip = std::numbers::pi;
            iq[i] += std::polar(amplitude, static_cast<float>(phase + flip));
            phase = std::fmod(phase + step, 2 * std::numbers::pi);
        }
    }
    return iq;
}

void BM_Survey(benchmark::State& state)
{
    double const rate = static_cast<double>(state.range(0));
    int const emitters = static_cast<int>(state.range(1));
    std::vector<std::complex<float>> const second = capture_second(rate, emitters);

    // Lines of the survey go to the benchmark's standard error; send them nowhere.
    std::FILE* const quiet = std::freopen("/dev/null", "w", stderr);
    (void)quiet;
    sig::SurveyRunner::Config config;
    config.capture_rate = rate;
    config.center_hz = 14000000;
    config.max_decoders = 16;
    config.journal_path = "";
    config.blocking = true;
    sig::SurveyRunner runner(config);
    double utc = 1800000000.0;
    std::size_t const block = 16384;
    auto push_second = [&] {
        for (std::size_t at = 0; at < second.size(); at += block) {
            std::size_t const k = std::min(block, second.size() - at);
            runner.push(second.data() + at, k, utc + static_cast<double>(at) / rate);
        }
        utc += 1.0;
    };
    // Warm up past detection and confirmation, so decoders run while measured.
    for (int i = 0; i < 3; ++i)
        push_second();

    double const process_start = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    double const own_start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    std::int64_t seconds = 0;
    for (auto _ : state) {
        push_second();
        ++seconds;
    }
    runner.stop();
    double const survey_cpu = (cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - process_start)
                              - (cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - own_start);
    state.counters["survey_cpu_s_per_capture_s"] = survey_cpu / static_cast<double>(seconds);
    state.counters["capture_s"] = static_cast<double>(seconds);
    state.SetItemsProcessed(seconds * static_cast<std::int64_t>(second.size()));
}

BENCHMARK(BM_Survey)
    ->ArgsProduct({{2000000, 10000000}, {0, 16, 40}})
    ->ArgNames({"rate", "emitters"})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(5.0);

}  // namespace
