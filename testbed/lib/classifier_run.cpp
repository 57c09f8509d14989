#include "testbed/lib/classifier_run.hpp"

#include <algorithm>
#include <cmath>

#include "sig/classifier.hpp"

namespace testbed {

sig::ClassifierConfig channel_classifier_config(double bandwidth_hz) {
    sig::ClassifierConfig c;
    c.fft_size = 4096;
    c.hop = 1024;
    c.threshold_db = 6.0;
    c.min_hits = 4;
    c.hold_s = 3.0;
    c.low_hz = std::min(0.1 * bandwidth_hz, 200.0);
    c.high_hz = bandwidth_hz;
    c.verify = true;
    return c;
}

ClassifierRun run_classifier(const std::vector<float>& audio, const sig::ClassifierConfig& config,
                             std::size_t block_size, double start_time) {
    ClassifierRun run;
    auto state = sig::init_classifier(config);
    sig::AudioBlock block;
    for (std::size_t at = 0; at < audio.size(); at += block_size) {
        const std::size_t n = std::min(block_size, audio.size() - at);
        block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(at),
                             audio.begin() + static_cast<std::ptrdiff_t>(at + n));
        block.time = start_time + static_cast<double>(at) / 12000.0;
        block.sequence = ++run.calls;
        const double end = block.time + static_cast<double>(n) / 12000.0;
        const sig::ClassifierResult result = sig::classify(*state, block);
        for (const sig::Candidate& c : result.started) {
            ClassifiedTrack& t = run.tracks[c.track];
            t.started_at = end;
            ++t.started_count;
        }
        for (const sig::Candidate& c : result.updated) {
            ClassifiedTrack& t = run.tracks[c.track];
            // An update never takes a named track back to UNKNOWN.
            if (c.mode != sig::Mode::UNKNOWN || t.last.mode == sig::Mode::UNKNOWN) {
                t.last = c;
            } else {
                const sig::Mode mode = t.last.mode;
                const std::string variant = t.last.variant;
                t.last = c;
                t.last.mode = mode;
                t.last.variant = variant;
            }
        }
        for (const sig::Candidate& c : result.classified) {
            ClassifiedTrack& t = run.tracks[c.track];
            t.last = c;
            t.classified_at = end;
            ++t.classified_count;
        }
        for (const sig::Candidate& c : result.lost) run.tracks[c.track].lost_at = end;
    }
    return run;
}

const ClassifiedTrack* classified_near(const ClassifierRun& run, double audio_hz, double tolerance_hz) {
    const ClassifiedTrack* best = nullptr;
    for (const auto& [number, t] : run.tracks) {
        if (t.classified_at < 0.0) continue;
        const double distance = std::fabs(t.last.audio_hz - audio_hz);
        if (distance > tolerance_hz) continue;
        if (best == nullptr || distance < std::fabs(best->last.audio_hz - audio_hz)) best = &t;
    }
    return best;
}

std::string named(const sig::Candidate& candidate) {
    std::string text = sig::mode_name(candidate.mode);
    if (!candidate.variant.empty()) text += " " + candidate.variant;
    return text;
}

std::vector<const ClassifiedTrack*> modem_tracks(const ClassifierRun& run) {
    std::vector<const ClassifiedTrack*> found;
    for (const auto& [number, t] : run.tracks)
        if (t.last.mode != sig::Mode::UNKNOWN && t.last.mode != sig::Mode::QPSK31) found.push_back(&t);
    return found;
}

}  // namespace testbed
