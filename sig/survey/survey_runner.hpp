#pragma once

// The front of the wideband survey. The decode loop hands it a copy of every block of IQ it
// receives; the runner keeps the samples in a ring, and its own thread decimates them to the
// survey rate, runs the survey engine on them, turns what the engine finds into survey SIG
// lines, journal records and (inside the amateur bands) PSK Reporter spots, and prints a
// "SURVEY" status line every 10 s. The decode loop never waits for the survey with a live
// radio: a full ring drops samples and counts them. Only IQ file replay waits for room.

#include <complex>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class PskReporter;

namespace sig {

struct Event;

class SurveyRunner {
public:
    struct Config {
        double capture_rate = 0.0;  // IQ samples per second
        double center_hz = 0.0;     // RF of the capture centre
        double bandwidth = 1500000.0;  // the survey rate aimed at
        std::uint32_t max_decoders = 16;
        double min_snr_db = 6.0;
        std::string journal_path;  // empty: no journal
        std::string image_dir;
        std::string receiver;  // label in every survey line
        std::shared_ptr<PskReporter> reporter;  // null unless PSK Reporter spots are on
        bool blocking = false;  // IQ file replay: push waits for room instead of dropping
    };

    struct Impl;

    // Builds the decimator, the engine and the sinks and starts the survey thread. Errors from
    // any of them propagate.
    explicit SurveyRunner(Config config);
    // Stops first when the thread still runs.
    ~SurveyRunner();
    SurveyRunner(const SurveyRunner&) = delete;
    SurveyRunner& operator=(const SurveyRunner&) = delete;

    // Called by the decode loop only, once per block: n samples, the first taken at UTC `time`.
    // What does not fit in the ring is dropped and counted, unless the runner is blocking; a
    // blocking push waits for room only while the survey thread runs.
    void push(const std::complex<float>* samples, std::size_t n, double time);

    // Lets the thread work off the ring, report once more and print its last status line, then
    // joins it. The PSK Reporter is not stopped here: the runner only lets go of it, so that
    // the decoder pool, which drains after the survey, still has its spots sent.
    void stop();

    bool running() const;  // the thread has not been joined yet
    std::int32_t decimation() const;
    double survey_rate() const;
    std::uint64_t dropped() const;  // samples a full ring had no room for
    const std::string& run_id() const;

private:
    std::unique_ptr<Impl> impl_;
};

// The survey SIG line of an event, at most 500 bytes: a long text is shortened, never inside
// a character, so the fields after it survive (without newline).
std::string survey_sig_line(const Event& event, std::uint64_t id, bool ham, const std::string& run_id);

// The line announcing a running survey, as the decode loop prints it (without newline).
std::string survey_banner(const SurveyRunner& runner, const SurveyRunner::Config& config, bool psk_reporter_on);

// The line of a capture too wide for the survey (without newline).
std::string survey_off_line(double capture_rate, double bandwidth);

// The survey examines captures of at most this many samples per second.
inline constexpr double kSurveyMaxCaptureRate = 10000000.0;

}  // namespace sig
