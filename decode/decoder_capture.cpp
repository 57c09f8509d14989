#include "decode/decoder_capture.hpp"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <sstream>
#include <stdexcept>

#include "core/log_line.hpp"
#include "decode/interval_buffer_pool.hpp"

namespace {

using SteadyClock = std::chrono::steady_clock;

constexpr double channel_rate_hz = 12000.0;
constexpr std::uint64_t zero_piece = 16384;
constexpr double max_fill_seconds = 1.0;
constexpr double max_drift_seconds = 0.5;
constexpr double first_interval_margin_seconds = 0.1;
constexpr auto message_interval = std::chrono::seconds(5);

bool fillable(IqBlock const& block)
{
    return block.discontinuity && block.gap_samples > 0 &&
           (block.gap_flags & (GAP_SEQUENCE | GAP_DROPPED)) != 0 &&
           (block.gap_flags & (GAP_SOURCE_RESET | GAP_UNKNOWN_SIZE)) == 0;
}

struct CaptureSlot {
    double dial_hz = 0.0;
    DigitalMode mode = DigitalMode::FT8;
    std::uint64_t channel = 0;
    std::int64_t interval = 0;      // UTC interval index k: the interval starts at k x length
    std::int64_t start_sample = 0;  // its first channel sample since the last reset
    // One interval's storage at a time is filled here; the jobs it went out in bring it back.
    std::shared_ptr<IntervalBufferPool> pool;
    IntervalAudio buffer;
};

struct LossTracker {
    double length_seconds = 0.0;
    std::int64_t interval = -1;  // the interval that losses are charged to
    std::int64_t lost = 0;       // IQ samples charged to it
    bool dropped = false;
};

}  // namespace

// Members are destroyed in reverse: the reset hook first, the channelizer last.
struct DecoderCapture::State {
    std::unique_ptr<Channelizer::Impl> channelizer;
    std::vector<CaptureSlot> slots;
    std::uint64_t channel_count = 0;
    JobSink job_sink;
    double t0 = 0.0;
    std::uint64_t channel_samples = 0;
    Rows rows;
    double rate = 0.0;
    double reset_utc = 0.0;
    std::uint64_t consumed = 0;
    std::uint64_t resets = 0;
    std::uint64_t gap_fills = 0;
    std::uint64_t zero_filled = 0;
    std::uint64_t intervals_dropped = 0;
    std::vector<LossTracker> trackers;
    SteadyClock::time_point last_discontinuity_message;
    SteadyClock::time_point last_fill_message;
    bool started = false;
    std::function<void()> reset_hook;

    std::vector<DecodeJob> jobs;  // scratch of append

    double half_hop_seconds() const
    {
        return static_cast<double>(channelizer->hop()) / (2.0 * rate);
    }

    void empty_rows()
    {
        rows.resize(channel_count);
        for (auto& row : rows)
            row.clear();
    }

    void process(IqBlock const& block, DecoderCapture& capture)
    {
        empty_rows();
        if (!block.raw.empty())
            channelizer->push_raw(block.raw.data(), block.raw.size(), rows);
        else
            channelizer->push_iq(block.samples.data(), block.samples.size(), rows);
        capture.append(rows);
        consumed += block.length();
    }

    void reset(IqBlock const& block, double utc, bool drift, bool was_fillable)
    {
        channelizer->reset();
        channel_samples = 0;
        t0 = utc - half_hop_seconds();
        for (CaptureSlot& slot : slots) {
            double const length = digital_mode_interval_seconds(slot.mode);
            auto const k = static_cast<std::int64_t>(std::ceil((t0 + first_interval_margin_seconds) / length));
            slot.interval = k;
            slot.start_sample = std::llround((static_cast<double>(k) * length - t0) * channel_rate_hz);
            slot.buffer.clear();
        }
        if (reset_hook)
            reset_hook();
        consumed = 0;
        started = true;
        reset_utc = utc;
        for (LossTracker& tracker : trackers) {
            tracker.interval = static_cast<std::int64_t>(std::floor(t0 / tracker.length_seconds));
            tracker.lost = 0;
        }
        if (!block.discontinuity && !drift)
            return;
        ++resets;
        auto const now = SteadyClock::now();
        if (now - last_discontinuity_message < message_interval)
            return;
        last_discontinuity_message = now;
        std::uint32_t const flags = block.gap_flags;
        std::ostringstream line;
        line << "IQ discontinuity: discarded incomplete decoder intervals (resets=" << resets;
        if (drift)
            line << ", sample/UTC clock drift";
        if (flags & GAP_SOURCE_RESET)
            line << ", driver reset";
        if (flags & GAP_SEQUENCE)
            line << ", sample-counter gap: expected=" << block.expected_sample
                 << ", received=" << block.received_sample << ", missing=" << block.gap_samples;
        if (flags & GAP_DROPPED)
            line << ", receive queue overflow";
        if (flags & GAP_UNKNOWN_SIZE)
            line << ", unknown stream discontinuity";
        if (was_fillable)
            line << ", gap exceeds fill limit";
        line << ')';
        log_line(line.str());
    }

    void zero_fill(std::uint64_t gap_samples, double gap_seconds, double expected, DecoderCapture& capture)
    {
        double const position = expected - half_hop_seconds();
        auto const gap = static_cast<std::int64_t>(gap_samples);
        std::vector<LossTracker> updated = trackers;
        std::vector<double> dropped_lengths;
        for (LossTracker& tracker : updated) {
            double const length = tracker.length_seconds;
            auto const i = static_cast<std::int64_t>(std::floor(position / length));
            if (tracker.interval != i) {
                tracker.interval = i;
                tracker.lost = 0;
                tracker.dropped = false;
            }
            auto const e = static_cast<std::int64_t>(std::floor((position + gap_seconds) / length));
            double const budget = rate * std::max(length / 150.0, 0.1);
            if (i == e) {
                tracker.lost += gap;
            } else {
                double const part = std::round((static_cast<double>(i + 1) * length - position) * rate);
                auto const charged = static_cast<std::int64_t>(std::clamp(part, 0.0, static_cast<double>(gap)));
                tracker.interval = e;
                tracker.lost = gap - charged;
                // The mark belongs to the interval it was set for; the gap's tail now lies in
                // interval e, which has not been dropped yet.
                tracker.dropped = false;
            }
            if (static_cast<double>(tracker.lost) > budget && !tracker.dropped) {
                tracker.dropped = true;
                dropped_lengths.push_back(length);
            }
        }

        for (std::uint64_t done = 0; done < gap_samples;) {
            std::uint64_t const piece = std::min(zero_piece, gap_samples - done);
            empty_rows();
            channelizer->push_zeros(piece, rows);
            capture.append(rows);
            consumed += piece;
            done += piece;
        }

        trackers = std::move(updated);
        ++gap_fills;
        zero_filled += gap_samples;

        for (double length : dropped_lengths) {
            for (CaptureSlot& slot : slots) {
                if (digital_mode_interval_seconds(slot.mode) != length ||
                    slot.start_sample > static_cast<std::int64_t>(channel_samples))
                    continue;
                slot.buffer.clear();
                slot.interval += 1;
                slot.start_sample += digital_mode_interval_samples(slot.mode);
            }
            ++intervals_dropped;
            std::ostringstream line;
            line << "IQ gap: the " << length
                 << " s interval in progress lost too much to decode and was dropped; other intervals continue";
            log_line(line.str());
        }

        auto const now = SteadyClock::now();
        if (now - last_fill_message >= message_interval) {
            last_fill_message = now;
            std::ostringstream line;
            line << "IQ gap: zero-filled " << gap_samples << " samples (" << gap_seconds * 1000.0
                 << " ms) to preserve decoder timing; gap fills=" << gap_fills;
            log_line(line.str());
        }
    }
};

DecoderCapture::DecoderCapture(std::unique_ptr<Channelizer::Impl> channelizer, std::vector<Slot> slots,
                               JobSink job_sink)
    : state_(std::make_unique<State>())
{
    if (!channelizer)
        throw std::invalid_argument("Decoder capture needs a channelizer");
    State& s = *state_;
    s.channel_count = channelizer->channel_count();
    s.rate = channelizer->rate();
    s.channelizer = std::move(channelizer);
    s.job_sink = std::move(job_sink);
    for (Slot const& spec : slots) {
        if (spec.channel >= s.channel_count)
            throw std::invalid_argument("Decoder slot refers to a channel the channelizer lacks");
        CaptureSlot slot;
        slot.dial_hz = spec.dial_hz;
        slot.mode = spec.mode;
        slot.channel = spec.channel;
        slot.pool = IntervalBufferPool::make(static_cast<std::size_t>(digital_mode_interval_samples(spec.mode)));
        slot.buffer = slot.pool->take();
        // The next interval fills a second buffer while the first is with the decoders: made
        // now, after start-up the capture faults in no pages at all.
        slot.pool->make_ready(1);
        s.slots.push_back(std::move(slot));
        double const length = digital_mode_interval_seconds(spec.mode);
        bool const known = std::any_of(s.trackers.begin(), s.trackers.end(),
                                       [&](LossTracker const& t) { return t.length_seconds == length; });
        if (!known)
            s.trackers.push_back({length, -1, 0, false});
    }
    // The first gap and discontinuity messages print at once.
    s.last_discontinuity_message = SteadyClock::now() - message_interval;
    s.last_fill_message = s.last_discontinuity_message;
}

DecoderCapture::~DecoderCapture() = default;

void DecoderCapture::push_block(IqBlock const& block, double utc)
{
    State& s = *state_;
    bool const can_fill = fillable(block);
    double const gap_seconds = can_fill ? static_cast<double>(block.gap_samples) / s.rate : 0.0;
    if (!s.started) {
        s.reset(block, utc, false, can_fill);
    } else {
        double const expected = s.reset_utc + static_cast<double>(s.consumed) / s.rate;
        bool const drift = std::fabs(utc - (expected + gap_seconds)) > max_drift_seconds;
        if (!drift && can_fill && gap_seconds <= max_fill_seconds)
            s.zero_fill(block.gap_samples, gap_seconds, expected, *this);
        else if (block.discontinuity || drift)
            s.reset(block, utc, drift, can_fill);
    }
    s.process(block, *this);
}

void DecoderCapture::append(Rows const& rows)
{
    State& s = *state_;
    if (rows.size() != s.channel_count)
        throw std::runtime_error("Channel count changed during capture");
    if (rows.empty())
        return;
    std::size_t const n = rows.front().size();
    for (auto const& row : rows) {
        if (row.size() != n)
            throw std::runtime_error("Channel clocks diverged");
    }

    s.jobs.clear();
    auto const done = static_cast<std::int64_t>(s.channel_samples);
    auto const count = static_cast<std::int64_t>(n);
    for (CaptureSlot& slot : s.slots) {
        std::vector<float> const& row = rows[slot.channel];
        std::int64_t const length = digital_mode_interval_samples(slot.mode);
        std::int64_t p = 0;
        while (p < count) {
            if (done + p < slot.start_sample) {
                p = std::min(count, slot.start_sample - done);
                continue;
            }
            std::int64_t const take =
                std::min(length - static_cast<std::int64_t>(slot.buffer.size()), count - p);
            slot.buffer.append(row.data() + p, static_cast<std::size_t>(take));
            p += take;
            if (static_cast<std::int64_t>(slot.buffer.size()) == length) {
                DecodeJob job;
                job.start_utc = static_cast<double>(slot.interval) * static_cast<double>(length) / channel_rate_hz;
                job.dial_hz = slot.dial_hz;
                job.audio = std::move(slot.buffer);
                job.mode = slot.mode;
                s.jobs.push_back(std::move(job));
                slot.buffer = slot.pool->take();
                slot.interval += 1;
                slot.start_sample += length;
            }
        }
    }
    s.channel_samples += n;

    std::stable_sort(s.jobs.begin(), s.jobs.end(),
                     [](DecodeJob const& a, DecodeJob const& b) { return a.start_utc < b.start_utc; });
    for (DecodeJob& job : s.jobs) {
        if (s.job_sink)
            s.job_sink(std::move(job));
    }
    s.jobs.clear();
}

void DecoderCapture::set_reset_hook(std::function<void()> hook) { state_->reset_hook = std::move(hook); }

Channelizer::Impl& DecoderCapture::channelizer() { return *state_->channelizer; }

std::uint64_t DecoderCapture::resets() const { return state_->resets; }
std::uint64_t DecoderCapture::gap_fills() const { return state_->gap_fills; }
std::uint64_t DecoderCapture::zero_filled() const { return state_->zero_filled; }
std::uint64_t DecoderCapture::intervals_dropped() const { return state_->intervals_dropped; }

std::uint64_t DecoderCapture::interval_buffers() const
{
    std::uint64_t made = 0;
    for (CaptureSlot const& slot : state_->slots)
        made += slot.pool->allocations();
    return made;
}
