#include "decode/run/decode_receiver.hpp"

#include <algorithm>
#include <complex>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/log_line.hpp"
#include "core/private_directory.hpp"
#include "core/receiver_label.hpp"
#include "core/state_directory.hpp"
#include "core/stop_flag.hpp"
#include "decode/channelizer.hpp"
#include "decode/decoder_capture.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/decoder_programs.hpp"
#include "decode/run/band_change.hpp"
#include "decode/run/decode_pipeline.hpp"
#include "decode/run/receiver_behind_line.hpp"
#include "decode/run/retune_mailbox.hpp"
#include "live/analysis_settings.hpp"
#include "live/live_audio.hpp"
#include "radio/radio.hpp"
#include "radio/sample_queue.hpp"
#include "report/psk_report_writer.hpp"
#include "report/psk_reporter.hpp"
#include "sig/survey/survey_runner.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;
using std::chrono::nanoseconds;

constexpr std::size_t replay_block_samples = 16384;
constexpr float pcm16_scale = 1.0f / 32768.0f;

void print_banner(Options const& options, double rate)
{
    std::ostringstream head;
    bool first = true;
    for (DigitalMode mode : all_digital_modes) {
        bool present = false;
        for (DecoderChannel const& channel : options.decoder_channels)
            present = present || channel.mode == mode;
        if (!present)
            continue;
        head << (first ? "" : "/") << digital_mode_name(mode);
        first = false;
    }
    head << ": " << options.decoders << " channels, " << options.workers << " workers, IQ=" << rate
         << " Hz, center=" << options.frequency << " Hz; appending to " << options.all_txt;
    log_line(head.str());
    for (std::size_t i = 0; i < options.decoder_channels.size(); ++i) {
        DecoderChannel const& channel = options.decoder_channels[i];
        std::ostringstream line;
        line << "  Decoder " << i + 1 << ": " << digital_mode_name_or_unknown(channel.mode) << ' ' << channel.frequency
             << " Hz USB, bandwidth=" << decoder_channel_width(options, channel) << " Hz";
        log_line(line.str());
    }
    log_line("Waiting for complete UTC intervals (FT8 15s, FT4 7.5s); startup and partial intervals are skipped.");
}

bool is_retune_request(std::string const& request) { return request.rfind("RADIO RETUNE ", 0) == 0; }

// Everything one decode_receiver call owns. Members are destroyed in reverse: the live audio
// first (its control thread is the only other caller into the run), then the retune handler and
// the mailbox, the capture (whose job sink reads the pool pointer) before the pool, the pool
// before the reporter.
struct DecodeRun {
    DecodeRun(Options const& given_options, Radio* receiver, SampleQueue& samples, Daemon& start_up)
        : given(given_options), radio(receiver), queue(samples), daemon(start_up)
    {
    }
    // Whatever ends the run, a control thread waiting on a band change is let go before the
    // live audio joins it.
    ~DecodeRun() { mailbox.stop(); }
    DecodeRun(DecodeRun const&) = delete;
    DecodeRun& operator=(DecodeRun const&) = delete;

    Options const& given;
    Radio* radio;
    SampleQueue& queue;
    Daemon& daemon;

    std::shared_ptr<PskReportWriter> sent_batches;
    std::shared_ptr<PskReporter> reporter;
    std::unique_ptr<DecoderPool> pool;
    double rate = 0.0;
    // The RX-888's receive engine, when it handed one out; released after the capture and the
    // live audio that registered rows in it.
    std::shared_ptr<SpectrumRows> engine;
    // Stopped before the pool drains; destroyed after the capture, before the reporter it holds
    // a share of.
    std::unique_ptr<sig::SurveyRunner> survey;
    Options options;  // private copy: the pipeline is built from it, a band change replaces it
    DecodePipelineContext pipeline;
    std::unique_ptr<DecoderCapture> capture;
    RetuneMailbox mailbox;
    std::function<std::string(std::string const&)> retune_handler;
    // Set once the handler is in place; the control thread may take requests before that.
    std::atomic<bool> retune_ready{false};
    std::unique_ptr<LiveAudio> live;

    // The RADIO hook of the live audio, on its control thread.
    std::string route_control_request(std::string const& request)
    {
        if (is_retune_request(request)) {
            if (!retune_ready.load(std::memory_order_acquire))
                throw std::bad_function_call();
            return retune_handler(request);
        }
        return radio->control(request);
    }

    void start_live_audio();
    void install_retune_handler();
    void start_survey(Options const& band);

    void rethrow_decoder_failure() const
    {
        if (pool)
            pool->rethrow_failure();
    }

    std::string status_text() const
    {
        return pool ? pool->status_line() : std::string("Audio-only wideband capture");
    }

    void replay_iq_file();
    void receive_live();
    void finish();
};

void DecodeRun::replay_iq_file()
{
    std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(std::fopen(given.iq_file.c_str(), "rb"), &std::fclose);
    if (!file)
        throw std::runtime_error("Cannot open IQ input");
    double const origin = static_cast<double>(parse_utc_timestamp(given.start_utc));
    daemon.ready();

    std::uint64_t const limit =
        given.duration > 0 ? static_cast<std::uint64_t>(given.duration * rate) : UINT64_MAX;
    std::vector<unsigned char> bytes(replay_block_samples * 4);
    IqBlock block;
    block.samples.reserve(replay_block_samples);
    std::uint64_t n = 0;
    while (stop_requested.load() == 0 && n < limit) {
        std::uint64_t const wanted = std::min<std::uint64_t>(limit - n, replay_block_samples);
        std::size_t const got = std::fread(bytes.data(), 1, wanted * 4, file.get());
        if (std::ferror(file.get()) || got % 4 != 0)
            throw std::runtime_error("Invalid PCM16 IQ input");
        if (got == 0)
            break;
        std::size_t const count = got / 4;
        block.samples.resize(count);
        for (std::size_t i = 0; i < count; ++i) {
            unsigned char const* p = bytes.data() + 4 * i;
            auto const re = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[0] | (p[1] << 8)));
            auto const im = static_cast<std::int16_t>(static_cast<std::uint16_t>(p[2] | (p[3] << 8)));
            block.samples[i] = {static_cast<float>(re) * pcm16_scale, static_cast<float>(im) * pcm16_scale};
        }
        double const t = origin + static_cast<double>(n) / rate;
        capture->push_block(block, t);
        n += count;
        if (survey)
            survey->push(block.samples.data(), block.samples.size(), t);
        rethrow_decoder_failure();
    }
}

void DecodeRun::start_live_audio()
{
    if (given.audio_control.empty() && given.audio_channels.empty() && given.analysis_channels.empty())
        return;
    LiveAudio::RadioHook hook;
    if (radio != nullptr)
        hook = [this](std::string const& request) { return route_control_request(request); };
    AnalysisSettings settings = make_analysis_sinks(given, radio == nullptr, reporter);
    double const centre = pipeline.capture_centre(given.frequency);
    live = std::make_unique<LiveAudio>(rate, centre, given.if_bandwidth, given.audio_control, given.audio_channels,
                                       std::move(hook), false, std::move(settings), engine);
    attach_capture(live, *capture);
    live->set_decoder_frequencies(first_members(given.decoder_channels));
    if (!given.audio_control.empty())
        log_line("Live audio control: " + given.audio_control);
}

// Builds the survey for the capture that `band` describes, replacing a running one.
void DecodeRun::start_survey(Options const& band)
{
    if (survey) {
        if (survey->running())
            survey->stop();
        survey.reset();
    }
    if (rate > sig::kSurveyMaxCaptureRate) {
        log_line(sig::survey_off_line(rate, given.survey_bandwidth));
        return;
    }
    // The receive engine takes raw ADC words and hands out channel rows: no block carries IQ
    // the survey could look at.
    if (engine) {
        log_line("Wideband survey: off: the RX-888 receive engine delivers no IQ samples to survey "
                 "(--rx888-gpu off keeps IQ on the CPU front end)");
        return;
    }
    sig::SurveyRunner::Config config;
    config.capture_rate = rate;
    config.center_hz = band.frequency - (radio != nullptr ? radio->tuning_offset() : 0.0);
    config.bandwidth = given.survey_bandwidth;
    config.max_decoders = given.survey_max_decoders;
    config.min_snr_db = given.survey_min_snr;
    config.journal_path = given.survey_journal;
    config.image_dir = given.wefax_images;
    config.receiver = receiver_label(given);
    config.reporter = reporter;
    config.blocking = radio == nullptr;
    if (!config.journal_path.empty()) {
        std::filesystem::path const parent = std::filesystem::path(config.journal_path).parent_path();
        if (!parent.empty())
            create_private_directories(parent);
    }
    survey = std::make_unique<sig::SurveyRunner>(config);
    log_line(sig::survey_banner(*survey, config, given.pskreporter));
}

void DecodeRun::install_retune_handler()
{
    // IQ replay has no band changes: its RADIO requests never reach the run.
    if (radio == nullptr)
        return;
    BandChangeRun const band_change{
        options,
        *radio,
        pool.get(),
        live.get(),
        [this](Options const& wanted) { return build_decode_pipeline(pipeline, wanted); },
        [this](DecoderCapture& next) { attach_capture(live, next); },
        pipeline.capture_centre,
        mailbox,
        capture,
        queue,
        // The survey follows the capture to its new centre.
        [this] {
            if (survey)
                start_survey(options);
        },
    };
    retune_handler = [band_change](std::string const& text) { return handle_retune_request(band_change, text); };
    retune_ready.store(true, std::memory_order_release);
}

void DecodeRun::receive_live()
{
    // Raw blocks for an engine carry D words of 2 bytes per IQ sample: the memory bound of the
    // buffer counts those bytes, not those of complex samples.
    auto const* raw = dynamic_cast<RawSpectrum const*>(engine.get());
    queue.configure(rate, given.buffer_seconds, raw != nullptr ? 2 * raw->decimation() : sizeof(std::complex<float>));
    // Whatever leaves the loop, the stream stops first and the queue closes, so the backend's
    // thread is quiet before the pipeline it feeds is torn down. It happens once: on the normal
    // way out a failing radio stop ends the run with its error; on the way out of an error it is
    // only reported, the first error being the one that counts.
    struct StreamGuard {
        Radio* radio;
        SampleQueue& queue;
        RetuneMailbox& mailbox;
        bool stopped = false;

        void stop()
        {
            if (stopped)
                return;
            stopped = true;
            mailbox.stop();
            try {
                radio->stop();
            } catch (...) {
                queue.close();
                throw;
            }
            queue.close();
        }
        ~StreamGuard()
        {
            try {
                stop();
            } catch (std::exception const& error) {
                log_line("Receiver stop failed: " + std::string(error.what()));
            }
        }
    };
    // Drops are told from here on, and after each "behind" line from there: a radio may fill the
    // buffer as soon as it starts.
    std::uint64_t dropped_at_behind = queue.dropped();
    radio->start(queue);
    StreamGuard guard{radio, queue, mailbox};
    daemon.ready();

    auto const start = SteadyClock::now();
    auto last_block = start;
    auto last_stats = start;
    auto hour_start = start;
    auto last_second = start - std::chrono::seconds(1);
    auto last_behind = start - std::chrono::seconds(60);
    bool said_behind = false;
    bool const whole_blocks = given.backend == "rx888";
    std::uint64_t input = 0;
    double run_deepest = 0.0;
    double hour_deepest = 0.0;
    std::uint64_t hour_dropped = capture->intervals_dropped();
    std::uint64_t hour_resets = capture->resets();
    std::vector<IqBlock> blocks;

    for (;;) {
        if (stop_requested.load() != 0)
            break;
        auto const now = SteadyClock::now();
        if (given.duration > 0 && std::chrono::duration<double>(now - start).count() >= given.duration)
            break;

        if (now - last_second > nanoseconds(999'999'999)) {
            radio->report_overload();
            double const backlog = queue.take_deepest_seconds();
            run_deepest = std::max(run_deepest, backlog);
            last_second = now;
            if (now - hour_start <= nanoseconds(3'599'999'999'999)) {
                hour_deepest = std::max(hour_deepest, backlog);
            } else {
                std::ostringstream line;
                line << "Last hour: " << capture->intervals_dropped() - hour_dropped
                     << " interval(s) dropped for gaps, " << capture->resets() - hour_resets
                     << " restart(s) of all intervals, deepest backlog " << hour_deepest << " s";
                log_line(line.str());
                hour_dropped = capture->intervals_dropped();
                hour_resets = capture->resets();
                hour_start = now;
                hour_deepest = backlog;
            }
            if (now - last_behind > nanoseconds(59'999'999'999)) {
                std::uint64_t const dropped = queue.dropped();
                std::optional<double> since_last_line;
                if (said_behind)
                    since_last_line = std::chrono::duration<double>(now - last_behind).count();
                ReceiveBacklog const state{backlog, queue.capacity_seconds(), dropped - dropped_at_behind,
                                           since_last_line, rate};
                if (auto const line = receiver_behind_line(state)) {
                    log_line(*line);
                    last_behind = now;
                    said_behind = true;
                    dropped_at_behind = dropped;
                }
            }
        }

        if (mailbox.pending()) {
            // A band change replaces the capture and with it its counters; the hour's figures
            // carry on across the swap instead of restarting from the new capture's zeros.
            std::uint64_t const dropped_before = capture->intervals_dropped();
            std::uint64_t const resets_before = capture->resets();
            DecoderCapture const* const before = capture.get();
            mailbox.run_pending();
            if (capture.get() != before) {
                hour_dropped = hour_dropped - dropped_before + capture->intervals_dropped();
                hour_resets = hour_resets - resets_before + capture->resets();
            }
        }

        rethrow_decoder_failure();
        std::string const failure = queue.failure();
        if (!failure.empty())
            throw std::runtime_error(failure);

        blocks.clear();
        bool popped = false;
        if (whole_blocks) {
            popped = queue.pop_blocks(blocks) && !blocks.empty();
        } else {
            blocks.emplace_back();
            popped = queue.pop(blocks.front());
        }
        if (!popped) {
            if (now - last_block > nanoseconds(5'000'000'000))
                throw std::runtime_error("Receiver stopped delivering samples for five seconds");
            continue;
        }
        last_block = SteadyClock::now();
        for (IqBlock const& block : blocks) {
            input += block.samples.size();
            capture->push_block(block, block.utc);
            if (survey)
                survey->push(block.samples.data(), block.samples.size(), block.utc);
        }

        if (given.stats && now - last_stats > nanoseconds(999'999'999)) {
            std::ostringstream line;
            line << status_text() << "; input=" << input << ", IQ drops=" << queue.dropped()
                 << ", resets=" << capture->resets() << ", gap fills=" << capture->gap_fills()
                 << ", zero-filled IQ=" << capture->zero_filled()
                 << ", clipped=" << capture->channelizer().clipped();
            log_line(line.str());
            input = 0;
            last_stats = now;
        }
    }

    guard.stop();
    if (queue.dropped() > 0) {
        std::ostringstream line;
        line << "Receive queue dropped " << queue.dropped() << " input samples; gap fills=" << capture->gap_fills()
             << ", interval resets=" << capture->resets();
        log_line(line.str());
    }
    if (run_deepest >= 0.25) {
        std::ostringstream line;
        line << "Deepest receive backlog " << run_deepest << " s of " << queue.capacity_seconds() << " s";
        log_line(line.str());
    }
}

void DecodeRun::finish()
{
    // The survey first: the pool drains after it, and only the pool's close stops the reporter
    // both share, so spots of the last queued intervals still go out.
    if (survey && survey->running())
        survey->stop();
    if (pool) {
        bool const stopped_before = stop_requested.load() != 0;
        pool->close(!stopped_before, &stop_requested);
        pool->rethrow_failure();
        if (!stopped_before && stop_requested.load() == 0 && pool->failures() != 0)
            throw std::runtime_error("One or more decoder jobs failed; see diagnostics");
    }
    log_line(status_text());
    std::uint64_t const clipped = capture->channelizer().clipped();
    if (clipped != 0) {
        std::ostringstream line;
        line << "Clipped " << clipped << " channel audio samples; lower --audio-gain or RF gain";
        log_line(line.str());
    }
}

}  // namespace

void decode_receiver(Options const& options, Radio* radio, SampleQueue& queue, Daemon& daemon)
{
    DecodeRun run(options, radio, queue, daemon);

    if (options.pskreporter) {
        run.sent_batches = std::make_shared<PskReportWriter>(state_directory("psk-reports.sqlite3"));
        std::function<void(unsigned long, long)> record_sent_batch =
            [writer = run.sent_batches](unsigned long reports, long sent_at) {
                writer->record_batch(reports, sent_at);
            };
        run.reporter = std::make_shared<PskReporter>(options.callsign, options.grid,
                                                     std::function<void(std::vector<unsigned char> const&)>{},
                                                     std::chrono::milliseconds(300000), record_sent_batch,
                                                     PskReportPolicy{});
    }
    if (!options.receivers_only)
        run.pool = std::make_unique<DecoderPool>(options, &stop_requested, run.reporter);
    run.rate = radio != nullptr ? radio->sample_rate() : static_cast<double>(options.iq_rate);
    if (radio != nullptr && options.backend == "rx888" && options.wideband) {
        std::uint64_t frame = 1;
        while (static_cast<double>(frame) < 0.04 * run.rate)
            frame *= 2;
        std::string reason;
        run.engine = radio->receive_engine(frame, reason);
        log_line("RX-888 receive engine: " +
                 (run.engine ? reason + ": raw ADC samples in, each consumer's results out"
                             : "CPU front end (" + reason + ")"));
    }

    if (options.survey)
        run.start_survey(options);

    run.options = options;
    run.pipeline.rate_hz = run.rate;
    run.pipeline.capture_centre = [radio](double frequency) {
        return radio != nullptr ? radio->center_for(frequency) : frequency;
    };
    run.pipeline.pool = &run.pool;
    run.pipeline.radio = radio;
    run.pipeline.engine = run.engine;
    run.capture = build_decode_pipeline(run.pipeline, run.options);
    run.start_live_audio();
    run.install_retune_handler();

    print_banner(options, run.rate);
    if (radio != nullptr)
        run.receive_live();
    else
        run.replay_iq_file();
    run.finish();
}
