#include "sig/analyzer.hpp"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <map>
#include <set>
#include <mutex>
#include <stdexcept>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "core/log_line.hpp"
#include "core/sig/audio_block.hpp"
#include "core/sig/modem_context.hpp"
#include "sig/classifier.hpp"
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
// The newest blocks kept to feed a modem that starts late: together at least 8 s of audio.
constexpr std::uint64_t kPrerollSamples = 96000;
// A modem started for a classified signal hears it from this long before it was first seen.
constexpr double kReplayLeadS = 0.7;

// The keyboard modes a classifier can follow for a fixed track: PSK31 to CW.
bool keyboard_mode(Mode mode) { return mode >= Mode::PSK31 && mode <= Mode::CW; }

// One running demodulator.
struct Track {
    std::unique_ptr<Modem> modem;  // never null
    Candidate candidate;
    double modem_hz = 0.0;  // the audio frequency last given to the modem
    bool fixed = false;     // made at construction; lives as long as the analyzer
    std::uint32_t bound_track = 0;
    bool olivia_entry = false;
    Mode bound_mode = Mode::UNKNOWN;  // what the classifier last named the bound track
    bool printed = false;             // the modem has copied text since it was built or bound
    double started_hz = 0.0;          // where the modem was built or last started afresh
    double bound_at = 0.0;            // when it was bound to its signal
    std::string held;                 // copied while the signal was not yet named; see holds_text
    bool passed_on = false;           // some of the modem's copy has gone to the lines
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

// What the classifier tests a track for, by its kind and width: a single signal narrower than
// kNarrowbandHz gets the keyboard-mode keying test, one of kCombTestHz or more the MFSK comb test;
// an FSK pair is RTTY when its spacing is within kShiftTolerance of a shift. A single track whose
// band lies within kInsideMarginHz of the band of a track of several tones is one of its tones.
constexpr double kNarrowbandHz = 200.0;
constexpr double kCombTestHz = 100.0;
constexpr double kShiftTolerance = 0.1;
constexpr double kInsideMarginHz = 10.0;

// A keyboard-mode modem pulls in a signal only this far from where it started listening; the
// classifier may first see a weak signal further off its centre than that.
constexpr double kModemCaptureHz = 10.0;
// What a fixed modem copies from a signal not yet named waits this long at most for
// the name: a modem that then starts again at the named centre copies it afresh.
constexpr double kNamingWaitS = 6.0;

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

bool covered_by(const Candidate& c, const Candidate& running, bool running_fixed, bool running_olivia_entry) {
    const double apart = std::fabs(running.audio_hz - c.audio_hz);
    if (c.mode == Mode::OLIVIA && running_olivia_entry && apart <= 0.5 * running.bandwidth_hz) return true;
    return !running_fixed && running.mode == c.mode && apart < 0.5 * std::max(c.bandwidth_hz, running.bandwidth_hz);
}

bool fixed_mode_fits(Mode mode, const std::string& variant, const ClassifierTrack& t,
                     const std::vector<ClassifierTrack>& tracks) {
    if (t.mode != Mode::UNKNOWN) return t.mode == mode;
    if (t.kind == GroupKind::SINGLE) {
        const bool part_of_wider = std::any_of(tracks.begin(), tracks.end(), [&](const ClassifierTrack& u) {
            return u.track != t.track && u.kind != GroupKind::SINGLE && u.low_hz - kInsideMarginHz <= t.low_hz &&
                   t.high_hz <= u.high_hz + kInsideMarginHz;
        });
        if (part_of_wider) return false;
    }
    switch (mode) {
    case Mode::RTTY: {
        if (t.kind != GroupKind::FSK_PAIR) return false;
        const std::size_t slash = variant.find('/');
        if (slash == std::string::npos) return true;
        const double shift = std::strtod(variant.c_str() + slash + 1, nullptr);
        return !(shift > 0.0) || std::fabs(t.spacing_hz - shift) <= kShiftTolerance * shift;
    }
    case Mode::PSK31:
    case Mode::QPSK31:
    case Mode::PSK63:
    case Mode::CW: return t.kind == GroupKind::SINGLE && t.bandwidth_hz < kNarrowbandHz;
    case Mode::OLIVIA:
        return t.kind == GroupKind::TONE_COMB || (t.kind == GroupKind::SINGLE && t.bandwidth_hz >= kCombTestHz);
    default: return false;
    }
}

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

    // Finds and names the channel's signals (modes=auto), or follows the signals that fixed
    // keyboard-mode tracks listen to; null when neither is wanted.
    std::unique_ptr<ClassifierState> classifier;
    // The newest blocks (automatic mode), so that a modem started seconds after its signal
    // began can still hear the beginning.
    std::deque<AudioBlock> preroll;
    std::uint64_t preroll_samples = 0;

    explicit Impl(Config given) : config(std::move(given)), ring(ring_size(config.ring_seconds)), slots(kSlotCount) {
        static_cast<ChannelInfo&>(context) = config;
        context.image_dir = config.image_dir;
        if (!config.modes_auto) add_fixed_modes();
        add_olivia_entries();
        const bool follows = std::any_of(tracks.begin(), tracks.end(), [](const auto& entry) {
            return !entry.second.olivia_entry && keyboard_mode(entry.second.candidate.mode);
        });
        if (config.modes_auto || follows) {
            ClassifierConfig c;
            c.fft_size = 4096;
            c.hop = 1024;
            c.threshold_db = 6.0;
            c.min_hits = 4;
            c.hold_s = 3.0;
            c.low_hz = std::min(0.1 * config.bandwidth_hz, 200.0);
            c.high_hz = config.bandwidth_hz;
            c.verify = true;
            classifier = init_classifier(c);
        }
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
                tracks.emplace(id, Track{std::move(modem), c, c.audio_hz, true, 0, false, Mode::UNKNOWN, false, c.audio_hz, 0.0, {}, false});
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
            tracks.emplace(id, Track{std::move(modem), c, c.audio_hz, true, 0, true, Mode::UNKNOWN, false, c.audio_hz, 0.0, {}, false});
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

        // Kept for the modems that start on a signal found seconds after it began: those of an
        // automatic channel, and fixed ones that move to the signal the classifier found.
        if (classifier) keep_preroll(block);

        if (!started) {
            started = true;
            for (auto& [id, track] : tracks) {
                track.candidate.start_time = block.time;
                track.candidate.last_seen = block.time;
                candidates[id] = track.candidate;
                if (!track.olivia_entry) emit_track_event(block.time, EventKind::DETECTED, track.candidate);
            }
        }

        if (classifier) {
            const ClassifierResult result = classify(*classifier, block);
            if (config.modes_auto)
                follow_classified(result, end);
            else
                bind_fixed(result, end);
        }

        for (auto& [id, track] : tracks) run_modem(id, track, block, end);

        std::vector<Event> aged = assembler.flush_aged(end);
        for (Event& e : aged) {
            complete_aged(e, end);
            dispatch_event(e);
        }
        publish_snapshot();
    }

    void keep_preroll(const AudioBlock& block) {
        preroll.push_back(block);
        preroll_samples += block.samples.size();
        while (preroll.size() > 1 && preroll_samples - preroll.front().samples.size() >= kPrerollSamples) {
            preroll_samples -= preroll.front().samples.size();
            preroll.pop_front();
        }
    }

    // Moves a modem to a track's new frequency; moves of 1 Hz or less leave it alone.
    static void retune(Track& track, double audio_hz) {
        if (std::fabs(audio_hz - track.modem_hz) > 1.0) {
            track.modem->set_frequency(audio_hz);
            track.modem_hz = audio_hz;
        }
    }

    // Automatic mode: the classifier's tracks become candidates, named tracks get modems, lost
    // tracks end theirs.
    void follow_classified(const ClassifierResult& result, double end) {
        std::set<std::uint32_t> announce;
        for (const Candidate& c : result.started) {
            candidates[c.track] = c;
            announce.insert(c.track);
        }
        for (const Candidate& c : result.updated) {
            const auto found = candidates.find(c.track);
            const Candidate old = found == candidates.end() ? Candidate{} : found->second;
            Candidate& now = candidates[c.track];
            now = c;
            // A track once named never falls back to UNKNOWN.
            if (c.mode == Mode::UNKNOWN && old.mode != Mode::UNKNOWN) {
                now.mode = old.mode;
                now.variant = old.variant;
            }
        }
        for (const Candidate& c : result.classified) {
            candidates[c.track] = c;
            announce.insert(c.track);
            start_modem(c, true);
        }
        for (const std::uint32_t id : announce) emit_track_event(end, EventKind::DETECTED, candidates[id]);
        for (const Candidate& c : result.updated) {
            const auto track = tracks.find(c.track);
            if (track == tracks.end()) continue;
            track->second.candidate = candidates[c.track];
            retune(track->second, c.audio_hz);
        }
        for (const Candidate& c : result.lost) {
            const auto found = candidates.find(c.track);
            const Candidate r = found == candidates.end() ? c : found->second;
            std::vector<Event> pending = assembler.flush_track(c.track, end);
            dispatch_all(pending, r, end, r.audio_hz);
            emit_track_event(end, EventKind::LOST, r);
            tracks.erase(c.track);
            candidates.erase(c.track);
        }
        // A signal held back by another of its mode may start now that that one is gone.
        if (!result.lost.empty()) {
            const std::map<std::uint32_t, Candidate> known = candidates;
            for (const auto& [id, c] : known) start_modem(c, false);
        }
    }

    // Fixed keyboard-mode tracks follow the signal the classifier finds for them: only a signal
    // their modem can copy, never a lone tone of a wider signal. A track that follows a signal
    // the classifier has not named with its mode gives way to one it names so.
    void bind_fixed(const ClassifierResult& result, double end) {
        const auto bind = [&](const Candidate& c) {
            for (const auto& [id, track] : tracks)
                if (track.bound_track == c.track) return;
            const auto found = std::find_if(classifier->tracks.begin(), classifier->tracks.end(),
                                            [&](const ClassifierTrack& t) { return t.track == c.track; });
            if (found == classifier->tracks.end()) return;
            const auto bindable = [&](const Track& track) {
                if (!track.fixed || track.olivia_entry || !keyboard_mode(track.candidate.mode)) return false;
                if (track.bound_track != 0 && (c.mode != track.candidate.mode || track.bound_mode == c.mode))
                    return false;
                return fixed_mode_fits(track.candidate.mode, track.candidate.variant, *found, classifier->tracks);
            };
            // The first free track of the signal's mode when it is named, else the first free one.
            auto chosen = tracks.end();
            if (c.mode != Mode::UNKNOWN)
                chosen = std::find_if(tracks.begin(), tracks.end(), [&](const auto& entry) {
                    return bindable(entry.second) && entry.second.candidate.mode == c.mode;
                });
            if (chosen == tracks.end())
                chosen = std::find_if(tracks.begin(), tracks.end(), [&](const auto& entry) { return bindable(entry.second); });
            if (chosen == tracks.end()) return;
            Track& track = chosen->second;
            // A modem that was not listening inside the signal, or has copied nothing where it
            // was, starts afresh and hears the signal from its beginning, as an automatic
            // channel's modem does.
            const double apart = std::fabs(c.audio_hz - track.modem_hz);
            const bool elsewhere = apart > 0.5 * c.bandwidth_hz;
            const bool named_off = c.mode == track.candidate.mode && recopies(track, c);
            track.bound_track = c.track;
            track.bound_mode = c.mode;
            follow(track, c);
            // Held text the modem copied off this signal's centre goes too: the new one copies it again.
            if (named_off && apart <= c.bandwidth_hz) track.held.clear();
            track.bound_at = end;
            if (elsewhere || !track.printed || named_off) {
                restart_on(chosen->first, track, c);
            } else {
                track.modem->set_frequency(c.audio_hz);
                track.modem_hz = c.audio_hz;
            }
            candidates[chosen->first] = track.candidate;
            emit_track_event(end, EventKind::DETECTED, track.candidate);
        };
        for (const Candidate& c : result.started) bind(c);
        // The classifier may first see a weak signal beyond the modem's reach of its centre; the
        // modem bound to it then copied little or nothing of its beginning. When the signal is
        // named, the modem starts again at the centre found and hears it from its beginning, as
        // an automatic channel's modem, started only then, does.
        for (const Candidate& c : result.classified)
            for (auto& [id, track] : tracks) {
                if (track.bound_track != c.track || track.bound_mode == c.mode) continue;
                track.bound_mode = c.mode;
                if (c.mode != track.candidate.mode || !recopies(track, c)) continue;
                follow(track, c);
                track.held.clear();
                restart_on(id, track, c);
                candidates[id] = track.candidate;
            }
        for (const Candidate& c : result.classified) bind(c);
        for (const Candidate& c : result.updated) {
            for (auto& [id, track] : tracks) {
                if (track.bound_track != c.track) continue;
                // A signal once named keeps its name.
                if (c.mode != Mode::UNKNOWN) track.bound_mode = c.mode;
                follow(track, c);
                retune(track, c.audio_hz);
                candidates[id] = track.candidate;
            }
        }
        for (const Candidate& c : result.lost)
            for (auto& [id, track] : tracks)
                if (track.bound_track == c.track) {
                    track.bound_track = 0;
                    track.bound_mode = Mode::UNKNOWN;
                }
    }

    // A fixed track gets a new modem on the signal c that hears it from its beginning; what the
    // old one held back, heard elsewhere or before the signal was found, goes with it. An Olivia
    // modem is only moved: it is built for the variant it guessed from the whole channel.
    void restart_on(std::uint32_t id, Track& track, const Candidate& c) {
        track.modem_hz = c.audio_hz;
        std::unique_ptr<Modem> modem;
        if (track.candidate.mode != Mode::OLIVIA) modem = make_channel_modem(track.candidate.mode, track.candidate);
        if (!modem) {
            track.modem->set_frequency(c.audio_hz);
            return;
        }
        track.modem = std::move(modem);
        track.printed = false;
        track.passed_on = false;
        track.started_hz = c.audio_hz;
        if (!replay_preroll(*track.modem, c.start_time)) assembler.mark_late_start(id);
    }

    // Whether a fixed modem should start again on the named signal c and copy it afresh: it
    // started beyond its reach of c's centre and none of its copy has gone out yet (a second copy
    // of a line would follow it). An Olivia modem is never built anew, so it keeps its copy.
    static bool recopies(const Track& track, const Candidate& c) {
        return track.candidate.mode != Mode::OLIVIA && !track.passed_on &&
               std::fabs(c.audio_hz - track.started_hz) > kModemCaptureHz;
    }

    static void follow(Track& track, const Candidate& c) {
        track.candidate.audio_hz = c.audio_hz;
        if (c.bandwidth_hz > 0.0) track.candidate.bandwidth_hz = c.bandwidth_hz;
        track.candidate.snr_db = c.snr_db;
    }

    // Starts a modem for a named classifier track, unless the signal is already covered: by a
    // fixed Olivia decoder, or by a classifier track of the same mode within half the larger
    // bandwidth. With replay, the modem first hears the kept blocks from just before the signal
    // began; a line whose beginning it may have missed is marked so.
    void start_modem(const Candidate& c, bool replay) {
        if (c.mode == Mode::UNKNOWN || tracks.count(c.track) != 0) return;
        const double a = c.audio_hz;
        for (const auto& [id, track] : tracks)
            if (covered_by(c, track.candidate, track.fixed, track.olivia_entry)) return;
        std::unique_ptr<Modem> modem = make_channel_modem(c.mode, c);
        if (!modem) return;
        if (!replay || !replay_preroll(*modem, c.start_time)) assembler.mark_late_start(c.track);
        tracks.emplace(c.track, Track{std::move(modem), c, a, false, 0, false, Mode::UNKNOWN, false, a, 0.0, {}, false});
    }

    // Feeds a modem that starts on a signal now the kept blocks from just before the signal
    // began, all but the newest (the modem pass feeds that one). False when they do not reach
    // back that far or have a gap.
    bool replay_preroll(Modem& modem, double start_time) {
        const double from = start_time - kReplayLeadS;
        bool complete = !preroll.empty() && preroll.front().time <= from;
        for (std::size_t i = 0; i + 1 < preroll.size(); ++i) {
            const AudioBlock& kept = preroll[i];
            if (kept.time + static_cast<double>(kept.samples.size()) / kRateHz < from) continue;
            modem.process(kept);
            if (kept.discontinuity) complete = false;
        }
        return complete;
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

        if (!out.text.empty()) track.printed = true;
        if (holds_text(track, end)) {
            track.held += out.text;
            out.text.clear();
        } else if (!track.held.empty()) {
            out.text.insert(0, track.held);
            track.held.clear();
        }
        if (!out.text.empty()) {
            track.passed_on = true;
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

    // A fixed modem bound to a signal the classifier has not named may be listening
    // off its centre; its text waits for the name a while, to be dropped if the modem then starts
    // again at the centre.
    static bool holds_text(const Track& track, double end) {
        return track.fixed && track.bound_track != 0 && track.bound_mode == Mode::UNKNOWN &&
               end - track.bound_at < kNamingWaitS;
    }

    // Hands the held text of every fixed modem to the lines, at time t.
    void release_held(double t) {
        for (auto& [id, track] : tracks) {
            if (track.held.empty()) continue;
            track.passed_on = true;
            Candidate line = track.candidate;
            std::vector<Event> events = assembler.append(line, track.held, t);
            track.held.clear();
            dispatch_all(events, line, t, line.audio_hz);
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
    s.release_held(s.last_end);
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
