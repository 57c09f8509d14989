#include "decode/run/decode_pipeline.hpp"

#include <stdexcept>
#include <utility>

#include "decode/channelizer.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/decoder_programs.hpp"
#include "live/analysis_settings.hpp"
#include "live/live_audio.hpp"

namespace {

// The JS8 speeds come out of one decoder run over one channel, so they share it.
bool shares_channel(DecoderChannel const& a, DecoderChannel const& b)
{
    return a.frequency == b.frequency && (a.mode == b.mode || (is_js8_mode(a.mode) && is_js8_mode(b.mode)));
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
    // The RX-888 path chooses between the GPU transform, the receive engine and the CPU; that
    // choice is not part of this build, and a silent CPU fallback would hide it.
    if (context.radio != nullptr && options.backend == "rx888")
        throw std::runtime_error("The RX-888 decode pipeline is not built yet");

    double const centre = context.capture_centre ? context.capture_centre(options.frequency) : options.frequency;
    DecoderChannelPlan plan = plan_decoder_channels(options);
    auto channelizer = std::make_unique<Channelizer::Impl>(context.rate_hz, centre, options.bandwidth,
                                                           options.audio_gain, first_members(plan.channels),
                                                           &plan.bandwidths);
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

AnalysisSettings make_analysis_sinks(Options const& options, bool iq_replay, std::shared_ptr<PskReporter> const&)
{
    AnalysisSettings settings;
    // Set whatever else the run asks for: on IQ replay the live channels run on the capture's
    // thread and their outputs take the whole recording.
    settings.iq_replay = iq_replay;
    settings.channels = options.analysis_channels;
    settings.known_channels = options.known_channels && options.wideband;
    settings.known_channels_report = options.known_channels_report;
    if (settings.channels.empty() && !settings.known_channels)
        return settings;
    // The analyzers, their event sinks and the "Signal analysis: " line come with the signal
    // analyzer; a run that asked for analysis must not start silently without it.
    if (!settings.channels.empty())
        throw std::runtime_error("Signal analysis channels are not built yet; run without --analysis-channel");
    throw std::runtime_error("Known-channel analysis is not built yet; run without --known-channels");
}
