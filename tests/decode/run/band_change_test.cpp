// RADIO RETUNE: the request grammar, and what CHECK and APPLY do to a run.
#include "decode/run/band_change.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "decode/decoder_capture.hpp"
#include "decode/decoder_pool.hpp"
#include "decode/run/decode_pipeline.hpp"
#include "decode/run/retune_mailbox.hpp"
#include "radio/sample_queue.hpp"
#include "testbed/lib/scripted_radio.hpp"
#include "tests/support/temp_dir.hpp"

namespace {

namespace fs = std::filesystem;

constexpr double kCentre = 14080000;
constexpr double kRate = 128000;

Options running_options()
{
    Options options;
    options.wideband = true;
    options.frequency = kCentre;
    options.if_bandwidth = 200000;  // channels within centre +- 90000
    options.bandwidth = 3000;
    options.decoder_channels = {{14074000, DigitalMode::FT8}};
    options.decoders = 1;
    return options;
}

// ---- grammar ----------------------------------------------------------------------------

struct GoodCase {
    char const* name;
    std::string text;
    double centre;
    std::vector<DecoderChannel> channels;
    bool check;
};

std::ostream& operator<<(std::ostream& out, GoodCase const& c) { return out << c.name; }

class RetuneGrammar : public testing::TestWithParam<GoodCase> {};

TEST_P(RetuneGrammar, Parses)
{
    RetuneRequest const request = parse_retune_request(GetParam().text, running_options());
    EXPECT_EQ(request.centre, GetParam().centre);
    EXPECT_EQ(request.channels, GetParam().channels);
    EXPECT_EQ(request.check, GetParam().check);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, RetuneGrammar,
    testing::Values(
        GoodCase{"check_without_channels", "RADIO RETUNE CHECK 7074000", 7074000, {}, true},
        GoodCase{"apply_in_request_order", "RADIO RETUNE APPLY 14080000 FT4:14080000 FT8:14074000", 14080000,
                 {{14080000, DigitalMode::FT4}, {14074000, DigitalMode::FT8}}, false},
        // FT8 is at least 4000 Hz wide: 14074000..14078000 lies inside 14074000 + 90000.
        GoodCase{"ft8_at_the_centre", "RADIO RETUNE CHECK 14074000 FT8:14074000", 14074000,
                 {{14074000, DigitalMode::FT8}}, true},
        GoodCase{"exactly_at_the_lower_edge", "RADIO RETUNE CHECK 14080000 FT8:13990000", 14080000,
                 {{13990000, DigitalMode::FT8}}, true},
        GoodCase{"ft4_fits_where_ft8_does_not", "RADIO RETUNE CHECK 14080000 FT4:14167000", 14080000,
                 {{14167000, DigitalMode::FT4}}, true},
        GoodCase{"exponent_notation", "RADIO RETUNE APPLY 14.08e6 FT8:14.074e6", 14080000,
                 {{14074000, DigitalMode::FT8}}, false},
        GoodCase{"ft8_and_ft4_on_one_dial", "RADIO RETUNE APPLY 14080000 FT8:14074000 FT4:14074000", 14080000,
                 {{14074000, DigitalMode::FT8}, {14074000, DigitalMode::FT4}}, false},
        GoodCase{"every_mode_name", "RADIO RETUNE APPLY 7080000 JS8:7078000 JS8-FAST:7078000 JS8-TURBO:7078000 "
                 "JS8-SLOW:7078000 WSPR:7038600", 7080000,
                 {{7078000, DigitalMode::JS8}, {7078000, DigitalMode::JS8_FAST}, {7078000, DigitalMode::JS8_TURBO},
                  {7078000, DigitalMode::JS8_SLOW}, {7038600, DigitalMode::WSPR}}, false},
        GoodCase{"tab_separated_check", "RADIO\tRETUNE\tCHECK\t7074000", 7074000, {}, true},
        GoodCase{"two_blanks_check", "RADIO RETUNE  CHECK 7074000", 7074000, {}, true},
        GoodCase{"trailing_newline", "RADIO RETUNE APPLY 7074000\n", 7074000, {}, false}),
    [](testing::TestParamInfo<GoodCase> const& info) { return std::string(info.param.name); });

struct BadCase {
    char const* name;
    std::string text;
    std::string message;
};

std::ostream& operator<<(std::ostream& out, BadCase const& c) { return out << c.name; }

class RetuneGrammarError : public testing::TestWithParam<BadCase> {};

TEST_P(RetuneGrammarError, IsRefusedWithItsMessage)
{
    try {
        parse_retune_request(GetParam().text, running_options());
        ADD_FAILURE() << "accepted";
    } catch (std::exception const& error) {
        EXPECT_EQ(error.what(), GetParam().message);
    }
}

std::string const kExpected = "Expected RADIO RETUNE CHECK/APPLY center [MODE:frequency ...]";

INSTANTIATE_TEST_SUITE_P(
    Requests, RetuneGrammarError,
    testing::Values(
        BadCase{"centre_too_low", "RADIO RETUNE CHECK 999", kExpected},
        BadCase{"centre_too_high", "RADIO RETUNE CHECK 2000000001", kExpected},
        BadCase{"centre_not_a_number", "RADIO RETUNE CHECK FT8:14074000", kExpected},
        BadCase{"centre_nan", "RADIO RETUNE CHECK nan", kExpected},
        BadCase{"no_centre", "RADIO RETUNE APPLY", kExpected},
        BadCase{"unknown_action", "RADIO RETUNE TEST 14074000", kExpected},
        BadCase{"lower_case_action", "RADIO RETUNE apply 14074000", kExpected},
        BadCase{"wrong_second_word", "RADIO TUNE APPLY 14074000", kExpected},
        BadCase{"lower_case_mode", "RADIO RETUNE CHECK 14080000 ft8:14074000", "Invalid retune mode"},
        BadCase{"unknown_mode", "RADIO RETUNE CHECK 14080000 PSK31:14074000", "Invalid retune mode"},
        BadCase{"no_colon", "RADIO RETUNE CHECK 14080000 FT8", "Invalid retune mode"},
        BadCase{"k_suffix", "RADIO RETUNE CHECK 14080000 FT8:14074k", "Invalid retune frequency"},
        BadCase{"second_colon", "RADIO RETUNE CHECK 14080000 FT8:14074000:1", "Invalid retune frequency"},
        BadCase{"infinite", "RADIO RETUNE CHECK 14080000 FT8:inf", "Invalid retune frequency"},
        BadCase{"frequency_too_low", "RADIO RETUNE CHECK 14080000 FT8:999", "Invalid retune frequency"},
        BadCase{"empty_frequency", "RADIO RETUNE CHECK 14080000 FT8:", "stod"},
        BadCase{"text_frequency", "RADIO RETUNE CHECK 14080000 FT8:abc", "stod"},
        BadCase{"frequency_out_of_range", "RADIO RETUNE CHECK 14080000 FT8:1e999", "stod"},
        BadCase{"one_hertz_below_the_edge", "RADIO RETUNE CHECK 14080000 FT8:13989999",
                "Retune channel is outside the running SDR capture bandwidth"},
        BadCase{"ft8_width_over_the_upper_edge", "RADIO RETUNE CHECK 14080000 FT8:14167000",
                "Retune channel is outside the running SDR capture bandwidth"},
        BadCase{"duplicate_channel", "RADIO RETUNE CHECK 14080000 FT8:14074000 FT8:14074000.0",
                "Duplicate or too many retune channels"}),
    [](testing::TestParamInfo<BadCase> const& info) { return std::string(info.param.name); });

std::string many_channels(int count)
{
    std::string text = "RADIO RETUNE APPLY 14080000";
    for (int i = 0; i < count; ++i)
        text += " FT4:" + std::to_string(14000000 + 1000 * i);
    return text;
}

TEST(RetuneGrammarLimit, NinetySixChannelsFitANinetySeventhDoesNot)
{
    Options options = running_options();
    options.if_bandwidth = 400000;
    EXPECT_EQ(parse_retune_request(many_channels(96), options).channels.size(), 96u);
    try {
        parse_retune_request(many_channels(97), options);
        ADD_FAILURE() << "97 channels accepted";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Duplicate or too many retune channels");
    }
}

// ---- CHECK and APPLY on a run -----------------------------------------------------------

// A receiver that can retune, or refuses with `refusal`.
class RetunableRadio : public testbed::ScriptedRadio {
public:
    RetunableRadio() : ScriptedRadio(kRate, 0.0) {}
    void check_retune(double hz) override
    {
        if (hz > 30000000)
            throw std::runtime_error("Frequency is outside this receiver's tuning range");
    }
    void retune(double hz) override
    {
        if (!retune_refusal.empty())
            throw std::runtime_error(retune_refusal);
        retunes.push_back(hz);
    }
    std::string retune_refusal;
    std::vector<double> retunes;
};

class BandChange : public testing::Test {
protected:
    BandChange()
    {
        options = running_options();
        options.receivers_only = true;
        context.rate_hz = kRate;
        context.capture_centre = [](double hz) { return hz; };
        context.pool = &pool;
        context.radio = radio_ptr;
        capture = build_decode_pipeline(context, options);
        original = capture.get();
    }

    // Decoder mode: a pool whose decoders are stand-ins (nothing is decoded in these tests).
    void with_pool()
    {
        fs::create_symlink(NORVANE_SOURCE_DIR "/testbed/decoders/scripted_decoder", dir / "jt9");
        options.receivers_only = false;
        options.decoder = options.js8_decoder = (dir / "jt9").string();
        options.wspr_decoder = (dir / "missing-wsprd").string();
        fs::create_directory(dir / "work");
        options.work_dir = (dir / "work").string();
        options.all_txt = (dir / "ALL.TXT").string();
        options.workers = 1;
        pool = std::make_unique<DecoderPool>(options, nullptr, nullptr);
    }

    BandChangeRun run()
    {
        return BandChangeRun{options,
                             *radio_ptr,
                             pool.get(),
                             nullptr,
                             [this](Options const& wanted) {
                                 ++builds;
                                 return build_decode_pipeline(context, wanted);
                             },
                             [this](DecoderCapture&) { ++attaches; },
                             context.capture_centre,
                             mailbox,
                             capture,
                             queue,
                             {}};
    }

    // Serves the request on a control thread while this thread plays the run loop's mailbox step.
    std::string serve(std::string const& text)
    {
        std::string reply;
        std::atomic<bool> answered{false};
        BandChangeRun const band = run();
        std::thread control([&] {
            try {
                reply = handle_retune_request(band, text);
            } catch (std::exception const& error) {
                reply = std::string("ERROR ") + error.what();
            }
            answered = true;
        });
        while (!answered) {
            if (mailbox.pending())
                mailbox.run_pending();
            std::this_thread::yield();
        }
        control.join();
        return reply;
    }

    void expect_untouched()
    {
        EXPECT_EQ(capture.get(), original);
        EXPECT_EQ(options.frequency, kCentre);
        EXPECT_EQ(options.decoder_channels, running_options().decoder_channels);
        EXPECT_TRUE(radio.retunes.empty());
    }

    TempDir dir;
    RetunableRadio radio;
    Radio* radio_ptr = &radio;
    Options options;
    std::unique_ptr<DecoderPool> pool;
    DecodePipelineContext context;
    std::unique_ptr<DecoderCapture> capture;
    DecoderCapture* original = nullptr;
    RetuneMailbox mailbox;
    SampleQueue queue;
    int builds = 0;
    int attaches = 0;
};

TEST_F(BandChange, CheckValidatesAndChangesNothing)
{
    for (std::string const text :
         {"RADIO RETUNE CHECK 7080000", "RADIO RETUNE\tCHECK 7080000", "RADIO  RETUNE CHECK  7080000"}) {
        EXPECT_EQ(serve(text), "OK RETUNE validated") << text;
        expect_untouched();
        EXPECT_EQ(builds, 0);
    }
}

TEST_F(BandChange, ApplyInReceiversModeMovesTheCaptureOnly)
{
    testing::internal::CaptureStderr();
    EXPECT_EQ(serve("RADIO RETUNE APPLY 7080000"), "OK RETUNE center=7080000.000000 channels=0");
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Retuned receiver: center=7.08e+06 Hz, 0 decoder channels; discarded partial intervals\n");
    EXPECT_EQ(radio.retunes, std::vector<double>{7080000});
    EXPECT_NE(capture.get(), original);
    EXPECT_EQ(attaches, 1);
    EXPECT_EQ(options.frequency, 7080000);
    EXPECT_TRUE(options.decoder_channels.empty());
    EXPECT_EQ(options.decoders, 0u);
}

TEST_F(BandChange, ApplyOfTheCurrentBandStillReplacesThePipeline)
{
    testing::internal::CaptureStderr();
    with_pool();
    EXPECT_EQ(serve("RADIO RETUNE APPLY 14080000 FT8:14074000"), "OK RETUNE center=14080000.000000 channels=1");
    testing::internal::GetCapturedStderr();
    EXPECT_NE(capture.get(), original);
    EXPECT_EQ(radio.retunes, std::vector<double>{14080000});
}

TEST_F(BandChange, ApplyDropsTheQueuedSamplesOfTheOldTuning)
{
    queue.configure(kRate, 1.0);
    IqBlock block;
    block.samples.assign(4096, {0.5f, 0.0f});
    queue.push(std::move(block));
    testing::internal::CaptureStderr();
    with_pool();
    EXPECT_EQ(serve("RADIO RETUNE APPLY 7080000 FT8:7074000 JS8:7078000"),
              "OK RETUNE center=7080000.000000 channels=2");
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(options.decoder_channels,
              (std::vector<DecoderChannel>{{7074000, DigitalMode::FT8}, {7078000, DigitalMode::JS8}}));
    EXPECT_EQ(options.decoders, 2u);
    queue.close();
    IqBlock left;
    EXPECT_FALSE(queue.pop(left));
}

TEST_F(BandChange, ARadioThatCannotRetuneLeavesTheRunOnItsBandWithAFreshPipeline)
{
    radio.retune_refusal = "SDRplay retune failed";
    EXPECT_EQ(serve("RADIO RETUNE APPLY 7080000"), "ERROR SDRplay retune failed");
    EXPECT_NE(capture.get(), original) << "the old band's partial intervals are dropped too";
    EXPECT_EQ(builds, 2);
    EXPECT_EQ(options.frequency, kCentre);
    EXPECT_EQ(options.decoder_channels, running_options().decoder_channels);
}

struct RefusedCase {
    char const* name;
    std::string text;
    std::string reply;
    bool decoder_mode;
};

std::ostream& operator<<(std::ostream& out, RefusedCase const& c) { return out << c.name; }

class BandChangeRefused : public BandChange, public testing::WithParamInterface<RefusedCase> {};

TEST_P(BandChangeRefused, LeavesTheRunUntouched)
{
    if (GetParam().decoder_mode)
        with_pool();
    std::string expected = GetParam().reply;
    if (auto const at = expected.find("{dir}"); at != std::string::npos)
        expected.replace(at, 5, dir.path().string());
    EXPECT_EQ(serve(GetParam().text), expected);
    expect_untouched();
}

INSTANTIATE_TEST_SUITE_P(
    Requests, BandChangeRefused,
    testing::Values(
        RefusedCase{"radio_cannot_reach_the_centre", "RADIO RETUNE CHECK 50000000",
                    "ERROR Frequency is outside this receiver's tuning range", false},
        RefusedCase{"channels_in_receivers_mode", "RADIO RETUNE CHECK 7080000 FT8:7074000",
                    "ERROR Start in decoder or hybrid mode to enable live band changes", false},
        RefusedCase{"malformed", "RADIO RETUNE APPLY 999", "ERROR " + kExpected, false},
        // Inside the usable width, outside what the IQ rate carries.
        RefusedCase{"channel_beyond_nyquist", "RADIO RETUNE APPLY 7080000 FT4:7160000",
                    "ERROR Channel outside IQ Nyquist bandwidth", true},
        RefusedCase{"decoder_program_missing", "RADIO RETUNE APPLY 14080000 WSPR:14095600",
                    "ERROR Cannot find decoder executable: {dir}/missing-wsprd (install wsjtx or use --wspr-decoder PATH)", true}),
    [](testing::TestParamInfo<RefusedCase> const& info) { return std::string(info.param.name); });

TEST_F(BandChange, ARadioWithoutLiveRetuneRefusesCheckToo)
{
    testbed::ScriptedRadio plain(kRate, 0.0);
    radio_ptr = &plain;
    EXPECT_EQ(serve("RADIO RETUNE CHECK 14080000"),
              "ERROR Live RF retuning is currently supported for local SDRplay receivers");
    EXPECT_EQ(serve("RADIO RETUNE APPLY 14080000"),
              "ERROR Live RF retuning is currently supported for local SDRplay receivers");
    EXPECT_EQ(capture.get(), original);
}

TEST_F(BandChange, ApplyWhileTheRunIsStoppingIsRefused)
{
    mailbox.stop();
    EXPECT_EQ(serve("RADIO RETUNE APPLY 7080000"), "ERROR Receiver is stopping");
    expect_untouched();
}

}  // namespace
