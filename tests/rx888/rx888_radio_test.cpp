// The RX-888 radio on the stand-in libusb: construction and banner, streaming IQ with its
// times and discontinuities, retuning, the RADIO requests, overload reports, the stream-fault
// table, recovery from stalls, replugs and dead devices, the host falling behind, the system
// clock re-anchoring and the raw path for a receive engine.
//
// The stand-in runs at the half rate and four times slower than real, and the radio's system
// clock is slowed alike, so streams are real but cheap.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <numbers>
#include <optional>
#include <regex>
#include <span>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "core/options.hpp"
#include "radio/iq_block.hpp"
#include "radio/sample_queue.hpp"
#include "rx888/gpu_library.hpp"
#include "rx888/gpu_receiver.hpp"
#include "rx888/rx888_radio.hpp"
#include "testbed/lib/cpu_receive_engine.hpp"
#include "tests/rx888/gpu_standin.hpp"
#include "tests/rx888/rx888_standin.hpp"
#include "tests/support/error_of.hpp"

using testing::HasSubstr;
using testing::Not;

namespace {

// ThreadSanitizer slows the stand-in's signal generation down several times.
#if defined(__SANITIZE_THREAD__)
constexpr double kSlow = 8;
#else
constexpr double kSlow = 4;
#endif
constexpr double kCentre = 14.08e6;

using Settings = std::map<std::string, std::string>;

using Steady = std::chrono::steady_clock;

double wall_utc()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

// The system clock as the radio sees it: slowed like the stand-in, plus a step the test may add.
struct TestClock {
    Steady::time_point start = Steady::now();
    double utc_start = wall_utc();
    double rate = 1 / kSlow;
    std::atomic<double> step{0};
    double operator()() const
    {
        return utc_start + std::chrono::duration<double>(Steady::now() - start).count() * rate + step.load();
    }
};

// The stand-in's usual settings for these tests, with `more` on top.
std::map<std::string, std::string> standin_settings(std::map<std::string, std::string> more = {})
{
    std::map<std::string, std::string> settings = {{"SLOW", std::to_string(kSlow)}, {"TONES", "14100000@0.25"}};
    for (auto const& [name, value] : more)
        settings[name] = value;
    return settings;
}

Options half_rate_options()
{
    Options options = rx888_options();
    options.rx888_rate = "half";
    options.sample_rate = 4000000;  // D = 16
    options.frequency = kCentre;
    return options;
}

struct Fixture {
    explicit Fixture(Settings more = {}, Options given = half_rate_options())
        : standin(standin_settings(std::move(more))), options(std::move(given))
    {
    }

    void build(Rx888Hooks hooks = {})
    {
        if (!hooks.utc_now)
            hooks.utc_now = [this] { return clock(); };
        radio = make_rx888_radio(options, std::move(hooks));
        queue.configure(radio->sample_rate(), 8);
    }

    // Blocks from the queue until `wanted` blocks came or `seconds` passed.
    std::vector<IqBlock> take(std::size_t wanted, double seconds = 20)
    {
        std::vector<IqBlock> blocks;
        auto const end = Steady::now() + std::chrono::duration<double>(seconds);
        while (blocks.size() < wanted && Steady::now() < end) {
            std::vector<IqBlock> got;
            if (queue.pop_blocks(got))
                for (IqBlock& block : got) {
                    // A break after the stream's first block is kept for next_discontinuity.
                    if (block.discontinuity && seen > 0 && !held_break)
                        held_break = block;
                    ++seen;
                    blocks.push_back(std::move(block));
                }
            else if (!queue.failure().empty())
                break;
        }
        if (!blocks.empty())
            last_taken = blocks.back();
        return blocks;
    }

    // Takes blocks until one is a discontinuity (after at least one block), or gives up.
    IqBlock next_discontinuity(double seconds = 30)
    {
        if (held_break) {
            IqBlock block = std::move(*held_break);
            held_break.reset();
            return block;
        }
        auto const end = Steady::now() + std::chrono::duration<double>(seconds);
        while (Steady::now() < end) {
            std::vector<IqBlock> got;
            if (!queue.pop_blocks(got))
                continue;
            for (IqBlock& block : got)
                if (block.discontinuity)
                    return std::move(block);
        }
        ADD_FAILURE() << "no discontinuity came";
        return {};
    }

    // The first discontinuity from now on, and the block just before it.
    std::pair<IqBlock, IqBlock> discontinuity_after_block(double seconds = 30)
    {
        IqBlock before = last_taken;
        auto const end = Steady::now() + std::chrono::duration<double>(seconds);
        while (Steady::now() < end) {
            std::vector<IqBlock> got;
            if (!queue.pop_blocks(got))
                continue;
            for (IqBlock& block : got) {
                if (block.discontinuity && !before.samples.empty())
                    return {std::move(before), std::move(block)};
                before = std::move(block);
            }
        }
        ADD_FAILURE() << "no discontinuity came";
        return {};
    }

    // Seconds from the end of `before` to the start of `after`.
    double jump(IqBlock const& before, IqBlock const& after) const
    {
        return after.utc - (before.utc + static_cast<double>(before.samples.size()) / radio->sample_rate());
    }

    // Waits until the queue failed; returns its text.
    std::string failure(double seconds = 30)
    {
        auto const end = Steady::now() + std::chrono::duration<double>(seconds);
        while (Steady::now() < end) {
            std::vector<IqBlock> got;
            queue.pop_blocks(got);
            if (!queue.failure().empty())
                return queue.failure();
        }
        return "";
    }

    StderrCapture err;
    UsbStandin standin;
    Options options;
    TestClock clock;
    SampleQueue queue;  // outlives the radio, whose threads push into it until it stops
    std::unique_ptr<Radio> radio;
    IqBlock last_taken;  // the last block take() returned
    std::size_t seen = 0;  // blocks take() has popped
    std::optional<IqBlock> held_break;
};

// The amplitude of the component at `offset_hz` in a block of IQ at `rate`.
double tone_amplitude(std::span<std::complex<float> const> samples, double rate, double offset_hz)
{
    std::complex<double> sum = 0;
    for (std::size_t k = 0; k < samples.size(); ++k)
        sum += std::complex<double>(samples[k]) * std::polar(1.0, -2 * std::numbers::pi * offset_hz * static_cast<double>(k) / rate);
    return std::abs(sum) / static_cast<double>(samples.size());
}

// The lines, each after the one before. The recovery thread says its lines one after the other,
// but another thread's line (the conversion thread's front-end banner, when the first
// conversion is slow) may come between them.
testing::AssertionResult said_in_order(std::string const& text, std::vector<std::string> const& lines)
{
    std::size_t at = 0;
    for (std::string const& line : lines) {
        std::size_t const found = text.find(line, at);
        if (found == std::string::npos)
            return testing::AssertionFailure() << "\"" << line << "\" not said after offset " << at << " of\n" << text;
        at = found + line.size();
    }
    return testing::AssertionSuccess();
}

struct BannerCase {
    std::string name;
    std::function<void(Options&)> change;
    std::string banner;
};

void PrintTo(BannerCase const& c, std::ostream* out) { *out << c.name; }

class Rx888Banner : public testing::TestWithParam<BannerCase> {};

TEST_P(Rx888Banner, OneLineWithTheAppliedSettings)
{
    Options options = rx888_options();
    GetParam().change(options);
    Fixture f({}, options);
    f.build();
    EXPECT_EQ(f.err.text(), GetParam().banner);
}

std::string const kHalfNote =
    "RX-888 note: at the half rate 32-64 MHz folds onto HF, which the input filter does not prevent; if the upper "
    "bands are noisy or decode poorly, use --rx888-rate full (about twice the front-end CPU).\n";

INSTANTIATE_TEST_SUITE_P(
    Table, Rx888Banner,
    testing::Values(
        BannerCase{"defaults", [](Options&) {},
                   "RX-888 MKII: model=4 firmware=2.2, ADC=128 MS/s (full), IQ=8 MS/s, center=14.08 MHz, atten=10 dB, "
                   "VGA=1.46639 dB; no firmware changes by this driver\n"},
        BannerCase{"half_rate_everything_on",
                   [](Options& o) {
                       o.rx888_rate = "half";
                       o.sample_rate = 250000;
                       o.rx888_bias_t = true;
                       o.rx888_reference = true;
                       o.rx888_attenuation = 31.5;
                       o.rx888_gain = -8;
                       o.frequency = 7.074e6;
                   },
                   "RX-888 MKII: model=4 firmware=2.2, ADC=64 MS/s (half), IQ=0.25 MS/s, center=7.074 MHz, atten=31.5 dB, "
                   "VGA=-8.17408 dB, bias-tee ON, external reference; no firmware changes by this driver\n" +
                       kHalfNote},
        BannerCase{"audio_mode_tunes_beside_the_dial",
                   [](Options& o) {
                       o.wideband = false;
                       o.frequency = 14.074e6;
                       o.rx888_gain = 20;
                   },
                   "RX-888 MKII: model=4 firmware=2.2, ADC=128 MS/s (full), IQ=8 MS/s, center=14.082 MHz, atten=10 dB, "
                   "VGA=19.8828 dB; no firmware changes by this driver\n"}),
    [](testing::TestParamInfo<BannerCase> const& info) { return info.param.name; });

TEST(Rx888Radio, ConstructionConfiguresAndDoesNotStream)
{
    Fixture f;
    f.build();
    std::vector<std::string> requests = f.standin.log_of("control 40 ");
    ASSERT_EQ(requests.size(), 6u);
    EXPECT_EQ(requests[1], "control 40 b2 0000 0000 4 0090d003");  // 64 MHz
    EXPECT_TRUE(f.standin.log_of("control 40 aa").empty());
    EXPECT_DOUBLE_EQ(f.radio->sample_rate(), 4e6);
    EXPECT_DOUBLE_EQ(f.radio->tuning_offset(), 0.0);
    EXPECT_DOUBLE_EQ(f.radio->center_for(7.1e6), 7.1e6);
    // Stopping a radio that never started sends nothing and prints nothing.
    std::string const before = f.err.text();
    f.radio->stop();
    EXPECT_EQ(f.standin.log_of("control 40 ").size(), 6u);
    EXPECT_EQ(f.err.text(), before);
}

TEST(Rx888Radio, AConstructionWithABootloaderUploadsFirstAndThenOpens)
{
    Fixture f(Settings{{"DEVICES", "boot:B1:2:1.4:app-serial=SN7"}});
    f.options.rx888_firmware = write_image(f.standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(16, 1)}}, 0x40000000));
    f.build();
    EXPECT_THAT(f.err.text(), testing::StartsWith("RX-888: uploading FX3 firmware " + f.options.rx888_firmware +
                                                  " to the bootloader device (04b4:00f3)\nRX-888 MKII: model=4"));
    EXPECT_EQ(f.standin.log_of("jump ").size(), 1u);
}

TEST(Rx888Radio, StreamsTheBandAsContinuousIqWithTimesFromTheClock)
{
    Fixture f;
    f.build();
    double const before = f.clock();
    f.radio->start(f.queue);
    std::vector<IqBlock> const blocks = f.take(12);
    ASSERT_GE(blocks.size(), 12u) << f.err.text();
    EXPECT_THAT(f.err.text(), HasSubstr("RX-888 front end: CPU, "));
    EXPECT_EQ(f.standin.log_of("control 40 aa").size(), 1u);

    // The first block says the stream began afresh; the rest follow on without a gap.
    EXPECT_TRUE(blocks[0].discontinuity);
    EXPECT_EQ(blocks[0].gap_flags, GAP_SOURCE_RESET);
    double const rate = f.radio->sample_rate();
    for (std::size_t i = 1; i < blocks.size(); ++i) {
        EXPECT_FALSE(blocks[i].discontinuity) << i;
        EXPECT_NEAR(blocks[i].utc, blocks[i - 1].utc + static_cast<double>(blocks[i - 1].samples.size()) / rate, 1e-6) << i;
        EXPECT_EQ(blocks[i].raw_per_sample, 1u);
        EXPECT_TRUE(blocks[i].raw.empty());
    }
    // The first word's time is the clock when its transfer arrived, less the transfer's length;
    // the first sample stands 4096 words before it.
    EXPECT_GT(blocks[0].utc, before - 0.05);
    EXPECT_LT(blocks[0].utc, f.clock());
    // The 14.1 MHz tone of amplitude 0.25 sits 20 kHz above the centre.
    EXPECT_NEAR(tone_amplitude(blocks[5].samples, rate, 20e3), 0.25, 0.005);
    EXPECT_LT(tone_amplitude(blocks[5].samples, rate, -20e3), 0.001);

    EXPECT_EQ(error_of([&] { f.radio->start(f.queue); }), "RX-888 is already streaming");
    f.radio->stop();
    EXPECT_EQ(f.standin.log_of("control 40 ab").size(), 2u);  // configuration, then this stop
    EXPECT_EQ(error_of([&] { f.radio->retune(7.1e6); }), "RX-888 receiver is not streaming");
}

TEST(Rx888Radio, RetuningMovesTheMixerAndMarksTheBreak)
{
    Fixture f;
    f.build();
    f.radio->start(f.queue);
    ASSERT_GE(f.take(3).size(), 3u);
    // At 4 MS/s the centre must stay 1.8 MHz clear of 0 Hz and of 32 MHz.
    EXPECT_THAT(error_of([&] { f.radio->check_retune(1.7e6); }), HasSubstr("does not fit the first Nyquist band"));
    EXPECT_THAT(error_of([&] { f.radio->retune(30.3e6); }), HasSubstr("does not fit the first Nyquist band"));
    std::size_t const requests = f.standin.log_of("control").size();
    f.radio->retune(14.09e6);
    EXPECT_EQ(f.standin.log_of("control").size(), requests);  // the device is not commanded
    IqBlock const first = f.next_discontinuity();
    EXPECT_EQ(first.gap_flags, GAP_SOURCE_RESET);
    std::vector<IqBlock> const after = f.take(4);
    ASSERT_GE(after.size(), 4u);
    EXPECT_NEAR(tone_amplitude(after[3].samples, f.radio->sample_rate(), 10e3), 0.25, 0.005);
}

struct Rx888Requests : testing::Test {
    Fixture f;
};

TEST_F(Rx888Requests, StatusAndSettingsOfTheRunningReceiver)
{
    f.build();
    EXPECT_EQ(error_of([&] { f.radio->control("RADIO SET rx888-attenuation=12"); }), "RX-888 receiver is not streaming");
    EXPECT_EQ(f.radio->control("RADIO STATUS"), "OK RADIO rx888-rate=half,rx888-attenuation=10.000000,rx888-gain=1.466388");
    f.radio->start(f.queue);
    ASSERT_FALSE(f.take(2).empty());

    std::size_t const before = f.standin.log_of("control 40 b6").size();
    EXPECT_EQ(f.radio->control("RADIO SET rx888-attenuation=12.5"), "OK RADIO rx888-attenuation=12.5");
    std::vector<std::string> sent = f.standin.log_of("control 40 b6");
    ASSERT_EQ(sent.size(), before + 1);
    EXPECT_EQ(sent.back(), "control 40 b6 0019 000a 1 00");
    EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888: atten=12.5 dB, VGA=1.46639 dB\n"));
    // The same value again sends nothing.
    EXPECT_EQ(f.radio->control("RADIO SET rx888-attenuation=12.5"), "OK RADIO rx888-attenuation=12.5");
    EXPECT_EQ(f.standin.log_of("control 40 b6").size(), before + 1);
    // The attenuator moves in half decibels: anything else would be stored but not applied.
    EXPECT_EQ(error_of([&] { f.radio->control("RADIO SET rx888-attenuation=12.3"); }),
              "rx888-attenuation is 0..31.5 dB in 0.5 dB steps");
    EXPECT_EQ(error_of([&] { f.radio->control("RADIO SET rx888-attenuation=40"); }), "Invalid live SDR value: 40");
    EXPECT_EQ(error_of([&] { f.radio->control("RADIO SET ppm=3"); }),
              "Setting requires restart or is unsupported live: ppm");

    EXPECT_EQ(f.radio->control("RADIO SET rx888-gain=5,rx888-attenuation=20"),
              "OK RADIO rx888-attenuation=20,rx888-gain=5");
    sent = f.standin.log_of("control 40 b6");
    EXPECT_EQ(sent[sent.size() - 2], "control 40 b6 0028 000a 1 00");
    EXPECT_EQ(sent.back(), "control 40 b6 0085 000b 1 00");
    EXPECT_EQ(f.radio->control("RADIO STATUS"), "OK RADIO rx888-rate=half,rx888-attenuation=20.000000,rx888-gain=5.903363");
    EXPECT_THAT(f.radio->control("RADIO IFGAIN"), "OK IFGAIN state=unavailable,reduction=na");
}

TEST(Rx888RequestsFailing, AFailedGainPutsTheAttenuatorBack)
{
    // Configuration sends two 0xB6 requests; the fourth is the gain of the first RADIO SET,
    // the seventh the gain of the second, the eighth its attenuator roll-back.
    Fixture f(Settings{{"FAIL", "setarg@4,setarg@7,setarg@8"}});
    f.build();
    f.radio->start(f.queue);
    ASSERT_FALSE(f.take(2).empty());
    EXPECT_EQ(error_of([&] { f.radio->control("RADIO SET rx888-attenuation=20,rx888-gain=5"); }),
              "RX-888 set HF gain: LIBUSB_ERROR_PIPE");
    std::vector<std::string> sent = f.standin.log_of("control 40 b6");
    ASSERT_EQ(sent.size(), 5u);
    EXPECT_EQ(sent[2], "control 40 b6 0028 000a 1 00");
    EXPECT_EQ(sent[3], "control 40 b6 0085 000b 1 00 -> LIBUSB_ERROR_PIPE");
    EXPECT_EQ(sent[4], "control 40 b6 0014 000a 1 00");
    EXPECT_EQ(f.radio->control("RADIO STATUS"), "OK RADIO rx888-rate=half,rx888-attenuation=10.000000,rx888-gain=1.466388");

    EXPECT_EQ(error_of([&] { f.radio->control("RADIO SET rx888-attenuation=20,rx888-gain=5"); }),
              "RX-888 set HF gain: LIBUSB_ERROR_PIPE; the attenuator stayed at 20 dB");
    EXPECT_EQ(f.radio->control("RADIO STATUS"), "OK RADIO rx888-rate=half,rx888-attenuation=20.000000,rx888-gain=1.466388");
}

TEST_F(Rx888Requests, MeterLevelsAndOverloadReadTheStream)
{
    f.build();
    EXPECT_THAT(f.radio->control("RADIO LEVELS"), testing::StartsWith("OK LEVELS state=waiting,"));
    EXPECT_EQ(f.radio->control("RADIO OVERLOAD"), "OK OVERLOAD state=unknown,events=0");
    f.radio->start(f.queue);
    ASSERT_GE(f.take(6).size(), 6u);
    // A complex tone of amplitude 0.25 has an RMS of 0.25 / sqrt(2) in each component.
    std::smatch match;
    std::string const levels = f.radio->control("RADIO LEVELS");
    ASSERT_TRUE(std::regex_search(levels, match, std::regex("^OK LEVELS state=ready,peak=[0-9.]+,rms=([0-9.]+),")))
        << levels;
    EXPECT_NEAR(std::stod(match[1]), 0.1768, 0.002);
    std::string const meter = f.radio->control("RADIO METER");
    EXPECT_THAT(meter, testing::StartsWith("OK LEVELS state=ready,"));
    EXPECT_THAT(meter, HasSubstr("\nOK OVERLOAD state="));
    EXPECT_THAT(meter, HasSubstr("\nOK IFGAIN state=unavailable,reduction=na"));
    EXPECT_THAT(f.radio->control("RADIO LEVELS"), testing::ContainsRegex(",max=0\\.2[0-9]+,"));
    EXPECT_THAT(f.radio->control("RADIO LEVELS RESET"), HasSubstr(",max=na,"));
    EXPECT_EQ(error_of([&] { f.radio->control("RADIO GAIN 3"); }),
              "This receiver backend does not support live hardware control");
}

TEST(Rx888Overload, ReportsClippingAndItsEndAtMostOncePerFiveSeconds)
{
    // One clipped transfer, then half a second (245 transfers) of clean ones clears it; two
    // more clipped transfers, each after a clear, make events 2 and 3 within five seconds.
    // Streamed only twice slower than real, so that all of it takes about 2.5 s.
    Fixture f(Settings{{"SCRIPT", "20:clip:1,300:clip:1,560:clip:1"}, {"SLOW", "2"}});
    f.clock.rate = 0.5;
    f.build();
    f.radio->start(f.queue);
    auto wait_state = [&](std::string const& reply) {
        auto const end = Steady::now() + std::chrono::seconds(30);
        while (Steady::now() < end && f.radio->control("RADIO OVERLOAD") != reply)
            f.take(1, 0.05);
        return f.radio->control("RADIO OVERLOAD");
    };
    EXPECT_EQ(wait_state("OK OVERLOAD state=detected,events=1"), "OK OVERLOAD state=detected,events=1");
    auto const first_report = Steady::now();
    f.radio->report_overload();
    EXPECT_THAT(f.err.text(), HasSubstr("\nRF overload detected (events=1); the RX-888 ADC is clipping: raise the "
                                        "attenuator or lower the VGA gain\n"));
    f.radio->report_overload();
    // Half a second of clean words clears it.
    EXPECT_EQ(wait_state("OK OVERLOAD state=clear,events=1"), "OK OVERLOAD state=clear,events=1");
    f.radio->report_overload();
    EXPECT_THAT(f.err.text(), HasSubstr("\nRF overload cleared (events=1)\n"));
    // Two more events within five seconds of the first report: no new line yet.
    EXPECT_EQ(wait_state("OK OVERLOAD state=detected,events=3"), "OK OVERLOAD state=detected,events=3");
    f.radio->report_overload();
    double const since_first = std::chrono::duration<double>(Steady::now() - first_report).count();
    std::string const text = f.err.text();
    std::size_t lines = 0;
    for (std::size_t at = text.find("RF overload"); at != std::string::npos; at = text.find("RF overload", at + 1))
        ++lines;
    if (since_first < 5.0) {
        EXPECT_EQ(lines, 2u) << text;
    } else {
        // A slow machine took longer than five seconds: then the new events are reported.
        EXPECT_EQ(lines, 3u) << text;
        EXPECT_THAT(text, HasSubstr("(events=3)"));
    }
}

struct FaultCase {
    std::string name;
    std::string event;
    int status;
    std::string received;
    std::string text;
};

void PrintTo(FaultCase const& c, std::ostream* out) { *out << c.name; }

class Rx888StreamFault : public testing::TestWithParam<FaultCase> {};

TEST_P(Rx888StreamFault, WithoutRecoveryEndsReceptionWithItsText)
{
    FaultCase const& c = GetParam();
    Fixture f(Settings{{"SCRIPT", "40:" + c.event}});
    f.options.rx888_recovery = 0;
    f.build();
    f.radio->start(f.queue);
    EXPECT_EQ(f.failure(), c.text);
    std::string const text = f.err.text();
    std::string const line = "\nRX-888 stream fault: status=" + std::to_string(c.status) + ", received=" + c.received +
                             "/262144 bytes, after ";
    // A receiver pulled out may first refuse the resubmission of a transfer that had just
    // completed well.
    if (c.event.rfind("unplug", 0) == 0 && text.find(line) == std::string::npos) {
        EXPECT_THAT(text, HasSubstr("\nRX-888 resubmit ADC transfer: LIBUSB_ERROR_NO_DEVICE\n"));
    } else {
        EXPECT_THAT(text, HasSubstr(line));
        EXPECT_THAT(text, HasSubstr(" s and 40 transfers; "));
    }
    EXPECT_THAT(f.err.text(), Not(HasSubstr("trying to resume")));
    f.radio->stop();
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rx888StreamFault,
    testing::Values(FaultCase{"short", "short", 0, "262143", "RX-888 short USB transfer; sample continuity unknown"},
                    FaultCase{"error", "error", 1, "0", "RX-888 USB transfer error (bus or link fault); loss length unknown"},
                    FaultCase{"timeout", "timeout", 2, "0",
                              "RX-888 stopped sending samples (USB transfer timed out); loss length unknown"},
                    FaultCase{"stall", "stall", 4, "0", "RX-888 USB endpoint stalled; loss length unknown"},
                    FaultCase{"unplug", "unplug:-1", 5, "0", "RX-888 disconnected"},
                    FaultCase{"overflow", "overflow", 6, "0", "RX-888 USB transfer overflow; loss length unknown"}),
    [](testing::TestParamInfo<FaultCase> const& info) { return info.param.name; });

TEST(Rx888Recovery, AStallOnALiveDeviceIsMendedWithoutClosingIt)
{
    Fixture f(Settings{{"SCRIPT", "30:stall"}});
    f.build();
    f.radio->start(f.queue);
    ASSERT_FALSE(f.take(1).empty());
    IqBlock const resumed = f.next_discontinuity();
    EXPECT_EQ(resumed.gap_flags, GAP_SOURCE_RESET);
    EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888 USB endpoint stalled; loss length unknown; trying to resume\n"));
    EXPECT_TRUE(f.err.wait_for("RX-888: reception resumed after "));
    EXPECT_THAT(f.err.text(), Not(HasSubstr("is not answering")));
    EXPECT_TRUE(f.standin.log_of("close ").empty());
    // Configured again from the top, then started again.
    std::vector<std::string> const requests = f.standin.log_of("control 40 ");
    std::vector<std::string> expected = default_configure_log();
    expected[1] = "control 40 b2 0000 0000 4 0090d003";
    std::vector<std::string> const again(requests.begin() + 7, requests.begin() + 13);
    EXPECT_EQ(again, expected);
    EXPECT_EQ(requests[13], "control 40 aa 0000 0000 4 00000000");
    std::vector<IqBlock> const after = f.take(3);
    ASSERT_GE(after.size(), 3u);
    EXPECT_FALSE(after[2].discontinuity);
}

TEST(Rx888Recovery, AFailedResubmissionIsRecovered)
{
    Fixture f(Settings{{"FAIL", "submit@45"}});
    f.build();
    f.radio->start(f.queue);
    f.take(1);
    EXPECT_EQ(f.next_discontinuity().gap_flags, GAP_SOURCE_RESET);
    EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888 USB resubmission failed; trying to resume\n"));
    EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888: reception resumed after "));
}

TEST(Rx888Recovery, AReplugWithinTheLimitResumes)
{
    Fixture f(Settings{{"SCRIPT", "30:unplug:700"}});
    f.build();
    f.radio->start(f.queue);
    IqBlock const resumed = (f.take(1), f.next_discontinuity());
    EXPECT_EQ(resumed.gap_flags, GAP_SOURCE_RESET);
    std::string const text = f.err.text();
    EXPECT_TRUE(said_in_order(text, {"\nRX-888 disconnected; trying to resume\n",
                                     "RX-888 is not answering; waiting up to 130 s for it to reset or be replugged\n"}));
    EXPECT_THAT(text, HasSubstr("\nRX-888: reception resumed after "));
    EXPECT_NE(f.standin.log_of("plug usb-2-1-4 application").size(), 0u);
    EXPECT_EQ(f.queue.failure(), "");
}

TEST(Rx888Recovery, AReplugIntoTheBootloaderGetsFirmwareFirst)
{
    Fixture f(Settings{{"SCRIPT", "30:unplug-boot:300"}});
    f.options.rx888_firmware = write_image(f.standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(16, 1)}}, 0x40000000));
    f.build();
    f.radio->start(f.queue);
    f.take(1);
    f.next_discontinuity();
    std::string const text = f.err.text();
    EXPECT_THAT(text, HasSubstr("\nRX-888: uploading FX3 firmware " + f.options.rx888_firmware));
    EXPECT_THAT(text, HasSubstr("\nRX-888: reception resumed after "));
    EXPECT_EQ(f.standin.log_of("jump ").size(), 1u);
}

TEST(Rx888Recovery, ADeadDeviceIsClosedAndOpenedAgainOnceItResets)
{
    Fixture f(Settings{{"SCRIPT", "30:dead:800"}});
    f.build();
    f.radio->start(f.queue);
    f.take(1);
    f.next_discontinuity();
    std::string const text = f.err.text();
    EXPECT_TRUE(said_in_order(text, {"RX-888 stopped sending samples (USB transfer timed out); loss length unknown; "
                                     "trying to resume\n",
                                     "RX-888 is not answering; waiting up to 130 s"}));
    EXPECT_THAT(text, HasSubstr("\nRX-888: reception resumed after "));
    EXPECT_EQ(f.standin.log_of("close ").size(), 1u);
}

TEST(Rx888Recovery, ADeviceThatNeverComesBackEndsReceptionWithTheFault)
{
    Fixture f(Settings{{"SCRIPT", "30:unplug:-1"}});
    f.options.rx888_recovery = 1.5;
    f.build();
    f.radio->start(f.queue);
    EXPECT_EQ(f.failure(), "RX-888 disconnected");
    EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888 did not come back within 1.5 s; unplug it and plug it back in\n"));
}

TEST(Rx888Recovery, ADeadDeviceWithoutRecoveryIsToldToBeReplugged)
{
    Fixture f(Settings{{"SCRIPT", "30:dead:-1"}});
    f.options.rx888_recovery = 0;
    f.build();
    f.radio->start(f.queue);
    EXPECT_EQ(f.failure(), "RX-888 stopped sending samples (USB transfer timed out); loss length unknown");
    f.radio->stop();
    // The stop command could not reach it; the run was already told why reception ended.
    EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888 is no longer answering commands; unplug it and plug it back in before "
                                        "the next start\n"));
}

TEST(Rx888Recovery, AStopEndsTheWaitPromptlyAndQuietly)
{
    Fixture f(Settings{{"SCRIPT", "30:unplug:-1"}});
    f.build();
    f.radio->start(f.queue);
    ASSERT_TRUE(f.err.wait_for("waiting up to 130 s"));
    auto const begin = Steady::now();
    f.radio->stop();
    EXPECT_LT(std::chrono::duration<double>(Steady::now() - begin).count(), 2.0);
    EXPECT_EQ(f.queue.failure(), "");
    EXPECT_THAT(f.err.text(), Not(HasSubstr("did not come back")));
}

TEST(Rx888Recovery, AStopEndsAFirmwareWaitPromptly)
{
    Fixture f(Settings{{"SCRIPT", "30:unplug-boot:100"}, {"DEVICES", "app:SN1:2:1.4:reenumerate=-1"}});
    f.options.rx888_firmware = write_image(f.standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(16, 1)}}, 0x40000000));
    f.build();
    f.radio->start(f.queue);
    ASSERT_TRUE(f.standin.wait_for_log("jump "));
    auto const begin = Steady::now();
    f.radio->stop();
    // The upload's wait for the device would last five seconds.
    EXPECT_LT(std::chrono::duration<double>(Steady::now() - begin).count(), 2.0);
    EXPECT_EQ(f.queue.failure(), "");
}

TEST(Rx888StreamFailures, ResubmissionEventHandlingAndConversionFailuresEndReception)
{
    {
        Fixture f(Settings{{"FAIL", "submit@45"}});
        f.options.rx888_recovery = 0;
        f.build();
        f.radio->start(f.queue);
        EXPECT_EQ(f.failure(), "RX-888 USB resubmission failed");
        EXPECT_THAT(f.err.text(), HasSubstr("\nRX-888 resubmit ADC transfer: LIBUSB_ERROR_IO\n"));
    }
    {
        Fixture f(Settings{{"FAIL", "events@5"}});
        f.build();
        f.radio->start(f.queue);
        EXPECT_EQ(f.failure(), "RX-888 USB event handling failed");
    }
    {
        Fixture f;
        Rx888Hooks hooks;
        std::atomic<int> blocks{0};
        hooks.before_conversion = [&] {
            if (++blocks == 5)
                throw std::runtime_error("out of memory");
        };
        f.build(std::move(hooks));
        f.radio->start(f.queue);
        EXPECT_EQ(f.failure(), "RX-888 downconversion failed");
    }
}

TEST(Rx888Start, AFailedStartOnALiveDeviceLeavesItStopped)
{
    Fixture f(Settings{{"FAIL", "start@1"}});
    f.build();
    EXPECT_EQ(error_of([&] { f.radio->start(f.queue); }), "RX-888 write firmware command: LIBUSB_ERROR_IO");
    // Every transfer was taken back from libusb and freed (the stand-in aborts otherwise);
    // the radio can start again.
    SampleQueue second;
    second.configure(f.radio->sample_rate(), 8);
    f.radio->start(second);
    std::vector<IqBlock> got;
    auto const end = Steady::now() + std::chrono::seconds(20);
    while (got.empty() && Steady::now() < end)
        second.pop_blocks(got);
    EXPECT_FALSE(got.empty());
    f.radio->stop();
}

TEST(Rx888Start, ADeviceThatStopsAnsweringWhileStartingIsWaitedFor)
{
    // The identity request of the open answers, the probe after the failed start does not.
    Fixture f(Settings{{"FAIL", "start@1,identity@2"}});
    f.build();
    f.radio->start(f.queue);
    EXPECT_FALSE(f.take(2).empty());
    std::string const text = f.err.text();
    EXPECT_THAT(text, HasSubstr("\nRX-888: RX-888 write firmware command: LIBUSB_ERROR_IO while starting\nRX-888 is not "
                                "answering; waiting up to 130 s for it to reset or be replugged\n"));
    EXPECT_THAT(text, HasSubstr("\nRX-888: reception started after it came back\n"));
}

TEST(Rx888HostFallsBehind, DroppedTransfersBecomeAKnownGap)
{
    Fixture f;
    f.options.buffer_seconds = 0.5;  // the pool holds 244 buffers at 64 MS/s
    std::mutex mutex;
    std::condition_variable changed;
    bool hold = true;
    Rx888Hooks hooks;
    std::atomic<int> seen{0};
    hooks.before_conversion = [&] {
        if (++seen != 2)
            return;
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return !hold; });
    };
    f.build(std::move(hooks));
    f.radio->start(f.queue);
    // 1 block converted, 1 held, 243 queued; 300 transfers delivered: at least 50 dropped.
    ASSERT_TRUE(f.standin.wait_for_log("delivered 300"));
    {
        std::scoped_lock lock(mutex);
        hold = false;
    }
    changed.notify_all();
    IqBlock const after = (f.take(1), f.next_discontinuity());
    EXPECT_EQ(after.gap_flags, GAP_DROPPED);
    EXPECT_EQ(after.gap_samples % 8192, 0u);  // whole transfers of 131072 words, D = 16
    EXPECT_GE(after.gap_samples, 50u * 8192u);
    double const dropped_ms = static_cast<double>(after.gap_samples) * 16 / 64e6 * 1000;
    EXPECT_TRUE(f.err.wait_for("RX-888: the host fell behind; dropped "));
    std::smatch match;
    std::string const text = f.err.text();
    ASSERT_TRUE(std::regex_search(text, match, std::regex("the host fell behind; dropped ([0-9.]+) ms of samples "
                                                          "\\(reception continues\\)")));
    EXPECT_NEAR(std::stod(match[1]), dropped_ms, 0.01 * dropped_ms);
    EXPECT_THAT(text, HasSubstr("RX-888 front end: CPU"));
}

TEST(Rx888Clock, BlockTimesFollowTheSystemClockWhenTheAdcDrifts)
{
    // The stand-in's ADC runs 200 ppm fast; here the radio's system clock also runs 40 %
    // slower than the stream, so the drift reaches the limit within seconds rather than in
    // the 21 minutes that 200 ppm alone would take.
    Fixture f(Settings{{"PPM", "200"}});
    f.clock.rate = 0.6 / kSlow;
    f.build();
    f.radio->start(f.queue);
    ASSERT_FALSE(f.take(1).empty());
    auto const [before, reanchored] = f.discontinuity_after_block();
    EXPECT_EQ(reanchored.gap_flags, GAP_SOURCE_RESET);
    std::smatch match;
    std::string const text = f.err.text();
    ASSERT_TRUE(std::regex_search(text, match, std::regex("\nRX-888: sample times drifted ([0-9.e-]+) s from the system "
                                                          "clock; re-anchored \\(reception continues after a "
                                                          "discontinuity\\)\n")))
        << text;
    double const drift = std::stod(match[1]);
    EXPECT_GT(drift, 0.25);
    EXPECT_LT(drift, 0.30);
    // The times jump back by the drift; no samples are lost: the converter went on.
    EXPECT_NEAR(f.jump(before, reanchored), -drift, 1e-3);
    EXPECT_EQ(reanchored.gap_samples, 0u);
}

struct ClockStepCase {
    char const* name;
    double step_s;  // how far the system clock steps and stays
};

class Rx888ClockStep : public testing::TestWithParam<ClockStepCase> {};

// The system clock steps and stays there: the block times follow it once, by the step (a step
// ahead leaves the blocks lagging it for good, and after a quarter second of such transfers
// their times follow it), and the drift is told once.
TEST_P(Rx888ClockStep, IsFollowedOnce)
{
    double const step = GetParam().step_s;
    Fixture f;
    f.build();
    f.radio->start(f.queue);
    ASSERT_GE(f.take(4).size(), 4u);
    f.clock.step = step;
    auto const [before, reanchored] = f.discontinuity_after_block();
    EXPECT_NEAR(f.jump(before, reanchored), step, 0.05);
    std::vector<IqBlock> const after = f.take(6);
    ASSERT_GE(after.size(), 6u);
    for (IqBlock const& block : after)
        EXPECT_FALSE(block.discontinuity);
    std::string const text = f.err.text();
    std::smatch match;
    ASSERT_TRUE(std::regex_search(text, match, std::regex("sample times drifted ([0-9.e-]+) s"))) << text;
    EXPECT_NEAR(std::stod(match[1]), -step, 0.05);
    EXPECT_EQ(text.find("sample times drifted"), text.rfind("sample times drifted")) << text;
}

INSTANTIATE_TEST_SUITE_P(Steps, Rx888ClockStep,
                         testing::Values(ClockStepCase{"back_2_s", -2.0}, ClockStepCase{"ahead_1_s", 1.0}),
                         [](testing::TestParamInfo<ClockStepCase> const& info) { return std::string(info.param.name); });

TEST(Rx888Clock, ALateHostIsNotMistakenForADriftingClock)
{
    // The system clock jumps ahead by half a second for a moment, as when the event thread
    // handled a burst of transfers late, then comes back: no re-anchoring.
    Fixture f;
    f.build();
    f.radio->start(f.queue);
    ASSERT_GE(f.take(4).size(), 4u);
    f.clock.step = 0.5;
    f.take(1, 0.1);
    f.clock.step = 0.0;
    std::vector<IqBlock> const after = f.take(20);
    ASSERT_GE(after.size(), 20u);
    for (IqBlock const& block : after)
        EXPECT_FALSE(block.discontinuity);
    EXPECT_THAT(f.err.text(), Not(HasSubstr("drifted")));
}

TEST(Rx888Engine, WithoutThePlugInThereIsNoEngineAndTheReasonSaysWhy)
{
    Fixture f;
    GpuLibrary const missing = GpuLibrary::load("/nonexistent/libnorvane-gpu.so");
    Rx888Hooks hooks;
    hooks.gpu_library = &missing;
    f.build(std::move(hooks));
    std::string reason;
    EXPECT_EQ(f.radio->receive_engine(16384, reason), nullptr);
    EXPECT_EQ(reason, missing.error);
    f.radio->start(f.queue);
    ASSERT_FALSE(f.take(1).empty());
    EXPECT_TRUE(f.err.wait_for("\nRX-888 front end: CPU, 1 thread (GPU: " + missing.error + ")\n"));
}

TEST(Rx888Engine, ThePlugInsEngineTakesTheRawWords)
{
    GpuStandinSettings gpu;
    Fixture f;
    Rx888Hooks hooks;
    hooks.gpu_library = &gpu_standin();
    f.build(std::move(hooks));
    std::string reason;
    std::shared_ptr<SpectrumRows> const engine = f.radio->receive_engine(16384, reason);
    EXPECT_EQ(reason, "GPU (" + gpu_standin_name + ")");
    ASSERT_NE(dynamic_cast<GpuReceiver const*>(engine.get()), nullptr);
    EXPECT_EQ(dynamic_cast<RawSpectrum const*>(engine.get())->block_samples(), 16u * 16384u / 2u);
    f.radio->start(f.queue);
    std::vector<IqBlock> const blocks = f.take(2);
    ASSERT_GE(blocks.size(), 2u);
    EXPECT_EQ(blocks[1].raw.size(), 131072u);
    EXPECT_EQ(blocks[1].raw_per_sample, 16u);
    EXPECT_THAT(f.err.text(), Not(HasSubstr("RX-888 front end:")));
}

TEST(Rx888Engine, APlugInThatCannotStartAnEngineSaysWhy)
{
    GpuStandinSettings gpu{{"FAIL", "rx_create"}};
    Fixture f;
    Rx888Hooks hooks;
    hooks.gpu_library = &gpu_standin();
    f.build(std::move(hooks));
    std::string reason;
    EXPECT_EQ(f.radio->receive_engine(16384, reason), nullptr);
    EXPECT_EQ(reason, "stand-in GPU: receive engine creation failed on request");
}

TEST(Rx888Engine, WithoutAnEngineThePlugInConverts)
{
    GpuStandinSettings gpu;
    Fixture f;
    Rx888Hooks hooks;
    hooks.gpu_library = &gpu_standin();
    f.build(std::move(hooks));
    f.radio->start(f.queue);
    std::vector<IqBlock> const blocks = f.take(3);
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_EQ(blocks[2].samples.size(), 8192u);
    EXPECT_TRUE(f.err.wait_for("\nRX-888 front end: GPU (" + gpu_standin_name + ")\n"));
}

TEST(Rx888Engine, TurnedOffThereIsNoEngine)
{
    Fixture f;
    f.options.rx888_gpu = "off";
    Rx888Hooks hooks;
    hooks.make_engine = [](std::size_t frame_length, std::uint32_t decimation, double clock, std::string&) {
        return std::make_shared<testbed::CpuReceiveEngine>(frame_length, decimation, clock);
    };
    f.build(std::move(hooks));
    std::string reason;
    EXPECT_EQ(f.radio->receive_engine(16384, reason), nullptr);
    EXPECT_EQ(reason, "--rx888-gpu off");
}

TEST(Rx888Engine, WithAnEngineTheQueueCarriesRawWords)
{
    Fixture f;
    Rx888Hooks hooks;
    hooks.make_engine = [](std::size_t frame_length, std::uint32_t decimation, double clock, std::string& reason) {
        reason = "GPU (test engine)";
        return std::make_shared<testbed::CpuReceiveEngine>(frame_length, decimation, clock);
    };
    f.build(std::move(hooks));
    std::string reason;
    std::shared_ptr<SpectrumRows> const engine = f.radio->receive_engine(16384, reason);
    ASSERT_NE(engine, nullptr);
    EXPECT_EQ(reason, "GPU (test engine)");
    auto const* raw = dynamic_cast<RawSpectrum const*>(engine.get());
    ASSERT_NE(raw, nullptr);
    EXPECT_EQ(raw->decimation(), 16u);
    // Centres move in steps of the engine's bins: 64 MHz / (16384 x 16) = 244.140625 Hz.
    EXPECT_DOUBLE_EQ(f.radio->center_for(14.0801e6), 57672.0 * 244.140625);
    f.radio->start(f.queue);
    std::vector<IqBlock> const blocks = f.take(3);
    ASSERT_GE(blocks.size(), 3u);
    EXPECT_TRUE(blocks[0].discontinuity);
    for (IqBlock const& block : blocks) {
        EXPECT_TRUE(block.samples.empty());
        EXPECT_EQ(block.raw.size(), 131072u);
        EXPECT_EQ(block.raw_per_sample, 16u);
        EXPECT_EQ(block.length(), 8192u);
    }
    EXPECT_NEAR(blocks[1].utc - blocks[0].utc, 131072 / 64e6, 1e-6);
    // Levels come from the words themselves: a cosine of amplitude 0.25 has an RMS of 0.177.
    std::smatch match;
    std::string const levels = f.radio->control("RADIO LEVELS");
    ASSERT_TRUE(std::regex_search(levels, match, std::regex("^OK LEVELS state=ready,peak=([0-9.]+),rms=([0-9.]+),")))
        << levels;
    EXPECT_NEAR(std::stod(match[1]), 0.25, 0.001);
    EXPECT_NEAR(std::stod(match[2]), 0.1768, 0.002);
    EXPECT_THAT(f.err.text(), Not(HasSubstr("RX-888 front end:")));
}

}  // namespace
