#include "decode/run/decode_pipeline.hpp"

#include <algorithm>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/log_line.hpp"
#include "core/private_directory.hpp"
#include "core/receiver_label.hpp"
#include "core/run_file.hpp"

#include "decode/channelizer.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/decoder_programs.hpp"
#include "live/analysis_settings.hpp"
#include "live/live_audio.hpp"
#include "rx888/gpu_library.hpp"
#include "sig/journal_sink.hpp"
#include "sig/reporter_sink.hpp"
#include "sig/stderr_sink.hpp"

namespace {

// The JS8 speeds come out of one decoder run over one channel, so they share it.
bool shares_channel(DecoderChannel const& a, DecoderChannel const& b)
{
    return a.frequency == b.frequency && (a.mode == b.mode || (is_js8_mode(a.mode) && is_js8_mode(b.mode)));
}

// The RX-888 capture takes its channel rows from the receive engine when there is one;
// otherwise a large forward transform may run on the GPU.
void choose_rx888_transform(DecodePipelineContext const& context, Options const& options, Channelizer::Impl& channelizer)
{
    if (context.engine) {
        auto engine = std::dynamic_pointer_cast<RawSpectrum>(context.engine);
        if (!engine)
            throw std::runtime_error("GPU receive engine frame differs from the channelizer's");
        channelizer.attach_engine(std::move(engine));
        return;
    }
    std::uint64_t const n = channelizer.fft_size();
    if (n <= 1048575)
        return;
    if (options.rx888_gpu == "off") {
        log_line("Channelizer FFT: CPU (--rx888-gpu off)");
        return;
    }
    std::uint64_t const columns = std::min<std::uint64_t>(n, 1024);
    std::string name;
    std::string reason;
    GpuForwardTransform transform = rx888_gpu_fft(columns, n / columns, name, reason);
    if (transform) {
        channelizer.set_forward_hook(std::move(transform));
        log_line("Channelizer FFT: GPU (" + name + ")");
        return;
    }
    log_line("Channelizer FFT: CPU" + (reason.empty() ? std::string() : " (" + reason + ")"));
}

}  // namespace

DecoderChannelPlan plan_decoder_channels(Options const& options)
{
    DecoderChannelPlan plan;
    for (DecoderChannel const& wanted : options.decoder_channels) {
        std::uint64_t index = 0;
        while (index < plan.channels.size() && !shares_channel(plan.channels[index], wanted))
            ++index;
        if (index == plan.channels.size()) {
            plan.channels.push_back(wanted);
            plan.bandwidths.push_back(decoder_channel_width(options, wanted));
        }
        plan.slots.push_back({wanted.frequency, wanted.mode, index});
    }
    return plan;
}

std::unique_ptr<DecoderCapture> build_decode_pipeline(DecodePipelineContext const& context, Options const& options)
{
    double const centre = context.capture_centre ? context.capture_centre(options.frequency) : options.frequency;
    DecoderChannelPlan plan = plan_decoder_channels(options);
    auto channelizer = std::make_unique<Channelizer::Impl>(context.rate_hz, centre, options.bandwidth,
                                                           options.audio_gain, first_members(plan.channels),
                                                           &plan.bandwidths);
    if (context.radio != nullptr && options.backend == "rx888")
        choose_rx888_transform(context, options, *channelizer);
    std::unique_ptr<DecoderPool> const* pool = context.pool;
    DecoderCapture::JobSink sink = [pool](DecodeJob job) {
        if (pool != nullptr && *pool)
            (*pool)->submit(std::move(job));
    };
    return std::make_unique<DecoderCapture>(std::move(channelizer), std::move(plan.slots), std::move(sink));
}

std::vector<double> first_members(std::vector<DecoderChannel> const& channels)
{
    std::vector<double> frequencies;
    frequencies.reserve(channels.size());
    for (DecoderChannel const& channel : channels)
        frequencies.push_back(channel.frequency);
    return frequencies;
}

void attach_capture(std::unique_ptr<LiveAudio> const& live, DecoderCapture& capture)
{
    if (!live)
        return;
    std::unique_ptr<LiveAudio> const* owner = &live;
    capture.channelizer().set_spectrum_hook([owner](SpectrumFrame const& frame) { (*owner)->process(frame); });
    capture.set_reset_hook([owner] { (*owner)->reset_audio(); });
}

AnalysisSettings make_analysis_sinks(Options const& options, bool iq_replay, std::shared_ptr<PskReporter> const& reporter)
{
    AnalysisSettings settings;
    // Set whatever else the run asks for: on IQ replay the live channels run on the capture's
    // thread and their outputs take the whole recording.
    settings.iq_replay = iq_replay;
    settings.channels = options.analysis_channels;
    settings.known_channels = options.known_channels && options.wideband;
    settings.known_channels_report = options.known_channels_report;
    settings.run_files = run_files(options);
    // A channel added over the control socket reports where a start-up channel would.
    if (!run_may_analyse(options))
        return settings;
    settings.receiver = receiver_label(options);
    settings.image_dir = options.wefax_images;
    if (iq_replay)
        settings.replay_origin = static_cast<double>(parse_utc_timestamp(options.start_utc));
    settings.sinks.push_back(std::make_shared<sig::StderrSink>());
    if (!options.signal_journal.empty()) {
        create_private_parent(options.signal_journal);
        settings.sinks.push_back(std::make_shared<sig::JournalSink>(options.signal_journal));
    }
    if (reporter)
        settings.reporter = std::make_shared<sig::ReporterSink>(reporter);
    if (settings.channels.empty() && !settings.known_channels)
        return settings;
    std::string line = "Signal analysis: ";
    line += std::to_string(settings.channels.size());
    line += " channel(s); journal=";
    line += options.signal_journal.empty() ? std::string("off") : options.signal_journal;
    line += ", wefax-images=";
    line += options.wefax_images;
    if (settings.reporter)
        line += ", PSK Reporter spots on";
    log_line(line);
    return settings;
}
