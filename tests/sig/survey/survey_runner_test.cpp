// The survey runner as the decode loop uses it: the rate it chooses for each capture, the
// lines it prints, a stop that works off every sample still queued, a producer that is never
// held up by a survey that has ended, and samples a full ring drops are counted and shown.
#include "sig/survey/survey_runner.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/sig/event.hpp"
#include "sig/sig_line.hpp"
#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/psk_modulator.hpp"

namespace {

using sig::SurveyRunner;
using testing::HasSubstr;

SurveyRunner::Config config_for(double capture_rate, double bandwidth = 1500000.0)
{
    SurveyRunner::Config config;
    config.capture_rate = capture_rate;
    config.center_hz = 14100000;
    config.bandwidth = bandwidth;
    return config;
}

std::vector<std::complex<float>> noise(std::size_t n, std::uint32_t seed = 7)
{
    std::mt19937 random(seed);
    std::normal_distribution<float> gauss(0.0f, 0.01f);
    std::vector<std::complex<float>> samples(n);
    for (auto& s : samples)
        s = {gauss(random), gauss(random)};
    return samples;
}

std::vector<std::string> survey_lines(const std::string& err)
{
    std::vector<std::string> lines;
    std::size_t at = 0;
    while (at < err.size()) {
        std::size_t const end = err.find('\n', at);
        std::string const line = err.substr(at, end - at);
        if (line.rfind("SURVEY ", 0) == 0)
            lines.push_back(line);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return lines;
}

TEST(SurveyRunner, SurveyRateAndBannerForEachCapture)
{
    struct Case {
        double capture_hz;
        double bandwidth_hz;
        std::int32_t decimation;
        double survey_hz;
        std::string banner;
    };
    const Case cases[] = {
        {10000000, 1500000, 6, 10000000.0 / 6,
         "Wideband survey: capture=1e+07 Hz -> survey=1.66667e+06 Hz (decimation 6), center=1.41e+07 Hz, "
         "max-decoders=16, min-snr=6 dB, journal=off"},
        {2000000, 1500000, 1, 2000000,
         "Wideband survey: capture=2e+06 Hz -> survey=2e+06 Hz (decimation 1), center=1.41e+07 Hz, "
         "max-decoders=16, min-snr=6 dB, journal=off"},
        {64000, 48000, 1, 64000,
         "Wideband survey: capture=64000 Hz -> survey=64000 Hz (decimation 1), center=1.41e+07 Hz, "
         "max-decoders=16, min-snr=6 dB, journal=off"},
        {6000000, 2000000, 3, 2000000,
         "Wideband survey: capture=6e+06 Hz -> survey=2e+06 Hz (decimation 3), center=1.41e+07 Hz, "
         "max-decoders=16, min-snr=6 dB, journal=off"},
    };
    for (const Case& c : cases) {
        SurveyRunner runner(config_for(c.capture_hz, c.bandwidth_hz));
        EXPECT_EQ(runner.decimation(), c.decimation) << c.capture_hz;
        EXPECT_DOUBLE_EQ(runner.survey_rate(), c.survey_hz) << c.capture_hz;
        EXPECT_EQ(sig::survey_banner(runner, config_for(c.capture_hz, c.bandwidth_hz), false), c.banner);
        testing::internal::CaptureStderr();
        runner.stop();
        testing::internal::GetCapturedStderr();
    }

    SurveyRunner::Config config = config_for(2000000);
    config.max_decoders = 4;
    config.min_snr_db = 9.5;
    config.journal_path = ::testing::TempDir() + "survey-banner.jsonl";
    SurveyRunner runner(config);
    EXPECT_EQ(sig::survey_banner(runner, config, true),
              "Wideband survey: capture=2e+06 Hz -> survey=2e+06 Hz (decimation 1), center=1.41e+07 Hz, "
              "max-decoders=4, min-snr=9.5 dB, journal=" + config.journal_path + ", PSK Reporter spots on");
    testing::internal::CaptureStderr();
    runner.stop();
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(sig::survey_off_line(12000000, 1500000),
              "Wideband survey: off for this 12 MS/s capture (it examines about 1.5 MHz around the capture "
              "centre, which is not a ham band here)");
}

TEST(SurveyRunner, StopWorksOffTheQueuedSamplesThenPrintsTheLastStatusLine)
{
    SurveyRunner::Config config = config_for(2000000);
    config.blocking = true;
    testing::internal::CaptureStderr();
    {
        SurveyRunner runner(config);
        std::vector<std::complex<float>> const samples = noise(200000);
        // Three seconds of capture through a one-second ring: the producer waits for room.
        for (int i = 0; i < 30; ++i)
            runner.push(samples.data(), samples.size(), 1800000000.0 + 0.1 * i);
        runner.stop();
        EXPECT_FALSE(runner.running());
        EXPECT_EQ(runner.dropped(), 0u);
    }
    std::string const err = testing::internal::GetCapturedStderr();
    std::vector<std::string> const lines = survey_lines(err);
    ASSERT_EQ(lines.size(), 1u) << err;
    // No receiver label: a hyphen stands in its place.
    EXPECT_EQ(lines[0], "SURVEY -: 0 emitters (0 ham / 0 other), 0 decoding");
}

TEST(SurveyRunner, StopDeliversTheTextItsDecodersStillHold)
{
    // A PSK31 call still under way when the recording ends: its line is unfinished then.
    testbed::PskSignal psk;
    psk.carrier_hz = 1000.0;
    testbed::IqSynthConfig synth;
    synth.center_hz = 14100000;
    synth.rate_hz = 96000;
    synth.duration_s = 8.5;
    synth.add_noise = true;
    synth.snr_db = 20.0;
    std::vector<std::complex<float>> const iq = testbed::synthesize_iq(
        synth, {{testbed::modulate_psk_text("CQ CQ DE Q1ABC Q1ABC PSE K CQ CQ DE Q1ABC Q1ABC PSE K", psk), 14080000.0, 0.5}});
    SurveyRunner::Config config = config_for(96000, 48000);
    config.blocking = true;
    testing::internal::CaptureStderr();
    {
        SurveyRunner runner(config);
        for (std::size_t at = 0; at < iq.size(); at += 9600)
            runner.push(iq.data() + at, std::min<std::size_t>(9600, iq.size() - at), 1800000000.0 + at / 96000.0);
        runner.stop();
    }
    std::string const err = testing::internal::GetCapturedStderr();
    std::size_t lines = 0;
    std::size_t at = 0;
    while ((at = err.find("SIG HAM ", at)) != std::string::npos) {
        std::string const line = err.substr(at, err.find('\n', at) - at);
        if (line.find("text=") != std::string::npos && line.find("CQ CQ DE Q1ABC") != std::string::npos)
            ++lines;
        at += line.size();
    }
    EXPECT_GE(lines, 1u) << err;
}

TEST(SurveyRunner, ABlockingPushReturnsOnceTheSurveyThreadHasEnded)
{
    SurveyRunner::Config config = config_for(2000000);
    config.blocking = true;
    config.receiver = "rx888 0042";
    testing::internal::CaptureStderr();
    SurveyRunner runner(config);
    runner.stop();
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_THAT(err, HasSubstr("SURVEY rx888 0042: 0 emitters (0 ham / 0 other), 0 decoding\n"));
    // Far more than the ring holds, with nobody left to make room: counted, not waited for.
    std::vector<std::complex<float>> const samples = noise(5000000);
    runner.push(samples.data(), samples.size(), 1800000000.0);
    EXPECT_EQ(runner.dropped(), samples.size() - 2000000);
}

TEST(SurveyRunner, SamplesAFullRingDropsAreCountedAndShownInTheStatusLine)
{
    SurveyRunner::Config config = config_for(10000000);
    config.receiver = "sdrplay";
    testing::internal::CaptureStderr();
    std::uint64_t dropped = 0;
    {
        SurveyRunner runner(config);
        // Two seconds in one go into a ring of 0.42 s: a live producer never waits.
        std::vector<std::complex<float>> const samples = noise(20000000);
        runner.push(samples.data(), samples.size(), 1800000000.0);
        dropped = runner.dropped();
        runner.stop();
    }
    std::string const err = testing::internal::GetCapturedStderr();
    ASSERT_GT(dropped, 0u);
    EXPECT_LE(dropped, 20000000u - 4194304u);
    std::vector<std::string> const lines = survey_lines(err);
    ASSERT_EQ(lines.size(), 1u) << err;
    EXPECT_EQ(lines[0], "SURVEY sdrplay: 0 emitters (0 ham / 0 other), 0 decoding, " + std::to_string(dropped)
                            + " IQ samples dropped (survey behind)");
}

// Ten and a half seconds of a live capture, fed as a receiver would: one status line when ten
// seconds have passed, and the last one at stop.
TEST(SurveyRunner, AStatusLineEveryTenSeconds)
{
    SurveyRunner::Config config = config_for(64000, 48000);
    config.receiver = "rtl-sdr";
    std::vector<std::complex<float>> const block = noise(3200);
    testing::internal::CaptureStderr();
    {
        SurveyRunner runner(config);
        auto const start = std::chrono::steady_clock::now();
        double utc = 1800000000.0;
        while (std::chrono::steady_clock::now() - start < std::chrono::milliseconds(10500)) {
            runner.push(block.data(), block.size(), utc);
            utc += 0.05;
            std::this_thread::sleep_for(std::chrono::milliseconds(50));  // the pace of a receiver
        }
        runner.stop();
    }
    std::string const err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(survey_lines(err), (std::vector<std::string>{"SURVEY rtl-sdr: 0 emitters (0 ham / 0 other), 0 decoding",
                                                           "SURVEY rtl-sdr: 0 emitters (0 ham / 0 other), 0 decoding"}))
        << err;
}

TEST(SurveyRunner, SurveyLinesStayWithin500BytesAndTheTextGivesWay)
{
    sig::Event event;
    event.kind = sig::EventKind::TEXT;
    event.t = 1800000000;
    event.rf_hz = 14070000;
    for (int i = 0; i < 19; ++i)
        event.calls.push_back({"Q" + std::to_string(i) + "ABCDEFG", "", 0.5f, ""});
    std::string const calls = "calls=" + sig::format_call_list(event.calls);

    // A line of about 700 bytes whose text is 300: the text is cut (to about 92 bytes), the
    // calls after it survive.
    event.text = std::string(300, 'x');
    std::string const whole = sig::format_survey_line(event, 3, true, event.text, "1-2");
    ASSERT_GT(whole.size(), 680u);
    ASSERT_LT(whole.size(), 720u);
    std::string const line = sig::survey_sig_line(event, 3, true, "1-2");
    EXPECT_LE(line.size(), 500u);
    EXPECT_GE(line.size(), 480u);
    EXPECT_THAT(line, testing::EndsWith(calls));
    std::size_t const kept = line.find("\" ") - line.find("text=\"") - 6;
    EXPECT_EQ(line, sig::format_survey_line(event, 3, true, std::string(kept, 'x'), "1-2"));

    // Two-byte characters are never split.
    event.text.clear();
    for (int i = 0; i < 150; ++i)
        event.text += "\xC3\xA9";
    std::string const accented = sig::survey_sig_line(event, 3, true, "1-2");
    EXPECT_LE(accented.size(), 500u);
    std::size_t const open = accented.find("text=\"") + 6;
    std::string const shown = accented.substr(open, accented.find('"', open) - open);
    ASSERT_EQ(shown.size() % 2, 0u);
    for (std::size_t i = 0; i < shown.size(); i += 2)
        ASSERT_EQ(shown.substr(i, 2), "\xC3\xA9") << i;

    // Still too long with no text at all: the line itself is cut at 500 bytes.
    for (int i = 19; i < 40; ++i)
        event.calls.push_back({"Q" + std::to_string(i) + "ABCDEFG", "", 0.5f, ""});
    event.text = "short";
    std::string const full = sig::format_survey_line(event, 3, true, "", "1-2");
    ASSERT_GT(full.size(), 500u);
    EXPECT_EQ(sig::survey_sig_line(event, 3, true, "1-2"), full.substr(0, 500));
}

}  // namespace
