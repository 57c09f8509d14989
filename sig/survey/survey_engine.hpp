#pragma once

// The detector of the wideband survey. The survey thread hands it blocks of complex samples at
// the survey rate; it averages their power spectrum, finds the emitters in it, follows each over
// time, classifies every confirmed one by its spectrum and envelope, runs decoders on the
// strongest (at most max_decoders at once) and publishes the emitters worth reporting and the
// events their decoders produced.
//
// process_block and flush run on one thread (the survey thread); emitters, report_counts and
// take_events may be called from any thread.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/sig/event.hpp"
#include "sig/survey/emitter_report.hpp"

namespace sig {

class SurveyEngine {
public:
    struct Config {
        double rate = 0.0;        // survey sample rate, Hz
        double center_hz = 0.0;   // RF of the survey centre; 0 when no radio is known
        double min_snr_db = 6.0;  // detection threshold over the local floor
        std::int32_t max_decoders = 16;
        std::int32_t fft_size = 8192;
        std::int32_t hop = 0;  // samples between spectrum frames; 0: half the FFT
        std::int32_t confirm_hits = 5;
        double timeout_s = 2.0;       // an emitter unseen for longer is forgotten
        double association_hz = 0.0;  // 0: chosen per emitter from its bandwidth
        std::string image_dir;        // SSTV and WEFAX pictures
        std::function<void(const Event&)> on_event;  // called on the survey thread, may be empty
    };

    // The emitter counts of the last published report list.
    struct ReportCounts {
        std::uint64_t reported = 0;
        std::uint64_t decoding = 0;
        std::uint64_t not_decoding = 0;
    };

    struct Emitter;
    struct EmitterDecoder;
    struct Impl;

    // Throws std::invalid_argument for a rate that is not positive and finite.
    explicit SurveyEngine(Config config);
    ~SurveyEngine();
    SurveyEngine(const SurveyEngine&) = delete;
    SurveyEngine& operator=(const SurveyEngine&) = delete;

    // n samples at the survey rate, the first taken at UTC `t`. Never throws: a failing emitter
    // loses its decoder, a failing block is skipped, each with one line on standard error.
    // Samples that are not finite count as zero; a time that is not finite continues the
    // previous block.
    void process_block(const std::complex<float>* samples, std::size_t n, double t);

    // Finishes the lines every decoder still holds and publishes them with the emitter list, as
    // when the survey stops: text already decoded is not lost.
    void flush();

    // A copy of the published report list.
    std::vector<EmitterReport> emitters() const;

    ReportCounts report_counts() const;

    // The text, spot and picture events the decoders produced since the last call.
    std::vector<Event> take_events();

private:
    std::unique_ptr<Impl> impl_;
};

}  // namespace sig
