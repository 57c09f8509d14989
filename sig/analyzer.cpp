#include "sig/analyzer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/log_line.hpp"
#include "core/sig/audio_block.hpp"
#include "core/sig/modem_context.hpp"
#include "sig/line_assembler.hpp"
#include "sig/modems/modem_factory.hpp"
#include "sig/modems/olivia_modem.hpp"
#include "sig/modems/resolve_variant.hpp"

namespace sig {
namespace {

constexpr double kRateHz = 12000.0;
constexpr std::size_t kSlotCount = 4096;
// The producer wakes the worker without taking its mutex, so a wake-up can be missed; the
// worker never sleeps longer than this.
constexpr auto kWorkerWait = std::chrono::milliseconds(20);
constexpr auto kFlushWait = std::chrono::seconds(10);
// A ring of a quarter second or less is too short to be useful; it gets this many floats.
constexpr std::size_t kSmallRing = 3001;
constexpr double kMaxRingSeconds = 3600.0;
// Lines are finished this long after the last block when the channel is flushed, so that every
// line but a slow Olivia one counts as idle.
constexpr double kFlushAge = LineAssembler::kIdleFlushS + 0.001;
constexpr double kLineClockToleranceS = 3600.0;
constexpr double kLineBandwidthHz = 127.0;

// One running demodulator.
struct Track {
    std::unique_ptr<Modem> modem;  // never null
    Candidate candidate;
    double modem_hz = 0.0;  // the audio frequency last given to the modem
    bool fixed = false;     // made at construction; lives as long as the analyzer
    std::uint32_t bound_track = 0;
    bool olivia_entry = false;
};

// One pushed block waiting in the ring.
struct BlockSlot {
    std::uint64_t count = 0;  // its samples in the audio ring
    double time = 0.0;
    bool discontinuity = false;
};

std::size_t ring_size(double seconds) {
    if (!(seconds > 0.25)) return kSmallRing;
    if (!(seconds <= kMaxRingSeconds))
        throw std::runtime_error("Analyzer audio ring must be at most " + std::to_string(static_cast<int>(kMaxRingSeconds)) +
                                 " s long");
    return static_cast<std::size_t>(std::floor(seconds * kRateHz)) + 1;
}

// Where a fixed keyboard-mode track listens: the middle of the channel. The audio carries only
// up to half its 12000 Hz rate, so a channel twice as wide or more has no middle in it; a
// modem tuned beyond that would copy an alias and report it at the wrong frequency, so such a
// track starts in the middle of the audio there is.
double fixed_track_hz(double bandwidth_hz) {
    const double middle = bandwidth_hz / 2.0;
    return middle < kRateHz / 2.0 ? middle : kRateHz / 4.0;
}

// A fixed Olivia decoder listens where the user put it, give or take a drifting transmitter.
constexpr double kOliviaEntrySearchHz = 100.0;

// The bandwidth of an Olivia format "tones/bandwidth": the decimal after the slash (the whole
// text without one).
double olivia_bandwidth(const std::string& format) {
    const std::size_t slash = format.find('/');
    const std::string number = slash == std::string::npos ? format : format.substr(slash + 1);
    return std::strtod(number.c_str(), nullptr);
}

}  // namespace

double decoded_line_time(double line_time, double block_end) {
    if (std::isfinite(line_time) && line_time > 0.0 && std::fabs(line_time - block_end) <= kLineClockToleranceS)
        return line_time;
    return block_end;
}

struct Analyzer::Impl {
    Config config;
    ModemContext context;
    LineAssembler assembler;
    std::map<std::uint32_t, Candidate> candidates;
    std::map<std::uint32_t, Track> tracks;

    double last_end = 0.0;
    bool started = false;
    bool sink_failure_reported = false;
    bool image_dir_failure_reported = false;
    std::uint64_t sequence = 0;

    // Single producer (push), single consumer (the worker). Each side writes only its own
    // index, with release order after the data; the other side reads it with acquire order.
    std::vector<float> ring;
    std::atomic<std::size_t> ring_write{0};
    std::atomic<std::size_t> ring_read{0};
    std::vector<BlockSlot> slots;
    std::atomic<std::size_t> slot_write{0};
    std::atomic<std::size_t> slot_read{0};
    bool overrun = false;  // producer only: the last push lost samples

    std::atomic<bool> stop{false};
    std::atomic<bool> pending_discontinuity{false};
    std::atomic<bool> failed{false};

    std::mutex data_mutex;
    std::condition_variable data_cv;
    std::mutex process_mutex;  // held while a block is processed and while flushing
    std::condition_variable done_cv;

    mutable std::mutex snapshot_mutex;
    std::vector<Candidate> snapshot;

    AudioBlock work_block;  // the worker's block, reused
    std::thread worker;

    explicit Impl(Config given) : config(std::move(given)), ring(ring_size(config.ring_seconds)), slots(kSlotCount) {
        static_cast<ChannelInfo&>(context) = config;
        context.image_dir = config.image_dir;
        if (config.modes_auto)
            throw std::runtime_error(
                "Automatic mode selection (modes=auto) needs the signal classifier, which is not built yet; "
                "name the channel's modes, for example modes=psk31");
        add_fixed_modes();
        add_olivia_entries();
    }

    void add_fixed_modes() {
        std::uint32_t id = kFirstFixedTrack;
        for (const Mode mode : config.modes) {
            Candidate c;
            c.track = id;
            c.mode = mode;
            c.audio_hz = mode == Mode::WEFAX || mode == Mode::SSTV ? 1900.0 : fixed_track_hz(config.bandwidth_hz);
            c.bandwidth_hz = config.bandwidth_hz;
            c.snr_db = 0.0;
            c.snr_2500_db = -999.0;
            c.quality = 1.0f;
            std::string variant = resolve_variant(mode, c, config);
            if (variant != "auto") c.variant = std::move(variant);
            std::unique_ptr<Modem> modem = make_channel_modem(mode, c);
            if (!modem) {
                log_line("Analysis channel " + config.channel + ": no " + mode_name(mode) +
                         " modem is available yet");
            } else {
                candidates[id] = c;
                tracks.emplace(id, Track{std::move(modem), c, c.audio_hz, true, 0, false});
            }
            ++id;
        }
    }

    void add_olivia_entries() {
        std::uint32_t id = kFirstOliviaTrack;
        for (const OliviaEntry& entry : config.olivia) {
            Candidate c;
            c.track = id;
            c.mode = Mode::OLIVIA;
            c.variant = entry.format;
            c.audio_hz = entry.audio_hz;
            c.bandwidth_hz = olivia_bandwidth(entry.format);
            c.snr_db = 0.0;
            c.snr_2500_db = -999.0;
            c.quality = 1.0f;
            // Not through the factory: an entry the user named must work or fail loudly, and it
            // searches only close to where the user put it.
            std::unique_ptr<Modem> modem = std::make_unique<OliviaModem>(c, entry.format, kOliviaEntrySearchHz);
            candidates[id] = c;
            tracks.emplace(id, Track{std::move(modem), c, c.audio_hz, true, 0, true});
            ++id;
        }
    }

    std::unique_ptr<Modem> make_channel_modem(Mode mode, const Candidate& c) {
        if ((mode == Mode::WEFAX || mode == Mode::SSTV) && !config.image_dir.empty()) {
            std::error_code error;
            std::filesystem::create_directories(config.image_dir, error);
            if (error && !image_dir_failure_reported) {
                image_dir_failure_reported = true;
                log_line("Analysis channel " + config.channel + ": cannot create " + config.image_dir + ": " +
                         error.message());
            }
        }
        try {
            return make_modem(mode, c, config, context);
        } catch (const std::exception& error) {
            log_line("Analysis channel " + config.channel + ": " + mode_name(mode) + " modem: " + error.what());
            return nullptr;
        }
    }

    double rf_of(double audio_hz) const { return config.usb ? config.dial_hz + audio_hz : config.dial_hz - audio_hz; }

    std::string event_variant(const Event& e, const Candidate& r) const {
        if (e.lpm > 0 && e.ioc > 0) return std::to_string(e.lpm) + "/" + std::to_string(e.ioc);
        if (!r.variant.empty()) return r.variant;
        if (r.mode == Mode::RTTY && config.rtty != "auto") return config.rtty;
        if (r.mode == Mode::WEFAX && config.wefax != "auto") return config.wefax;
        return {};
    }

    void complete_event(Event& e, const Candidate& r, double t, double audio_fallback) const {
        if (e.t <= 0.0) e.t = t;
        e.mode = r.mode;
        if (e.variant.empty()) e.variant = event_variant(e, r);
        if (e.audio_hz <= 0.0) e.audio_hz = audio_fallback > 0.0 ? audio_fallback : r.audio_hz;
        e.rf_hz = rf_of(e.audio_hz);
        if (e.bw_hz <= 0.0) e.bw_hz = r.bandwidth_hz;
        if (e.snr == 0.0) e.snr = r.snr_2500_db > -900.0 ? r.snr_2500_db : r.snr_db;
        e.track = r.track;
    }

    // An aged line: completed from its track when the track is still known, else only placed.
    void complete_aged(Event& e, double t) const {
        const auto found = candidates.find(e.track);
        if (found != candidates.end())
            complete_event(e, found->second, t, 0.0);
        else
            e.rf_hz = rf_of(e.audio_hz);
    }

    void dispatch_event(const Event& e) {
        if (e.kind == EventKind::SPOT && !config.report) return;
        for (const std::shared_ptr<EventSink>& sink : config.sinks) {
            if (!sink) continue;
            try {
                sink->on_event(config, e);
            } catch (const std::exception& error) {
                if (sink_failure_reported) continue;
                sink_failure_reported = true;
                log_line("Analysis channel " + config.channel + ": sink failed: " + error.what());
            }
        }
    }

    void emit_track_event(double t, EventKind kind, const Candidate& c) {
        Event e;
        e.kind = kind;
        e.t = t;
        e.mode = c.mode;
        if (!c.variant.empty())
            e.variant = c.variant;
        else if (c.mode == Mode::RTTY && config.rtty != "auto")
            e.variant = config.rtty;
        else if (c.mode == Mode::WEFAX && config.wefax != "auto")
            e.variant = config.wefax;
        e.audio_hz = c.audio_hz;
        e.rf_hz = rf_of(c.audio_hz);
        e.bw_hz = c.bandwidth_hz;
        e.snr = c.snr_2500_db > -900.0 ? c.snr_2500_db : c.snr_db;
        e.track = c.track;
        dispatch_event(e);
    }

    void dispatch_all(std::vector<Event>& events, const Candidate& r, double t, double audio_fallback) {
        for (Event& e : events) {
            complete_event(e, r, t, audio_fallback);
            dispatch_event(e);
        }
    }

    void process_block(AudioBlock& block) {
        // A time that is not a number would stop every later line from being spotted or aged
        // out; the block continues the previous one instead.
        if (!std::isfinite(block.time)) block.time = last_end;
        const double end = block.time + static_cast<double>(block.samples.size()) / kRateHz;
        last_end = end;

        if (block.discontinuity)
            for (auto& [id, track] : tracks) track.modem->reset();

        if (!started) {
            started = true;
            for (auto& [id, track] : tracks) {
                track.candidate.start_time = block.time;
                track.candidate.last_seen = block.time;
                candidates[id] = track.candidate;
                if (!track.olivia_entry) emit_track_event(block.time, EventKind::DETECTED, track.candidate);
            }
        }

        for (auto& [id, track] : tracks) run_modem(id, track, block, end);

        std::vector<Event> aged = assembler.flush_aged(end);
        for (Event& e : aged) {
            complete_aged(e, end);
            dispatch_event(e);
        }
        publish_snapshot();
    }

    void run_modem(std::uint32_t id, Track& track, const AudioBlock& block, double end) {
        track.modem->process(block);
        ModemOutput out = track.modem->take_output();
        const bool has_frequency = out.frequency_hz > 0.0;

        Candidate& r = track.fixed ? track.candidate : candidates[id];
        if (!track.fixed && !out.variant.empty() && out.variant != r.variant) {
            r.variant = out.variant;
            track.candidate.variant = out.variant;
        }

        if (!out.text.empty()) {
            Candidate line = r;
            if (has_frequency) line.audio_hz = out.frequency_hz;
            std::vector<Event> events = assembler.append(line, out.text, end);
            dispatch_all(events, line, end, line.audio_hz);
        }

        for (Event& e : out.events) {
            complete_event(e, r, end, has_frequency ? out.frequency_hz : r.audio_hz);
            dispatch_event(e);
        }

        for (const DecodedLine& decoded : out.lines) {
            Candidate line = r;
            line.track = kFirstLineTrack + (decoded.id & 0xFFFu);
            line.audio_hz = decoded.value;
            line.bandwidth_hz = kLineBandwidthHz;
            line.snr_db = decoded.count;
            line.snr_2500_db = decoded.count;
            const double t = decoded_line_time(decoded.time, end);
            std::vector<Event> events = assembler.append(line, decoded.text, t);
            std::vector<Event> rest = assembler.flush_track(line.track, t);
            events.insert(events.end(), std::make_move_iterator(rest.begin()), std::make_move_iterator(rest.end()));
            dispatch_all(events, line, t, decoded.value);
        }
    }

    void publish_snapshot() {
        std::vector<Candidate> copy;
        copy.reserve(candidates.size());
        for (const auto& [id, candidate] : candidates) copy.push_back(candidate);
        std::lock_guard<std::mutex> lock(snapshot_mutex);
        snapshot.swap(copy);
    }

    bool slots_empty() const {
        return slot_read.load(std::memory_order_acquire) == slot_write.load(std::memory_order_acquire);
    }

    void disable(const std::string& reason) {
        failed.store(true, std::memory_order_release);
        log_line("Analysis " + config.channel + ": disabled: " + reason);
    }

    // The worker: one queued block at a time, under the processing lock.
    void run() {
        for (;;) {
            std::unique_lock<std::mutex> processing(process_mutex);
            const std::size_t read = slot_read.load(std::memory_order_relaxed);
            if (read == slot_write.load(std::memory_order_acquire)) {
                processing.unlock();
                std::unique_lock<std::mutex> waiting(data_mutex);
                data_cv.wait_for(waiting, kWorkerWait, [&] {
                    return stop.load() || slot_read.load(std::memory_order_relaxed) !=
                                              slot_write.load(std::memory_order_acquire);
                });
                if (stop.load()) return;
                continue;
            }

            const BlockSlot slot = slots[read];
            slot_read.store((read + 1) % kSlotCount, std::memory_order_release);
            const std::size_t size = ring.size();
            const std::size_t from = ring_read.load(std::memory_order_relaxed);
            const std::size_t available = (ring_write.load(std::memory_order_acquire) + size - from) % size;
            const std::size_t take = static_cast<std::size_t>(std::min<std::uint64_t>(slot.count, available));
            work_block.samples.resize(take);
            const std::size_t first = std::min(take, size - from);
            std::copy_n(ring.begin() + static_cast<std::ptrdiff_t>(from), first, work_block.samples.begin());
            std::copy_n(ring.begin(), take - first, work_block.samples.begin() + static_cast<std::ptrdiff_t>(first));
            ring_read.store((from + take) % size, std::memory_order_release);

            work_block.time = slot.time;
            work_block.discontinuity = slot.discontinuity || pending_discontinuity.exchange(false);
            work_block.sequence = ++sequence;
            bool ok = true;
            try {
                process_block(work_block);
            } catch (const std::exception& error) {
                disable(error.what());
                ok = false;
            } catch (...) {
                disable("unknown error");
                ok = false;
            }
            done_cv.notify_all();
            if (!ok || stop.load()) return;
        }
    }
};

Analyzer::Analyzer(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {
    if (impl_->config.threaded) impl_->worker = std::thread([impl = impl_.get()] { impl->run(); });
}

Analyzer::~Analyzer() {
    impl_->stop.store(true);
    { std::lock_guard<std::mutex> lock(impl_->data_mutex); }
    impl_->data_cv.notify_all();
    impl_->done_cv.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

bool Analyzer::push(const float* samples, std::size_t n, bool discontinuity, double time) {
    Impl& s = *impl_;
    if (n == 0) {
        if (discontinuity) s.pending_discontinuity.store(true);
        return true;
    }
    if (s.failed.load(std::memory_order_acquire)) return false;

    if (!s.config.threaded) {
        AudioBlock block;
        block.samples.assign(samples, samples + n);
        block.time = time;
        block.discontinuity = discontinuity || s.pending_discontinuity.exchange(false);
        std::lock_guard<std::mutex> lock(s.process_mutex);
        block.sequence = ++s.sequence;
        try {
            s.process_block(block);
        } catch (...) {
            s.failed.store(true, std::memory_order_release);
            throw;
        }
        return true;
    }

    const std::size_t slot = s.slot_write.load(std::memory_order_relaxed);
    if ((slot + 1) % kSlotCount == s.slot_read.load(std::memory_order_acquire)) {
        s.overrun = true;
        return false;
    }
    const bool flagged = discontinuity || s.overrun;
    const std::size_t size = s.ring.size();
    const std::size_t write = s.ring_write.load(std::memory_order_relaxed);
    const std::size_t free = (s.ring_read.load(std::memory_order_acquire) + size - 1 - write) % size;
    const std::size_t take = std::min(free, n);
    if (take == 0) {
        s.overrun = true;
        return false;
    }
    const std::size_t first = std::min(take, size - write);
    std::copy_n(samples, first, s.ring.begin() + static_cast<std::ptrdiff_t>(write));
    std::copy_n(samples + first, take - first, s.ring.begin());
    s.ring_write.store((write + take) % size, std::memory_order_release);
    s.overrun = take < n;
    s.slots[slot] = BlockSlot{take, time, flagged};
    s.slot_write.store((slot + 1) % kSlotCount, std::memory_order_release);
    s.data_cv.notify_one();
    return take == n;
}

void Analyzer::flush() {
    Impl& s = *impl_;
    std::unique_lock<std::mutex> lock(s.process_mutex);
    if (s.config.threaded)
        s.done_cv.wait_for(lock, kFlushWait, [&] { return s.slots_empty() || s.stop.load() || s.failed.load(); });
    if (s.failed.load() || !(s.last_end > 0.0)) return;
    const double t = s.last_end + kFlushAge;
    std::vector<Event> events = s.assembler.flush_aged(t);
    for (Event& e : events) {
        s.complete_aged(e, t);
        s.dispatch_event(e);
    }
    s.publish_snapshot();
}

std::vector<Candidate> Analyzer::snapshot() const {
    std::lock_guard<std::mutex> lock(impl_->snapshot_mutex);
    return impl_->snapshot;
}

const Analyzer::Config& Analyzer::config() const { return impl_->config; }

bool Analyzer::disabled() const { return impl_->failed.load(std::memory_order_acquire); }

}  // namespace sig
