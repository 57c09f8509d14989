#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "sig/classifier_config.hpp"
#include "sig/classifier_result.hpp"
#include "sig/classifier_track.hpp"
#include "sig/detection.hpp"
#include "sig/fft_plan_cache.hpp"
#include "sig/pending_track.hpp"
#include "sig/rejected_frequency.hpp"
#include "sig/signal_group.hpp"

namespace sig {

// Everything one signal classifier keeps between blocks of one audio stream. It belongs to one
// caller and is used from one thread at a time; every vector is sized at construction and
// reused. The measurement routines read its spectrum and share its FFT plans.
struct ClassifierState {
    static constexpr double kRate = 12000.0;
    static constexpr std::size_t kAudioRing = 96000;  // 8 s: the tests take 2 s, slow Morse more
    static constexpr std::size_t kTestTail = 24000;   // the tests look at 2 s at most

    // Throws std::invalid_argument for settings that are not finite or an FFT size above 65536.
    explicit ClassifierState(const ClassifierConfig& config);

    ClassifierConfig config;
    int fft_size = 0;  // N
    int hop = 0;
    int half = 0;      // N / 2
    double bin_hz = 0.0;
    double half_window_s = 0.0;  // N / 24000
    int lo_bin = 0;              // the searched range, in bins
    int hi_bin = 0;

    std::vector<float> window;  // periodic Hann

    std::vector<float> frame_ring;
    std::size_t frame_write = 0;
    std::size_t frame_fill = 0;
    int hop_counter = 0;  // samples since the last frame

    std::vector<float> audio_ring;
    std::size_t audio_write = 0;
    std::size_t audio_fill = 0;
    std::vector<float> tail;  // the last 2 s cut from the audio ring for the tests

    std::vector<float> power;        // this frame's power per bin, 0..half
    std::vector<float> averaged;     // averaged power
    std::vector<float> averaged_db;  // averaged power in dB
    std::vector<float> floor_db;     // noise floor in dB
    std::vector<std::uint8_t> occupied;
    std::vector<float> scratch;
    std::vector<double> segment_floor;
    std::vector<double> segment_centre;
    bool averaged_started = false;
    bool floor_started = false;

    FftPlanCache fft;

    std::vector<Detection> detections;
    std::vector<SignalGroup> groups;
    std::vector<PendingTrack> pending;
    std::vector<ClassifierTrack> tracks;  // in order of creation
    std::vector<RejectedFrequency> rejected;

    std::uint32_t next_track = 1;
    std::uint64_t frame_counter = 0;      // frames since construction
    std::uint32_t frames_since_reset = 0;
    double frame_time = 0.0;              // UTC seconds of the centre of the present window
    double last_end = 0.0;                // UTC seconds after the last sample of the last block

    ClassifierResult result;  // under construction during a classify call
};

}  // namespace sig
