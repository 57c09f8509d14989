#include "sig/survey/survey_engine.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <numbers>
#include <stdexcept>
#include <string>
#include <utility>

#include "core/log_line.hpp"
#include "core/sig/signal_class.hpp"
#include "sig/survey/classify_survey_emitter.hpp"
#include "sig/survey/ham_band.hpp"
#include "sig/survey/survey_engine_impl.hpp"
#include "sig/survey/survey_history_features.hpp"
#include "sig/survey/survey_spectrum_stats.hpp"
#include "sig/survey/update_decodable_streak.hpp"

namespace sig {
namespace {

constexpr double kTwoPi = 2.0 * std::numbers::pi;
constexpr double kFloorSegmentHz = 60000.0;
// Half the width of the bracket around a segment's last floor in which its new floor is sought
// first (a fraction of the last floor); any width gives the same floor, this one mostly finds
// it there.
constexpr float kFloorBracket = 0.05f;
constexpr double kRunGapHz = 300.0;
constexpr double kEdgeFraction = 0.005;
constexpr double kSmoothing = 0.3;  // how far a matched emitter moves towards its candidate
constexpr double kAudioPassbandHz = 7600.0;
constexpr double kMinWidebandRateHz = 24000.0;
constexpr double kMaxWidebandRateHz = 64000.0;
constexpr double kWidebandRebuild = 0.2;  // relative change of the wideband rate that rebuilds
constexpr double kReportSpanS = 3.0;
constexpr std::int32_t kReportHits = 12;
constexpr double kReportMarginDb = 2.0;
constexpr double kSteadyFraction = 0.7;

int fft_length(int requested) {
    int n = 256;
    while (n < requested) n *= 2;
    return n;
}

double db(double power) { return 10.0 * std::log10(std::max(power, 1e-30)); }

}  // namespace

SurveyEngine::Impl::Impl(Config given) : config(std::move(given)) {
    if (!(config.rate > 0.0) || !std::isfinite(config.rate))
        throw std::invalid_argument("Survey engine rate must be positive");
    n = fft_length(config.fft_size);
    hop = config.hop >= 1 ? std::min(config.hop, n) : n / 2;
    half = n / 2;
    bin_hz = config.rate / n;
    window.resize(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) window[static_cast<std::size_t>(i)] = static_cast<float>(0.5 - 0.5 * std::cos(kTwoPi * i / n));
    spectrum.assign(static_cast<std::size_t>(n), 0.0f);
    floor.assign(static_cast<std::size_t>(n), 0.0f);
    fft.complex_data(static_cast<std::size_t>(n));  // plan once, before the first block
}

void SurveyEngine::Impl::process(const std::complex<float>* samples, std::size_t count, double t) {
    if (count == 0 || samples == nullptr) return;
    // A time that is not a number would stall every clock after it; the block continues the
    // previous one instead.
    if (!std::isfinite(t)) t = last_end;
    last_end = t + static_cast<double>(count) / config.rate;
    std::vector<Event> events;
    try {
        if (first_block_t == 0.0) first_block_t = t;
        // One non-finite sample would stay in the recursive spectrum average for ever and in the
        // extractors' delay lines; it counts as silence.
        clean.assign(samples, samples + count);
        for (std::complex<float>& x : clean)
            if (!std::isfinite(x.real()) || !std::isfinite(x.imag())) x = {0.0f, 0.0f};

        if (accumulator_used == accumulator.size()) {
            accumulator.clear();
            accumulator_used = 0;
            accumulator_t = t;
        }
        accumulator.insert(accumulator.end(), clean.begin(), clean.end());
        while (accumulator.size() - accumulator_used >= static_cast<std::size_t>(n)) {
            frame_t = accumulator_t + static_cast<double>(half) / config.rate;
            spectrum_frame();
            update_floor();
            if (frames >= 8) {
                detect();
                associate();
                create();
                age();
            }
            accumulator_used += static_cast<std::size_t>(hop);
            accumulator_t += static_cast<double>(hop) / config.rate;
        }
        accumulator.erase(accumulator.begin(), accumulator.begin() + static_cast<std::ptrdiff_t>(accumulator_used));
        accumulator_used = 0;

        rank();
        choose_work(t);
        for (Emitter& e : emitters) {
            if (!e.selected && !e.has_work) continue;
            emitter_work(e, clean.data(), count, t, events);
        }
        feature_pass(t);
    } catch (const std::exception& error) {
        log_line(std::string("survey: block processing error (") + error.what() + "); skipping this block");
    } catch (...) {
        log_line("survey: unknown block processing error; skipping this block");
    }
    // The lines of decoders let go during the block came before its own.
    if (!released.empty()) {
        events.insert(events.begin(), std::make_move_iterator(released.begin()), std::make_move_iterator(released.end()));
        released.clear();
    }
    publish(events);
}

void SurveyEngine::Impl::spectrum_frame() {
    std::complex<float>* work = fft.complex_data(static_cast<std::size_t>(n));
    const std::complex<float>* in = accumulator.data() + accumulator_used;
    for (int i = 0; i < n; ++i) work[i] = in[i] * window[static_cast<std::size_t>(i)];
    fft.complex_forward(static_cast<std::size_t>(n));
    ++frames;
    const float a = frames < 9 ? 1.0f / static_cast<float>(frames) : 0.06f;
    // Centred order: the upper half of the transform (negative frequencies) first. Two loops, not
    // an index modulo n per bin.
    for (int i = 0; i < half; ++i) {
        float& s = spectrum[static_cast<std::size_t>(i)];
        s += a * (std::norm(work[i + half]) - s);
    }
    for (int i = half; i < n; ++i) {
        float& s = spectrum[static_cast<std::size_t>(i)];
        s += a * (std::norm(work[i - half]) - s);
    }
}

namespace {

// The element a sorted order puts at rank floor(0.25 (m - 1)) of the m values: the same value
// a partial sort of all of them gives. The spectrum moves little from frame to frame, so a
// segment's quartile is near its last one (`guess`): one pass counts the values below a narrow
// bracket around the guess and gathers those inside it, and when the rank falls inside, only
// the gathered few are partially sorted. Otherwise, and whenever a value is not ordered (NaN),
// all m are.
float lower_quartile(const float* values, std::size_t m, float guess, std::vector<float>& scratch) {
    scratch.resize(m);
    const auto rank = static_cast<std::size_t>(std::floor(0.25 * static_cast<double>(m - 1)));
    if (guess > 0.0f && std::isfinite(guess)) {
        const float lo = guess * (1.0f - kFloorBracket);
        const float hi = guess * (1.0f + kFloorBracket);
        std::size_t below = 0, inside = 0, above = 0;
        for (std::size_t i = 0; i < m; ++i) {
            const float x = values[i];
            // Without branches (not even for the two bounds): whether a value falls below,
            // inside or above is noise to the predictor.
            scratch[inside] = x;
            below += x < lo;
            inside += static_cast<std::size_t>(x >= lo) & static_cast<std::size_t>(x <= hi);
            above += x > hi;
        }
        if (below + inside + above == m && below <= rank && rank < below + inside) {
            const auto nth = scratch.begin() + static_cast<std::ptrdiff_t>(rank - below);
            std::nth_element(scratch.begin(), nth, scratch.begin() + static_cast<std::ptrdiff_t>(inside));
            return *nth;
        }
    }
    std::copy(values, values + m, scratch.begin());
    const auto nth = scratch.begin() + static_cast<std::ptrdiff_t>(rank);
    std::nth_element(scratch.begin(), nth, scratch.end());
    return *nth;
}

}  // namespace

void SurveyEngine::Impl::update_floor() {
    const int least = n < 544 ? 16 : n / 32;
    const int width = std::min(n, std::max(least, static_cast<int>(std::ceil(kFloorSegmentHz / bin_hz))));
    for (int start = 0; start < n; start += width) {
        const int end = std::min(n, start + width);
        const float level = lower_quartile(spectrum.data() + start, static_cast<std::size_t>(end - start),
                                           floor[static_cast<std::size_t>(start)], floor_scratch);
        std::fill(floor.begin() + start, floor.begin() + end, level);
    }
}

void SurveyEngine::Impl::detect() {
    candidates.clear();
    const double factor = std::pow(10.0, config.min_snr_db / 10.0);
    const int gap = std::max(1L, std::lround(kRunGapHz / bin_hz));
    const auto above = [&](int i) {
        return static_cast<double>(spectrum[static_cast<std::size_t>(i)]) > factor * floor[static_cast<std::size_t>(i)];
    };
    int i = 2;
    while (i < n - 2) {
        if (!above(i)) {
            ++i;
            continue;
        }
        const int s = i;
        int e = i;
        for (int k = s + 1; k < n - 2; ++k) {
            if (above(k))
                e = k;
            else if (k - e >= gap)
                break;
        }
        double excess = 0.0;
        int peak = s;
        for (int k = s; k <= e; ++k) {
            const double v = spectrum[static_cast<std::size_t>(k)];
            excess += std::max(v - static_cast<double>(floor[static_cast<std::size_t>(k)]), 0.0);
            if (v > spectrum[static_cast<std::size_t>(peak)]) peak = k;
        }
        Candidate3 c;
        c.snr_db = db(spectrum[static_cast<std::size_t>(peak)]) - db(floor[static_cast<std::size_t>(peak)]);
        if (!(excess > 0.0)) {
            c.centre_hz = (peak - half) * bin_hz;
            c.bandwidth_hz = bin_hz;
        } else {
            double low = (s - half) * bin_hz;
            double high = (e - half) * bin_hz;
            bool low_found = false;
            double running = 0.0;
            for (int k = s; k <= e; ++k) {
                running += std::max(static_cast<double>(spectrum[static_cast<std::size_t>(k)]) -
                                        static_cast<double>(floor[static_cast<std::size_t>(k)]),
                                    0.0);
                if (!low_found && running >= kEdgeFraction * excess) {
                    low = (k - half) * bin_hz - bin_hz / 2.0;
                    low_found = true;
                }
                if (running >= (1.0 - kEdgeFraction) * excess) {
                    high = (k - half) * bin_hz + bin_hz / 2.0;
                    break;
                }
            }
            c.bandwidth_hz = std::max(high - low, bin_hz);
            c.centre_hz = (low + high) / 2.0;
        }
        candidates.push_back(c);
        i = e + 1;
    }
}

void SurveyEngine::Impl::associate() {
    for (Emitter& e : emitters) e.matched = false;
    for (Emitter& e : emitters) {
        const double limit = config.association_hz > 0.0 ? config.association_hz : std::max(3.0 * bin_hz, 0.5 * e.bandwidth_hz);
        Candidate3* best = nullptr;
        double best_distance = 0.0;
        for (Candidate3& c : candidates) {
            if (c.claimed) continue;
            const double distance = std::abs(c.centre_hz - e.frequency_hz);
            if (!(distance < limit)) continue;
            if (best == nullptr || distance < best_distance) {
                best = &c;
                best_distance = distance;
            }
        }
        if (best == nullptr) {
            if (e.recent_frames < kRecentFrames)
                ++e.recent_frames;
            else if (e.recent_hits > 0)
                --e.recent_hits;
            continue;
        }
        best->claimed = true;
        e.matched = true;
        if (e.recent_frames < kRecentFrames) ++e.recent_frames;
        e.frequency_hz += kSmoothing * (best->centre_hz - e.frequency_hz);
        e.bandwidth_hz += kSmoothing * (best->bandwidth_hz - e.bandwidth_hz);
        e.snr_db += kSmoothing * (best->snr_db - e.snr_db);
        ++e.hits;
        e.last_seen = frame_t;
        if (e.recent_hits < e.recent_frames) ++e.recent_hits;
        if (e.hits >= config.confirm_hits) e.confirmed = true;
    }
}

void SurveyEngine::Impl::create() {
    for (const Candidate3& c : candidates) {
        if (c.claimed || c.snr_db < config.min_snr_db + kCreationMarginDb) continue;
        const bool crowded = std::any_of(emitters.begin(), emitters.end(), [&](const Emitter& e) {
            return std::abs(c.centre_hz - e.frequency_hz) < kCreationSpacingHz;
        });
        if (crowded) continue;
        Emitter e;
        e.id = next_id++;
        e.frequency_hz = c.centre_hz;
        e.bandwidth_hz = c.bandwidth_hz;
        e.snr_db = c.snr_db;
        e.first_seen = frame_t;
        e.last_seen = frame_t;
        emitters.push_back(std::move(e));
    }
}

void SurveyEngine::Impl::age() {
    for (Emitter& e : emitters)
        if (frame_t - e.last_seen > config.timeout_s) release_decoder(e);
    std::erase_if(emitters, [&](const Emitter& e) { return frame_t - e.last_seen > config.timeout_s; });
}

void SurveyEngine::Impl::release_decoder(Emitter& e) {
    if (!e.decoder) return;
    try {
        finish_lines(*e.decoder, e.decode_clock, released);
        e.calls = e.decoder->calls;
    } catch (...) {
        // Lines that cannot be finished go with the decoder.
    }
    e.heard_until = e.decode_clock;
    e.decoder.reset();
}

void SurveyEngine::Impl::flush(std::vector<Event>& events) {
    for (Emitter& e : emitters) {
        if (!e.decoder) continue;
        try {
            finish_lines(*e.decoder, e.decode_clock, events);
            e.calls = e.decoder->calls;
        } catch (...) {
            // This emitter's lines are lost; the others still finish.
        }
    }
}

void SurveyEngine::Impl::rank() {
    std::vector<Emitter*> ranked;
    for (Emitter& e : emitters) {
        if (e.confirmed)
            ranked.push_back(&e);
        else
            e.selected = false;
    }
    std::stable_sort(ranked.begin(), ranked.end(), [](const Emitter* a, const Emitter* b) {
        if (a->snr_db != b->snr_db) return a->snr_db > b->snr_db;
        return a->first_seen > b->first_seen;
    });
    const std::size_t cap = static_cast<std::size_t>(std::max(config.max_decoders, 0));
    for (std::size_t i = 0; i < ranked.size(); ++i) {
        Emitter& e = *ranked[i];
        e.selected = i < cap;
        if (!e.selected) release_decoder(e);
    }
}

void SurveyEngine::Impl::choose_work(double t) {
    std::vector<Emitter*> waiting;
    for (Emitter& e : emitters) {
        e.has_work = e.selected;
        if (e.confirmed && !e.selected && e.bandwidth_hz <= kFeatureMaxHz) waiting.push_back(&e);
    }
    if (!waiting.empty()) {
        const std::size_t count = waiting.size();
        std::size_t from = 0;
        std::size_t to = std::min(count, kFeatureGroup);
        const double elapsed = t - first_block_t;
        if (elapsed > 0.0) {
            const std::size_t groups = (count + kFeatureGroup - 1) / kFeatureGroup;
            const std::size_t k = static_cast<std::size_t>(std::floor(elapsed / kFeatureWindowS)) % groups;
            from = kFeatureGroup * k;
            to = std::min(from + kFeatureGroup, count);
        }
        for (std::size_t i = from; i < to; ++i) waiting[i]->has_work = true;
    }
    for (Emitter& e : emitters) {
        if (e.has_work) continue;
        e.audio.reset();
        e.wide.reset();
        e.history.clear();
        e.recent_audio.clear();
        e.decodable_streak = 0;
    }
}

void SurveyEngine::Impl::emitter_work(Emitter& e, const std::complex<float>* samples, std::size_t count, double t,
                                      std::vector<Event>& events) {
    try {
        if (!e.audio)
            e.audio = std::make_unique<EmitterExtractor>(config.rate, e.frequency_hz, EmitterDecoder::kAudioRateHz,
                                                         kAudioPassbandHz);
        else if (std::abs(e.audio->mixing_offset() - e.frequency_hz) > (e.decoder ? kDecoderRetuneHz : kRetuneHz)) {
            // A retune moves everything in the audio. A running decoder's classifier and modem
            // follow a signal inside its audio but not a jump of the whole audio, and the
            // frequency of an MFSK emitter swings with the tone it sends by far more than a
            // retune step: so the decoder keeps its tuning until the emitter has moved away
            // from it for real, and then a new decoder starts at the new tuning.
            release_decoder(e);
            e.audio->retune(e.frequency_hz);
            e.recent_audio.clear();
        }
        const bool fresh = e.selected && !e.decoder;
        if (fresh) {
            // The decoder's dial is where the extractor puts 1500 Hz of its audio.
            e.decoder_rf_hz = config.center_hz + e.audio->mixing_offset();
            e.decoder = std::make_unique<EmitterDecoder>(e.decoder_rf_hz, config.image_dir);
            e.decode_clock = t;
        }
        scratch_iq.clear();
        scratch_audio.clear();
        if (e.bandwidth_hz > kWidebandHz) {
            const double r = std::clamp(2.0 * e.bandwidth_hz, kMinWidebandRateHz, kMaxWidebandRateHz);
            if (!e.wide || std::abs(r - e.history_rate) > kWidebandRebuild * r) {
                e.wide = std::make_unique<EmitterExtractor>(config.rate, e.frequency_hz, r, 0.9 * r);
                e.history_rate = r;
                e.history.clear();
            } else if (std::abs(e.wide->mixing_offset() - e.frequency_hz) > kRetuneHz) {
                e.wide->retune(e.frequency_hz);
            }
            std::vector<float> discarded;
            e.wide->process(samples, count, discarded, &scratch_iq);
            if (e.selected) e.audio->process(samples, count, scratch_audio, nullptr);
        } else {
            e.wide.reset();
            if (e.history_rate != EmitterDecoder::kAudioRateHz) e.history.clear();
            e.history_rate = EmitterDecoder::kAudioRateHz;
            e.audio->process(samples, count, scratch_audio, &scratch_iq);
        }
        e.history.insert(e.history.end(), scratch_iq.begin(), scratch_iq.end());
        // Trimmed in steps, not every block: what counts is the latest second (latest_history).
        const std::size_t keep = history_length(e);
        if (e.history.size() > 2 * keep)
            e.history.erase(e.history.begin(), e.history.end() - static_cast<std::ptrdiff_t>(keep));

        // A new decoder first hears what the emitter sent just before it was made, except what
        // an earlier decoder of the emitter heard: each stretch of an emitter's audio is decoded
        // once, however often ranking hands its decoder round.
        const std::vector<float>* decoder_audio = &scratch_audio;
        if (fresh && !e.recent_audio.empty() && !scratch_audio.empty() &&
            std::abs(t - e.recent_audio_end) <= kClockJumpS) {
            const double unheard_s = std::clamp(t - e.heard_until, 0.0, kDecoderPrerollS);
            const std::size_t kept = std::min(e.recent_audio.size(),
                                              static_cast<std::size_t>(std::lround(unheard_s * EmitterDecoder::kAudioRateHz)));
            if (kept > 0) {
                e.decode_clock = t - static_cast<double>(kept) / EmitterDecoder::kAudioRateHz;
                preroll_audio.assign(e.recent_audio.end() - static_cast<std::ptrdiff_t>(kept), e.recent_audio.end());
                preroll_audio.insert(preroll_audio.end(), scratch_audio.begin(), scratch_audio.end());
                decoder_audio = &preroll_audio;
            }
        }
        keep_recent_audio(e, t);

        if (e.selected && e.decoder && !scratch_audio.empty()) {
            // Samples lost before the survey, or a clock step, leave the decoder's clock behind
            // the block: it takes the block's time and hears the block as a fresh start.
            if (!fresh && std::abs(t - e.decode_clock) > kClockJumpS) {
                e.decode_clock = t;
                e.decoder->discontinuity = true;
            }
            decode_emitter(e.decode_clock, *e.decoder, *decoder_audio, events);
            e.mode = static_cast<std::int32_t>(e.decoder->mode);
            e.variant = e.decoder->variant;
            e.quality = e.decoder->quality;
            e.locked = e.decoder->locked;
            e.text = e.decoder->text;
            e.calls = e.decoder->calls;
            e.decode_clock += static_cast<double>(decoder_audio->size()) / EmitterDecoder::kAudioRateHz;
        }
    } catch (...) {
        e.audio.reset();
        release_decoder(e);
        e.selected = false;
        e.mode = 0;
        e.locked = false;
        try {
            throw;
        } catch (const std::exception& error) {
            char head[96];
            std::snprintf(head, sizeof head, "survey: emitter %llu extraction error (",
                          static_cast<unsigned long long>(e.id));
            log_line(std::string(head) + error.what() + "); dropping its decoder");
        } catch (...) {
        }
    }
}

std::size_t SurveyEngine::Impl::history_length(const Emitter& e) {
    return static_cast<std::size_t>(std::floor(e.history_rate));
}

void SurveyEngine::Impl::keep_recent_audio(Emitter& e, double t) {
    // Only audio that runs on without a gap is kept.
    if (scratch_audio.empty() || (!e.recent_audio.empty() && std::abs(t - e.recent_audio_end) > kClockJumpS)) {
        e.recent_audio.clear();
        if (scratch_audio.empty()) return;
    }
    e.recent_audio.insert(e.recent_audio.end(), scratch_audio.begin(), scratch_audio.end());
    e.recent_audio_end = t + static_cast<double>(scratch_audio.size()) / EmitterDecoder::kAudioRateHz;
    // Trimmed in steps, not every block.
    const auto keep = static_cast<std::size_t>(kDecoderPrerollS * EmitterDecoder::kAudioRateHz);
    if (e.recent_audio.size() > 2 * keep)
        e.recent_audio.erase(e.recent_audio.begin(), e.recent_audio.end() - static_cast<std::ptrdiff_t>(keep));
}

void SurveyEngine::Impl::feature_pass(double t) {
    for (Emitter& e : emitters) {
        if (!e.confirmed || !(t - e.last_feature_t >= kFeatureIntervalS)) continue;
        e.last_feature_t = t;
        try {
            const SurveyBandStats stats = survey_spectrum_stats(spectrum.data(), spectrum.size(), bin_hz,
                                                                half + e.frequency_hz / bin_hz, e.bandwidth_hz);
            const std::size_t length = std::min(e.history.size(), history_length(e));
            const SurveyEnvelopeFeatures features = survey_history_features(
                e.history_rate, e.bandwidth_hz, e.history.data() + (e.history.size() - length), length);
            e.signal_class = static_cast<std::int32_t>(
                classify_survey_emitter(stats, features, static_cast<SignalClass>(e.signal_class)));
            if (features.valid)
                update_decodable_streak(stats, features, t, emitters.size(), e.decodable_streak, e.keying_rate_hz,
                                        e.decodable_until);
        } catch (...) {
            e.signal_class = 0;
        }
    }
}

std::vector<EmitterReport> SurveyEngine::Impl::collect_reports() {
    std::vector<EmitterReport> reports;
    for (const Emitter& e : emitters) {
        if (!e.confirmed) continue;
        if (!e.locked) {
            const bool decodable = e.decodable_until >= frame_t && e.decodable_until > 0.0;
            if (!decodable || !(e.last_seen - e.first_seen >= kReportSpanS) || e.hits < kReportHits ||
                !(e.snr_db >= config.min_snr_db + kReportMarginDb))
                continue;
        }
        EmitterReport r;
        r.id = e.id;
        r.rf_hz = config.center_hz + e.frequency_hz;
        r.offset_hz = e.frequency_hz;
        r.bw_hz = e.bandwidth_hz;
        r.snr = e.snr_db;
        r.first_seen = e.first_seen;
        r.last_seen = e.last_seen;
        r.steady = e.recent_frames > 0 &&
                   static_cast<double>(e.recent_hits) / static_cast<double>(e.recent_frames) > kSteadyFraction;
        r.mode = static_cast<std::uint32_t>(e.mode);
        r.variant = e.variant;
        r.quality = e.quality;
        r.locked = e.locked;
        r.signal_class = static_cast<std::uint32_t>(e.signal_class);
        r.category = in_ham_band(r.rf_hz) ? 0u : 1u;
        r.text = e.text;
        r.calls = e.calls;
        r.decoding = e.selected;
        reports.push_back(std::move(r));
    }
    ReportCounts c;
    c.reported = reports.size();
    c.decoding = static_cast<std::uint64_t>(std::count_if(reports.begin(), reports.end(), [](const EmitterReport& r) {
        return r.decoding;
    }));
    c.not_decoding = c.reported - c.decoding;
    std::lock_guard<std::mutex> lock(state_mutex);
    counts = c;
    return reports;
}

void SurveyEngine::Impl::publish(std::vector<Event>& events) {
    try {
        std::vector<EmitterReport> reports = collect_reports();
        std::lock_guard<std::mutex> lock(state_mutex);
        published = std::move(reports);
        pending.insert(pending.end(), events.begin(), events.end());
    } catch (const std::exception& error) {
        log_line(std::string("survey: block processing error (") + error.what() + "); skipping this block");
        return;
    }
    if (!config.on_event) return;
    for (const Event& e : events) {
        try {
            config.on_event(e);
        } catch (...) {
            // The callback's failure is its own; the survey goes on.
        }
    }
}

SurveyEngine::SurveyEngine(Config config) : impl_(std::make_unique<Impl>(std::move(config))) {}

SurveyEngine::~SurveyEngine() = default;

void SurveyEngine::flush() {
    std::vector<Event> events;
    impl_->flush(events);
    impl_->publish(events);
}

void SurveyEngine::process_block(const std::complex<float>* samples, std::size_t n, double t) {
    impl_->process(samples, n, t);
}

std::vector<EmitterReport> SurveyEngine::emitters() const {
    std::lock_guard<std::mutex> lock(impl_->state_mutex);
    return impl_->published;
}

SurveyEngine::ReportCounts SurveyEngine::report_counts() const {
    std::lock_guard<std::mutex> lock(impl_->state_mutex);
    return impl_->counts;
}

std::vector<Event> SurveyEngine::take_events() {
    std::lock_guard<std::mutex> lock(impl_->state_mutex);
    return std::exchange(impl_->pending, {});
}

}  // namespace sig
