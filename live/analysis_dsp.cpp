#include "live/analysis_dsp.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <exception>
#include <string>
#include <utility>

#include "core/log_line.hpp"
#include "live/audio_dsp.hpp"

namespace {

constexpr std::uint32_t analysis_rate_hz = 12000;
constexpr double base_time_jump_s = 0.5;
constexpr double base_time_creep = 0.0001;  // of a hop per frame

double system_now()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

AudioChannel analysis_audio_channel(AnalysisChannel const& spec)
{
    AudioChannel channel;
    channel.id = spec.id;
    channel.frequency = spec.dial_hz;
    channel.bandwidth = spec.bandwidth_hz;
    channel.audio_gain = 1.0;
    channel.low_cut = 0.0;
    channel.agc = false;
    channel.audio_rate = analysis_rate_hz;
    channel.modulation = spec.usb ? AudioModulation::USB : AudioModulation::LSB;
    channel.enabled = spec.enabled;
    return channel;
}

AnalysisDSP::AnalysisDSP(AnalysisChannel spec, AnalysisOrigin origin, double input_rate_hz, double input_centre_hz,
                         std::shared_ptr<sig::Analyzer> analyzer, double replay_base_time, bool iq_replay,
                         bool discontinuity, std::shared_ptr<SpectrumRows> engine, UtcClock utc_clock)
    : spec_(std::move(spec)),
      origin_(origin),
      analyzer_(std::move(analyzer)),
      discontinuity_(discontinuity),
      replay_base_time_(replay_base_time),
      iq_replay_(iq_replay),
      utc_clock_(utc_clock ? std::move(utc_clock) : UtcClock(system_now))
{
    // A disabled channel processes nothing, so it takes no bins and no engine row.
    if (spec_.enabled)
        chain_ = std::make_unique<AudioDSP>(analysis_audio_channel(spec_), input_rate_hz, input_centre_hz,
                                            std::move(engine));
}

AnalysisDSP::~AnalysisDSP()
{
    if (analyzer_ && iq_replay_ && analyzer_.use_count() == 1) {
        try {
            analyzer_->flush();
        } catch (std::exception const& error) {
            log_line("Analysis " + spec_.id + ": flush failed: " + error.what());
        }
    }
    std::uint64_t const dropped = dropped_blocks_.load();
    if (dropped != 0)
        log_line("Analysis " + spec_.id + ": dropped " + std::to_string(dropped) + " blocks (analyzer fell behind)");
}

void AnalysisDSP::push_block(SpectrumFrame const& frame)
{
    process_channel_block(*chain_, frame, block_);
    double const hop = static_cast<double>(chain_->fft_size()) / 2.0;
    double const rate = chain_->input_rate();
    double const t = (static_cast<double>(frame.sample_index) - 0.5 * hop) / rate;
    bool const gap = discontinuity_.exchange(false);
    double base = replay_base_time_;
    if (base <= 0.0) {
        double const candidate = utc_clock_() - (static_cast<double>(frame.lag_frames) + 1.5) * hop / rate - t;
        if (smoothed_base_time_ == 0.0 || gap || std::abs(candidate - smoothed_base_time_) > base_time_jump_s)
            smoothed_base_time_ = candidate;
        else
            smoothed_base_time_ = std::min(candidate, smoothed_base_time_ + base_time_creep * hop / rate);
        base = smoothed_base_time_;
    }
    last_block_time_ = t + base;
    if (!analyzer_->push(block_.data(), block_.size(), gap, last_block_time_))
        dropped_blocks_.fetch_add(1);
}

void AnalysisDSP::process(SpectrumFrame const& frame) noexcept
{
    if (disabled_.load(std::memory_order_relaxed) || !analyzer_ || !chain_)
        return;
    try {
        push_block(frame);
    } catch (std::exception const& error) {
        disabled_.store(true);
        log_line("Analysis " + spec_.id + ": disabled: " + error.what());
    } catch (...) {
        disabled_.store(true);
        log_line("Analysis " + spec_.id + ": disabled: unexpected failure");
    }
}

void AnalysisDSP::reset() noexcept
{
    if (chain_)
        chain_->reset();
    discontinuity_.store(true);
    if (analyzer_) {
        try {
            analyzer_->push(nullptr, 0, true, 0.0);
        } catch (...) {
            // Marking a gap allocates nothing; a refusal here changes nothing the next block needs.
        }
    }
}
