#pragma once

// The inside of the survey engine, shared by its source files and its tests: the emitter and
// decoder records and the engine state. Nothing here is for other callers.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/sig/audio_block.hpp"
#include "core/sig/call_evidence.hpp"
#include "core/sig/candidate.hpp"
#include "core/sig/event.hpp"
#include "core/sig/modem_context.hpp"
#include "core/sig/modem_settings.hpp"
#include "sig/classifier_result.hpp"
#include "sig/classifier_state.hpp"
#include "sig/fft_plan_cache.hpp"
#include "sig/line_assembler.hpp"
#include "sig/modems/modem.hpp"
#include "sig/survey/emitter_extractor.hpp"
#include "sig/survey/survey_engine.hpp"

namespace sig {

// The decoding state of one emitter selected for decoding: what an analysis channel does for
// its passband, for the emitter's 12000 Hz audio, in which the emitter sits at 1500 Hz.
struct SurveyEngine::EmitterDecoder {
    static constexpr double kAudioRateHz = 12000.0;
    static constexpr double kAudioCentreHz = 1500.0;
    static constexpr double kLockHoldS = 15.0;
    static constexpr std::size_t kTextLimit = 8192;
    static constexpr std::size_t kTextKept = 4096;
    // The decoder keeps its latest audio (at least this much) so that a modem started for a
    // track hears the track from just before it began.
    static constexpr std::size_t kPrerollSamples = 96000;
    static constexpr double kReplayLeadS = 0.7;

    // The decoder of an emitter at rf_hz; pictures go to image_dir.
    EmitterDecoder(double rf_hz, const std::string& image_dir);

    std::unique_ptr<ClassifierState> classifier;
    LineAssembler assembler;
    ModemContext context;
    ModemSettings settings;

    std::unique_ptr<Modem> modem;
    std::map<std::uint32_t, Candidate> tracks;  // the classifier's tracks by number
    std::uint32_t active_track = 0;             // the track the modem runs for; 0 none
    std::uint64_t block_counter = 0;
    double modem_hz = 0.0;  // the audio frequency the modem listens at
    std::uint32_t mode = 0;  // of a locked modem, else 0
    std::string variant;     // of a locked modem, else empty
    float quality = 0.0f;
    std::uint32_t pending_mode = 0;  // what the classifier proposed when the modem started
    std::string pending_variant;
    float candidate_quality = 0.0f;
    bool locked = false;
    double lock_time = 0.0;  // UTC of the last confirmation
    std::uint32_t alnum_count = 0;  // letters and digits since the modem started
    bool degraded = false;          // never decoded again
    bool error_reported = false;
    std::string text;  // rolling, at most kTextLimit characters
    std::vector<CallEvidence> calls;
    // The audio of the next block does not follow the last one (the decode clock jumped).
    bool discontinuity = false;
    AudioBlock block;  // reused
    std::deque<AudioBlock> preroll;  // the latest blocks, the newest last
    std::size_t preroll_samples = 0;

};

struct SurveyEngine::Emitter {
    std::uint64_t id = 0;
    double frequency_hz = 0.0;  // offset from the survey centre, smoothed
    double bandwidth_hz = 0.0;  // smoothed
    double snr_db = 0.0;        // smoothed
    double first_seen = 0.0;    // UTC of frame centres
    double last_seen = 0.0;
    std::int32_t hits = 1;
    std::int32_t recent_hits = 1;
    std::int32_t recent_frames = 1;
    bool confirmed = false;
    bool matched = false;
    std::unique_ptr<EmitterExtractor> audio;  // 12000 Hz, passband 7600 Hz
    std::unique_ptr<EmitterDecoder> decoder;
    std::unique_ptr<EmitterExtractor> wide;  // emitters wider than 6000 Hz
    double history_rate = 12000.0;
    bool selected = false;
    double decode_clock = 0.0;  // UTC of the next audio sample the decoder gets
    double decoder_rf_hz = 0.0;
    // The decoder's view, copied after each of its steps.
    std::int32_t mode = 0;
    std::string variant;
    float quality = 0.0f;
    bool locked = false;
    std::string text;
    std::vector<CallEvidence> calls;

    std::int32_t signal_class = 0;
    // Extracted samples; the latest second of them (history_length) is the emitter's history,
    // what comes before is not yet trimmed.
    std::vector<std::complex<float>> history;
    // The latest audio of the emitter's 12000 Hz extractor while it has work, the last sample
    // ending at recent_audio_end: a decoder made for the emitter hears it first.
    std::vector<float> recent_audio;
    double recent_audio_end = 0.0;
    double heard_until = 0.0;  // the end of the audio the emitter's last decoder heard
    double last_feature_t = 0.0;
    bool has_work = false;
    std::int32_t decodable_streak = 0;
    double keying_rate_hz = 0.0;
    double decodable_until = 0.0;
};

struct SurveyEngine::Impl {
    static constexpr std::int32_t kRecentFrames = 64;
    static constexpr double kCreationMarginDb = 3.0;
    static constexpr double kCreationSpacingHz = 400.0;
    static constexpr double kRetuneHz = 150.0;
    // How far an emitter with a running decoder may move from its extractor's tuning: the
    // decoder's classifier hears 200..3000 Hz, with the emitter tuned to 1500 Hz.
    static constexpr double kDecoderRetuneHz = 1000.0;
    static constexpr double kWidebandHz = 6000.0;
    static constexpr double kFeatureMaxHz = 30000.0;
    static constexpr std::size_t kFeatureGroup = 16;
    static constexpr double kFeatureWindowS = 2.0;
    static constexpr double kFeatureIntervalS = 0.5;
    static constexpr double kClockJumpS = 1.0;
    static constexpr double kDecoderPrerollS = 2.0;  // of recent audio a new decoder hears first

    struct Candidate3 {
        double centre_hz = 0.0;
        double bandwidth_hz = 0.0;
        double snr_db = 0.0;
        bool claimed = false;
    };

    explicit Impl(Config given);

    Config config;
    int n = 0;  // FFT length
    int hop = 0;
    int half = 0;
    double bin_hz = 0.0;
    std::vector<float> window;
    FftPlanCache fft;
    std::vector<float> spectrum;  // averaged power, centred order
    std::vector<float> floor;     // noise floor, centred order
    std::vector<float> floor_scratch;
    std::int32_t frames = 0;
    std::vector<std::complex<float>> accumulator;
    std::size_t accumulator_used = 0;  // samples at the front already dropped
    double accumulator_t = 0.0;
    std::vector<Emitter> emitters;
    std::vector<Candidate3> candidates;
    std::vector<std::complex<float>> scratch_iq;
    std::vector<float> scratch_audio;
    std::vector<float> preroll_audio;  // a new decoder's first audio: the emitter's recent audio, then the block
    std::vector<std::complex<float>> clean;  // the block with non-finite samples zeroed
    std::uint64_t next_id = 1;
    double frame_t = 0.0;
    double first_block_t = 0.0;
    double last_end = 0.0;  // UTC just after the last block

    mutable std::mutex state_mutex;
    std::vector<EmitterReport> published;
    ReportCounts counts;
    std::vector<Event> pending;
    // Lines of decoders released while a block is processed (ranking, ageing, failure).
    std::vector<Event> released;

    void process(const std::complex<float>* samples, std::size_t count, double t);
    void spectrum_frame();
    void update_floor();
    void detect();
    void associate();
    void create();
    void age();
    void rank();
    void choose_work(double t);
    void emitter_work(Emitter& e, const std::complex<float>* samples, std::size_t count, double t,
                      std::vector<Event>& events);
    // The samples of one second at the emitter's history rate.
    static std::size_t history_length(const Emitter& e);
    void keep_recent_audio(Emitter& e, double t);
    void feature_pass(double t);
    void publish(std::vector<Event>& events);

    void decode_emitter(double t, EmitterDecoder& decoder, const std::vector<float>& audio, std::vector<Event>& events);
    // The decoder's side of one classifier result: its track records, the modem started for a
    // named track, the line of a lost track.
    void take_classification(EmitterDecoder& decoder, const ClassifierResult& result, double te,
                             std::vector<Event>& events);
    // Finishes every line the decoder still holds, as if its tracks had fallen silent at t.
    void finish_lines(EmitterDecoder& decoder, double t, std::vector<Event>& events);
    // Frees the emitter's decoder; the lines it held go to `released` first.
    void release_decoder(Emitter& e);
    // Finishes the lines of every running decoder (the survey is stopping).
    void flush(std::vector<Event>& events);
    std::vector<EmitterReport> collect_reports();
};

}  // namespace sig
