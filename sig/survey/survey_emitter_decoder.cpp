// One survey emitter's decoding: classify its audio, start the modem the classifier proposes,
// run it, gather its text into lines, and confirm or let go of the mode it locked on.

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <exception>
#include <string>

#include "core/log_line.hpp"
#include "sig/classifier.hpp"
#include "sig/default_analysis_config.hpp"
#include "sig/modems/modem_factory.hpp"
#include "sig/survey/merge_callsign_evidence.hpp"
#include "sig/survey/survey_engine_impl.hpp"

namespace sig {
namespace {

ClassifierConfig emitter_classifier_config() {
    ClassifierConfig c;
    c.fft_size = 4096;
    c.hop = 1024;
    c.threshold_db = 6.0;
    c.min_hits = 4;
    c.hold_s = 3.0;
    c.low_hz = 200.0;
    c.high_hz = 3000.0;
    c.verify = true;
    return c;
}

// The context an event is completed against when its track is gone.
Candidate empty_context() {
    Candidate c;
    c.audio_hz = SurveyEngine::EmitterDecoder::kAudioCentreHz;
    c.snr_2500_db = -999.0;
    return c;
}

bool picture_event(const Event& e) { return e.kind == EventKind::WEFAX_PROGRESS || e.kind == EventKind::WEFAX_IMAGE; }

std::uint32_t alphanumerics(const std::string& text) {
    return static_cast<std::uint32_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; }));
}

void print_failure(SurveyEngine::EmitterDecoder& d, const char* stage, const std::string& message) {
    if (d.error_reported) return;
    d.error_reported = true;
    char head[160];
    std::snprintf(head, sizeof head, "survey: %s error on emitter near %.0f Hz (", stage,
                  d.context.dial_hz + SurveyEngine::EmitterDecoder::kAudioCentreHz);
    log_line(std::string(head) + message + "); degrading to Unknown");
}

void drop_modem(SurveyEngine::EmitterDecoder& d) {
    d.modem.reset();
    d.active_track = 0;
}

void degrade(SurveyEngine::EmitterDecoder& d, const char* stage, const std::string& message) {
    print_failure(d, stage, message);
    d.degraded = true;
    d.locked = false;
    d.mode = 0;
    d.variant.clear();
    d.pending_mode = 0;
    drop_modem(d);
}

// Fills what the producer of an event left open from the track it belongs to, falling back to
// the decoder's locked mode and variant.
void complete_event(const SurveyEngine::EmitterDecoder& d, Event& e, const Candidate& context, double te,
                    double tracked_hz) {
    if (!(e.t > 0.0)) e.t = te;
    e.mode = context.mode != Mode::UNKNOWN ? context.mode : static_cast<Mode>(d.mode);
    if (e.variant.empty()) e.variant = !context.variant.empty() ? context.variant : d.variant;
    if (!(e.audio_hz > 0.0)) {
        if (tracked_hz > 0.0)
            e.audio_hz = tracked_hz;
        else if (context.audio_hz > 0.0)
            e.audio_hz = context.audio_hz;
        else
            e.audio_hz = SurveyEngine::EmitterDecoder::kAudioCentreHz;
    }
    e.rf_hz = d.context.usb ? d.context.dial_hz + e.audio_hz : d.context.dial_hz - e.audio_hz;
    if (!(e.bw_hz > 0.0)) e.bw_hz = context.bandwidth_hz;
    if (e.snr == 0.0) e.snr = context.snr_2500_db > -900.0 ? context.snr_2500_db : context.snr_db;
    e.track = context.track;
}

void deliver(SurveyEngine::EmitterDecoder& d, std::vector<Event>& produced, const Candidate& context, double te,
             double tracked_hz, std::vector<Event>& events) {
    for (Event& e : produced) {
        complete_event(d, e, context, te, tracked_hz);
        merge_callsign_evidence(d, e);
        events.push_back(std::move(e));
    }
}

// Lines finished while the decoder hears no more (aged, or all of them at release) belong to
// their own track's record, or to the emitter alone once that track is gone.
void deliver_aged(SurveyEngine::EmitterDecoder& d, std::vector<Event>& aged, double te, std::vector<Event>& events) {
    for (Event& e : aged) {
        const auto found = d.tracks.find(e.track);
        Candidate context = found != d.tracks.end() ? found->second : empty_context();
        if (found == d.tracks.end()) context.track = 0;
        std::vector<Event> one{std::move(e)};
        deliver(d, one, context, te, 0.0, events);
    }
}

void keep_preroll(SurveyEngine::EmitterDecoder& d) {
    d.preroll.push_back(d.block);
    d.preroll_samples += d.block.samples.size();
    while (d.preroll.size() > 1 &&
           d.preroll_samples - d.preroll.front().samples.size() >= SurveyEngine::EmitterDecoder::kPrerollSamples) {
        d.preroll_samples -= d.preroll.front().samples.size();
        d.preroll.pop_front();
    }
}

// A modem started for a track first hears the kept audio from just before the track began (all
// but the newest block, which it hears next anyway); a line whose beginning it may have missed
// is marked so.
void replay_preroll(SurveyEngine::EmitterDecoder& d, const Candidate& c) {
    const double from = c.start_time - SurveyEngine::EmitterDecoder::kReplayLeadS;
    bool complete = !d.preroll.empty() && d.preroll.front().time <= from;
    for (std::size_t i = 0; i + 1 < d.preroll.size(); ++i) {
        const AudioBlock& kept = d.preroll[i];
        const double end = kept.time + static_cast<double>(kept.samples.size()) / SurveyEngine::EmitterDecoder::kAudioRateHz;
        if (end < from) continue;
        d.modem->process(kept);
        if (kept.discontinuity) complete = false;
    }
    if (!complete) d.assembler.mark_late_start(c.track);
}

std::string exception_text() {
    try {
        throw;
    } catch (const std::exception& error) {
        return error.what();
    } catch (...) {
        return "unknown error";
    }
}

}  // namespace

SurveyEngine::EmitterDecoder::EmitterDecoder(double rf_hz, const std::string& image_dir)
    : classifier(std::make_unique<ClassifierState>(emitter_classifier_config())),
      assembler(LineAssembler::kIdleFlushS, LineAssembler::kMaxLineChars, LineAssembler::kMinCallConf, 300.0) {
    context.channel = "survey";
    context.usb = true;
    context.dial_hz = rf_hz - kAudioCentreHz;
    context.bandwidth_hz = 3000.0;
    context.image_dir = image_dir;
    default_analysis_config(settings);
}

void SurveyEngine::Impl::take_classification(EmitterDecoder& d, const ClassifierResult& result, double te,
                                             std::vector<Event>& events) {
    for (const Candidate& c : result.started) d.tracks[c.track] = c;
    for (const Candidate& c : result.updated) {
        Candidate& record = d.tracks[c.track];
        const Mode known_mode = record.mode;
        std::string known_variant = record.variant;
        record = c;
        if (c.mode == Mode::UNKNOWN) {
            record.mode = known_mode;
            record.variant = std::move(known_variant);
        }
    }
    for (const Candidate& c : result.classified) {
        d.tracks[c.track] = c;
        if (c.mode == Mode::UNKNOWN || d.locked) continue;
        if (d.modem) {
            // The emitter sits at the audio centre; anything else in its audio is a part of it
            // (a lone tone of an FSK signal) or a neighbour. A modem that has not locked gives
            // way to a track nearer the centre, else it would hold the decoder for as long as
            // that part is heard and the emitter itself would never be decoded.
            const auto active = d.tracks.find(d.active_track);
            if (active != d.tracks.end() &&
                !(std::abs(c.audio_hz - EmitterDecoder::kAudioCentreHz) <
                  std::abs(active->second.audio_hz - EmitterDecoder::kAudioCentreHz)))
                continue;
            if (active != d.tracks.end()) {
                try {
                    std::vector<Event> pending = d.assembler.flush_track(d.active_track, te);
                    deliver(d, pending, active->second, te, 0.0, events);
                } catch (...) {
                    // The line of the track given up goes; the decoder goes on.
                }
            }
        }
        try {
            std::unique_ptr<Modem> modem = make_modem(c.mode, c, d.settings, d.context);
            if (!modem) continue;
            d.modem = std::move(modem);
            replay_preroll(d, c);
            d.active_track = c.track;
            d.modem_hz = c.audio_hz;
            d.pending_mode = static_cast<std::uint32_t>(c.mode);
            d.pending_variant = c.variant;
            d.candidate_quality = c.quality;
            d.alnum_count = 0;
        } catch (...) {
            print_failure(d, "modem build", exception_text());
            drop_modem(d);
            d.pending_mode = 0;
        }
    }

    for (const Candidate& c : result.lost) {
        const auto found = d.tracks.find(c.track);
        if (c.track == d.active_track && d.active_track != 0) {
            const Candidate context = found != d.tracks.end() ? found->second : c;
            try {
                std::vector<Event> pending = d.assembler.flush_track(c.track, te);
                deliver(d, pending, context, te, 0.0, events);
            } catch (...) {
                // The lost track's last line goes; the decoder goes on.
            }
            drop_modem(d);
            if (!d.locked) d.pending_mode = 0;
        }
        if (found != d.tracks.end()) d.tracks.erase(found);
    }
}

void SurveyEngine::Impl::decode_emitter(double t, EmitterDecoder& d, const std::vector<float>& audio,
                                        std::vector<Event>& events) {
    if (audio.empty() || d.degraded) return;
    d.block.samples.assign(audio.begin(), audio.end());
    d.block.time = t;
    d.block.discontinuity = d.discontinuity;
    d.discontinuity = false;
    d.block.sequence = ++d.block_counter;
    const double te = t + static_cast<double>(audio.size()) / EmitterDecoder::kAudioRateHz;
    keep_preroll(d);

    ClassifierResult result;
    try {
        result = classify(*d.classifier, d.block);
    } catch (...) {
        degrade(d, "classifier", exception_text());
        return;
    }
    take_classification(d, result, te, events);

    if (d.modem) {
        try {
            const auto found = d.tracks.find(d.active_track);
            Candidate context = found != d.tracks.end() ? found->second : empty_context();
            if (std::abs(context.audio_hz - d.modem_hz) > 1.0) {
                d.modem->set_frequency(context.audio_hz);
                d.modem_hz = context.audio_hz;
            }
            d.modem->process(d.block);
            ModemOutput out = d.modem->take_output();
            if (out.frequency_hz > 0.0) context.audio_hz = out.frequency_hz;

            // Only a block that brought text (or a picture) confirms the lock, so a decoder whose
            // signal fell silent lets go of its mode once the hold runs out.
            const bool has_text = !out.text.empty();
            if (has_text) d.alnum_count += alphanumerics(out.text);
            const bool picture = std::any_of(out.events.begin(), out.events.end(), picture_event);
            if ((has_text && d.alnum_count > 2) || picture) {
                d.locked = true;
                d.mode = static_cast<std::uint32_t>(d.modem->mode());
                d.variant = d.pending_variant;
                d.lock_time = te;
                d.quality = std::max(out.quality, d.candidate_quality);
            }

            if (has_text) {
                d.text += out.text;
                if (d.text.size() > EmitterDecoder::kTextLimit) d.text.erase(0, d.text.size() - EmitterDecoder::kTextKept);
                std::vector<Event> lines = d.assembler.append(context, out.text, te);
                deliver(d, lines, context, te, out.frequency_hz, events);
            }
            deliver(d, out.events, context, te, out.frequency_hz, events);
        } catch (...) {
            degrade(d, "modem", exception_text());
        }
    }

    if (d.locked && te - d.lock_time > EmitterDecoder::kLockHoldS) {
        d.locked = false;
        d.mode = 0;
        d.variant.clear();
        d.pending_mode = 0;
        d.alnum_count = 0;
        drop_modem(d);
    }

    try {
        std::vector<Event> aged = d.assembler.flush_aged(te);
        deliver_aged(d, aged, te, events);
    } catch (...) {
        // Aged lines that cannot be finished are dropped.
    }
}

void SurveyEngine::Impl::finish_lines(EmitterDecoder& d, double t, std::vector<Event>& events) {
    // Every line, Olivia's too, has been idle long enough by then; each keeps the time of its
    // last text.
    constexpr double kBeyondEveryIdleS = LineAssembler::kOliviaIdleS + LineAssembler::kIdleFlushS;
    std::vector<Event> rest = d.assembler.flush_aged(t + kBeyondEveryIdleS);
    deliver_aged(d, rest, t, events);
}

}  // namespace sig
