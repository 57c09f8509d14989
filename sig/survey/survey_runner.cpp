#include "sig/survey/survey_runner.hpp"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <functional>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

#include "core/log_line.hpp"
#include "core/sig/channel_info.hpp"
#include "core/sig/event.hpp"
#include "sig/bounded_line.hpp"
#include "sig/journal_sink.hpp"
#include "sig/reporter_sink.hpp"
#include "sig/sig_line.hpp"
#include "sig/survey/emitter_report.hpp"
#include "sig/survey/ham_band.hpp"
#include "sig/survey/survey_decimator.hpp"
#include "sig/survey/survey_engine.hpp"
#include "sig/survey/survey_report_memory.hpp"
#include "sig/survey/survey_sample_ring.hpp"

namespace sig {
namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr std::size_t kPassSamples = 32768;
constexpr std::size_t kMaxLineBytes = 500;

// Every line the survey writes, so that its status and SIG lines never interleave with each
// other however many runners live in the process.
std::mutex& survey_output_mutex()
{
    static std::mutex mutex;
    return mutex;
}

void write_survey_line(const std::string& line)
{
    std::lock_guard<std::mutex> lock(survey_output_mutex());
    log_line(line);
}

// One second of capture, within bounds that keep a slow rate's ring useful and a fast one's
// memory modest.
std::size_t ring_samples(double capture_rate)
{
    double const second = capture_rate > 0.0 ? capture_rate : 0.0;
    auto const whole = second < 4194304.0 ? static_cast<std::size_t>(second) : std::size_t{4194304};
    return std::max<std::size_t>(whole, 131072);
}

std::string make_run_id()
{
    auto const ns = std::chrono::duration_cast<std::chrono::nanoseconds>(SteadyClock::now().time_since_epoch());
    return std::to_string(::getpid()) + "-" + std::to_string(ns.count());
}

}  // namespace

struct SurveyRunner::Impl {
    explicit Impl(Config given);
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    void run();
    void pass(std::size_t count, double start_time);
    void report_block();
    void report_event(Event& event, std::uint64_t id, bool ham);
    void print_status();
    void report_error(const char* text);
    void stop();

    Config config;
    std::string run_id;
    std::int32_t decimation;
    double survey_rate;
    SurveySampleRing ring;
    SurveyDecimator decimator;
    std::unique_ptr<SurveyEngine> engine;
    ChannelInfo context;
    std::unique_ptr<JournalSink> journal;
    std::unique_ptr<ReporterSink> reporter_sink;
    SurveyReportMemory memory;
    SteadyClock::time_point last_status;
    std::atomic<bool> stop_flag{false};
    std::atomic<bool> thread_running{false};
    std::atomic<std::uint64_t> dropped{0};
    bool error_reported = false;
    std::vector<std::complex<float>> taken;
    std::vector<std::complex<float>> output;
    std::function<bool()> keep_waiting;
    std::thread thread;
};

SurveyRunner::Impl::Impl(Config given)
    : config(std::move(given)),
      run_id(make_run_id()),
      decimation(SurveyDecimator::factor_for(config.capture_rate, config.bandwidth)),
      survey_rate(config.capture_rate / decimation),
      ring(ring_samples(config.capture_rate), config.capture_rate),
      decimator(decimation)
{
    SurveyEngine::Config engine_config;
    engine_config.rate = survey_rate;
    engine_config.center_hz = config.center_hz;
    engine_config.min_snr_db = config.min_snr_db;
    engine_config.max_decoders = static_cast<std::int32_t>(config.max_decoders);
    engine_config.fft_size = 8192;
    engine_config.hop = 0;
    engine_config.confirm_hits = 5;
    engine_config.timeout_s = 2.0;
    engine_config.association_hz = 0.0;
    engine_config.image_dir = config.image_dir;
    engine = std::make_unique<SurveyEngine>(std::move(engine_config));

    context.channel = "survey";
    context.receiver = config.receiver;
    context.dial_hz = config.center_hz;
    context.usb = true;
    context.bandwidth_hz = 3000.0;
    if (!config.journal_path.empty()) {
        std::filesystem::path const parent = std::filesystem::path(config.journal_path).parent_path();
        std::error_code ignored;
        if (!parent.empty())
            std::filesystem::create_directories(parent, ignored);
        journal = std::make_unique<JournalSink>(config.journal_path);
    }
    if (config.reporter)
        reporter_sink = std::make_unique<ReporterSink>(config.reporter);

    if (config.blocking)
        keep_waiting = [this] { return thread_running.load(std::memory_order_acquire); };
    last_status = SteadyClock::now();
    thread_running.store(true, std::memory_order_release);
    try {
        thread = std::thread([this] { run(); });
    } catch (...) {
        thread_running.store(false, std::memory_order_release);
        throw;
    }
}

SurveyRunner::Impl::~Impl() { stop(); }

void SurveyRunner::Impl::stop()
{
    stop_flag.store(true, std::memory_order_release);
    if (thread.joinable())
        thread.join();
    // The reporter is shared with the decoder pool, which drains after the survey and stops it
    // then; stopping it here would throw away the pool's last spots.
    reporter_sink.reset();
    config.reporter.reset();
}

void SurveyRunner::Impl::report_error(const char* text)
{
    if (error_reported)
        return;
    error_reported = true;
    write_survey_line(std::string("survey: report error (") + text + ")");
}

void SurveyRunner::Impl::run()
{
    // Whatever ends this thread, a producer waiting for room must be let go.
    struct Running {
        std::atomic<bool>& flag;
        ~Running() { flag.store(false, std::memory_order_release); }
    } running{thread_running};

    try {
        for (;;) {
            SurveySampleRing::Pass const next = ring.take(taken, kPassSamples);
            if (next.count == 0) {
                if (next.needs_mark) {
                    std::this_thread::sleep_for(std::chrono::microseconds(200));
                    continue;
                }
                // The flag first: samples pushed before stop was asked are then in sight.
                if (stop_flag.load(std::memory_order_acquire) && ring.available() == 0)
                    break;
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            try {
                pass(next.count, next.start_time);
            } catch (const std::exception& error) {
                report_error(error.what());
            } catch (...) {
                report_error("unknown error");
            }
        }
        try {
            // The decoders' unfinished lines go out with the last report.
            engine->flush();
            report_block();
        } catch (const std::exception& error) {
            report_error(error.what());
        } catch (...) {
            report_error("unknown error");
        }
        last_status = SteadyClock::now();
        print_status();
    } catch (const std::exception& error) {
        report_error(error.what());
    } catch (...) {
        report_error("unknown error");
    }
}

void SurveyRunner::Impl::pass(std::size_t count, double start_time)
{
    const std::complex<float>* samples = taken.data();
    std::size_t n = count;
    if (decimation > 1) {
        decimator.process(taken.data(), count, output);
        samples = output.data();
        n = output.size();
    }
    if (n > 0)
        engine->process_block(samples, n, start_time);
    report_block();
    auto const now = SteadyClock::now();
    if (now - last_status > std::chrono::nanoseconds(9'999'999'999)) {
        last_status = now;
        print_status();
    }
}

void SurveyRunner::Impl::print_status()
{
    SurveyEngine::ReportCounts const counts = engine->report_counts();
    std::size_t ham = 0;
    std::size_t other = 0;
    for (const EmitterReport& report : engine->emitters())
        (report.category == 0 ? ham : other) += 1;
    char line[160];
    int used = std::snprintf(line, sizeof line, "SURVEY %s: %zu emitters (%zu ham / %zu other), %zu decoding",
                             config.receiver.empty() ? "-" : config.receiver.c_str(),
                             static_cast<std::size_t>(counts.reported), ham, other,
                             static_cast<std::size_t>(counts.decoding));
    std::uint64_t const lost = dropped.load(std::memory_order_relaxed);
    if (lost > 0 && used >= 0 && static_cast<std::size_t>(used) < sizeof line)
        std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used),
                      ", %llu IQ samples dropped (survey behind)", static_cast<unsigned long long>(lost));
    write_survey_line(line);
}

void SurveyRunner::Impl::report_event(Event& event, std::uint64_t id, bool ham)
{
    event.track = static_cast<std::uint32_t>(id & 0xFFFFFFFFu);
    write_survey_line(survey_sig_line(event, id, ham, run_id));
    if (journal)
        journal->on_event(context, event);
}

void SurveyRunner::Impl::report_block()
{
    std::vector<EmitterReport> const snapshot = engine->emitters();
    for (SurveyEmitterEvent& emitter : memory.update(snapshot))
        report_event(emitter.event, emitter.id, emitter.ham);
    for (Event& event : engine->take_events()) {
        bool const ham = in_ham_band(event.rf_hz);
        report_event(event, SurveyReportMemory::nearest_emitter(snapshot, event.rf_hz), ham);
        // Only call signs heard inside the amateur bands go to PSK Reporter.
        if (event.kind == EventKind::SPOT && ham && reporter_sink)
            reporter_sink->on_event(context, event);
    }
}

SurveyRunner::SurveyRunner(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

SurveyRunner::~SurveyRunner() = default;

void SurveyRunner::push(const std::complex<float>* samples, std::size_t n, double time)
{
    if (n == 0)
        return;
    std::size_t const accepted = impl_->ring.push(samples, n, time, impl_->keep_waiting);
    if (accepted < n)
        impl_->dropped.fetch_add(n - accepted, std::memory_order_relaxed);
}

void SurveyRunner::stop() { impl_->stop(); }

bool SurveyRunner::running() const { return impl_->thread.joinable(); }

std::int32_t SurveyRunner::decimation() const { return impl_->decimation; }

double SurveyRunner::survey_rate() const { return impl_->survey_rate; }

std::uint64_t SurveyRunner::dropped() const { return impl_->dropped.load(std::memory_order_relaxed); }

const std::string& SurveyRunner::run_id() const { return impl_->run_id; }

std::string survey_sig_line(const Event& event, std::uint64_t id, bool ham, const std::string& run_id)
{
    return bounded_line(event.text, kMaxLineBytes,
                        [&](std::string_view text) { return format_survey_line(event, id, ham, text, run_id); });
}

std::string survey_banner(const SurveyRunner& runner, const SurveyRunner::Config& config, bool psk_reporter_on)
{
    std::ostringstream line;
    line << "Wideband survey: capture=" << config.capture_rate << " Hz -> survey=" << runner.survey_rate()
         << " Hz (decimation " << runner.decimation() << "), center=" << config.center_hz
         << " Hz, max-decoders=" << config.max_decoders << ", min-snr=" << config.min_snr_db
         << " dB, journal=" << (config.journal_path.empty() ? std::string("off") : config.journal_path);
    if (psk_reporter_on)
        line << ", PSK Reporter spots on";
    return line.str();
}

std::string survey_off_line(double capture_rate, double bandwidth)
{
    std::ostringstream line;
    line << "Wideband survey: off for this " << capture_rate / 1e6 << " MS/s capture (it examines about "
         << bandwidth / 1e6 << " MHz around the capture centre, which is not a ham band here)";
    return line.str();
}

}  // namespace sig
