#pragma once

// The per-capture decoding pipeline: the channelizer channels, the decoder slots that read
// them and the job sink into the decoder pool. Built once at start-up and again for every new
// capture centre.

#include <functional>
#include <memory>
#include <vector>

#include "core/options.hpp"
#include "core/receive_engine.hpp"
#include "decode/decoder_capture.hpp"

class DecoderPool;
class LiveAudio;
class PskReporter;
class Radio;
struct AnalysisSettings;

// How the decoder channels of the options map onto channelizer channels. JS8 speeds on one
// dial frequency share one channel; FT8, FT4 and WSPR on one dial each get their own.
struct DecoderChannelPlan {
    std::vector<DecoderChannel> channels;      // channelizer channels, in order
    std::vector<double> bandwidths;            // Hz, one per channel
    std::vector<DecoderCapture::Slot> slots;   // one per decoder channel of the options, in order
};

DecoderChannelPlan plan_decoder_channels(Options const& options);

// What the pipeline builder needs of the run that owns it. The pool is read through its owning
// pointer at each job, so a job goes to whatever pool exists when its interval completes
// (none in a run without decoders: the job is discarded).
struct DecodePipelineContext {
    double rate_hz = 0.0;
    std::function<double(double)> capture_centre;  // IQ centre for a requested frequency
    std::unique_ptr<DecoderPool> const* pool = nullptr;
    Radio* radio = nullptr;  // null for IQ file replay
    // The radio's receive engine, when it handed one out: the channel rows come from it.
    std::shared_ptr<SpectrumRows> engine;
};

// A new capture for the options' channels around capture_centre(frequency). Throws what the
// channelizer refuses.
std::unique_ptr<DecoderCapture> build_decode_pipeline(DecodePipelineContext const& context, Options const& options);

// The dial frequencies of the channels, in order.
std::vector<double> first_members(std::vector<DecoderChannel> const& channels);

// Feeds the capture's spectrum frames and timeline restarts to whatever live audio `live` holds
// when they happen; with no live audio, the capture is left as it is. Every new capture needs it.
void attach_capture(std::unique_ptr<LiveAudio> const& live, DecoderCapture& capture);

// The start-up analysis configuration for live audio: the channels, the SIG-line sink, the
// journal (its directory made private when missing) and, with a PSK Reporter client, the spot
// sink, also for a run that starts without channels but may be given some over its control
// socket; prints the "Signal analysis: " line when channels start with the run. Always the
// run's files, which no audio channel output may be. A run that cannot analyse gets no sinks.
AnalysisSettings make_analysis_sinks(Options const& options, bool iq_replay,
                                     std::shared_ptr<PskReporter> const& reporter);
