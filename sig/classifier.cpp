#include "sig/classifier.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

#include "sig/classifier_spectrum.hpp"
#include "sig/classifier_tracker.hpp"
#include "sig/verify_tracks.hpp"

namespace sig {
namespace {

// Audio far beyond full scale is held here: the tests raise samples to the fourth power and
// sum thousands of them in single precision, which must stay finite.
constexpr float kLargestSample = 1000.0f;

float sane(float x) {
    if (!std::isfinite(x)) return 0.0f;
    return std::clamp(x, -kLargestSample, kLargestSample);
}

void restart(ClassifierState& s) {
    s.averaged_started = false;
    s.floor_started = false;
    s.frames_since_reset = 0;
    s.hop_counter = s.hop;
    s.frame_write = 0;
    s.frame_fill = 0;
    s.audio_write = 0;
    s.audio_fill = 0;
    s.pending.clear();
}

void run_frame(ClassifierState& s, double block_time, std::size_t i) {
    s.hop_counter = 0;
    ++s.frame_counter;
    ++s.frames_since_reset;
    s.frame_time = block_time + static_cast<double>(i + 1) / ClassifierState::kRate - s.half_window_s;
    update_classifier_spectrum(s);
    find_detections(s);
    group_detections(s);
    update_tracks(s);
    verification_pass(s);
}

}  // namespace

ClassifierState::ClassifierState(const ClassifierConfig& c) : config(c) {
    if (!std::isfinite(c.threshold_db) || !std::isfinite(c.hold_s) || !std::isfinite(c.low_hz) ||
        !std::isfinite(c.high_hz))
        throw std::invalid_argument("Classifier settings must be finite numbers");
    if (c.fft_size > 65536) throw std::invalid_argument("Classifier FFT size must be at most 65536");
    fft_size = std::max(c.fft_size, 256);
    hop = std::clamp(c.hop, 1, fft_size);
    half = fft_size / 2;
    bin_hz = kRate / fft_size;
    half_window_s = fft_size / (2.0 * kRate);
    // A range that misses the spectrum, or one narrower than a bin, still leaves one bin.
    const double lowest = std::ceil(c.low_hz / bin_hz);
    lo_bin = static_cast<int>(std::clamp(lowest, 1.0, static_cast<double>(half - 1)));
    const double highest = std::floor(c.high_hz / bin_hz);
    hi_bin = static_cast<int>(std::clamp(highest, static_cast<double>(lo_bin), static_cast<double>(half - 1)));

    const auto n = static_cast<std::size_t>(fft_size);
    window.resize(n);
    for (std::size_t i = 0; i < n; ++i)
        window[i] = static_cast<float>(0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) / fft_size));
    frame_ring.assign(n, 0.0f);
    hop_counter = hop;
    audio_ring.assign(kAudioRing, 0.0f);
    tail.reserve(kTestTail);
    const std::size_t bins = static_cast<std::size_t>(half) + 1;
    power.assign(bins, 0.0f);
    averaged.assign(bins, 0.0f);
    averaged_db.assign(bins, 0.0f);
    floor_db.assign(bins, 0.0f);
    occupied.assign(bins, 0);
    scratch.reserve(bins);
    fft.real_input(n);  // plan the frame transform now, not in the first block
}

std::unique_ptr<ClassifierState> init_classifier(const ClassifierConfig& config) {
    return std::make_unique<ClassifierState>(config);
}

ClassifierResult classify(ClassifierState& s, const AudioBlock& block) {
    s.result = ClassifierResult{};
    for (ClassifierTrack& t : s.tracks) {
        t.started = false;
        t.changed = false;
        t.classified = false;
    }
    if (block.discontinuity) restart(s);

    // A block time that is not a number would stop every track from ever being lost: such a
    // block continues the one before.
    const double time = std::isfinite(block.time) ? block.time : s.last_end;
    const auto n = static_cast<std::size_t>(s.fft_size);
    const std::size_t ring = s.audio_ring.size();
    for (std::size_t i = 0; i < block.samples.size(); ++i) {
        const float x = sane(block.samples[i]);
        s.frame_ring[s.frame_write] = x;
        s.frame_write = (s.frame_write + 1) % n;
        s.audio_ring[s.audio_write] = x;
        s.audio_write = (s.audio_write + 1) % ring;
        if (s.audio_fill < ring) ++s.audio_fill;
        if (s.frame_fill < n) ++s.frame_fill;
        ++s.hop_counter;
        if (s.hop_counter >= s.hop && s.frame_fill == n) run_frame(s, time, i);
    }

    const double end = time + static_cast<double>(block.samples.size()) / ClassifierState::kRate;
    s.last_end = end;
    const double hold = s.config.hold_s + s.half_window_s;
    for (std::size_t i = s.tracks.size(); i-- > 0;) {
        if (end - s.tracks[i].last_seen > hold) {
            s.result.lost.push_back(s.tracks[i]);
            s.tracks.erase(s.tracks.begin() + static_cast<std::ptrdiff_t>(i));
        }
    }
    for (const ClassifierTrack& t : s.tracks) {
        if (t.started) s.result.started.push_back(t);
        if (t.classified) s.result.classified.push_back(t);
        if (t.started || t.changed || t.classified) s.result.updated.push_back(t);
    }
    return std::move(s.result);
}

}  // namespace sig
