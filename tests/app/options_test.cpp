#include "core/options.hpp"

#include <gtest/gtest.h>

#include <vector>

#include "app/parse_options.hpp"

namespace {

TEST(Options, DefaultRecordIsOnlyAStartingPoint)
{
    Options const options;
    EXPECT_EQ(options.modes, std::vector<DigitalMode>{DigitalMode::FT8});
    EXPECT_EQ(options.sample_rate, 0);
    EXPECT_EQ(options.if_bandwidth, 200000);
    EXPECT_EQ(options.frequency, 0);
    EXPECT_EQ(options.decoders, 0u);
    EXPECT_EQ(options.workers, 0u);
    // The journal and picture defaults belong to the parser: a bare record writes nothing.
    EXPECT_TRUE(options.signal_journal.empty());
    EXPECT_TRUE(options.survey_journal.empty());
    EXPECT_TRUE(options.wefax_images.empty());
    EXPECT_EQ(options.pid_file, "norvane.pid");
    EXPECT_EQ(options.log_file, "norvane.log");
    EXPECT_EQ(options.all_txt, "ALL.TXT");
    EXPECT_EQ(options.backend, "sdrplay");
    EXPECT_EQ(options.usb_mode, "isochronous");
    EXPECT_EQ(options.sink, "norvane_rx");
    EXPECT_TRUE(options.create_sink);
    EXPECT_TRUE(options.agc);
    EXPECT_FALSE(options.wideband);
    EXPECT_FALSE(options.receivers_only);
}

TEST(Options, ParserAssignsJournalAndPictureDefaults)
{
    char const* argv[] = {"norvane", "-f", "14.074M"};
    Options const options = parse_options(3, argv);
    EXPECT_EQ(options.signal_journal, "signal-events.jsonl");
    EXPECT_EQ(options.survey_journal, "signal-events.jsonl");
    EXPECT_EQ(options.wefax_images, "wefax");
}

struct Tuning {
    bool wideband;
    std::uint32_t modulation;
    double frequency;
    double tuner;
};

class TunerFrequency : public testing::TestWithParam<Tuning> {};

TEST_P(TunerFrequency, KeepsTheDialOffTheReceiverCentre)
{
    Options options;
    options.wideband = GetParam().wideband;
    options.modulation = GetParam().modulation;
    options.frequency = GetParam().frequency;
    EXPECT_EQ(tuner_frequency(options), GetParam().tuner);
}

INSTANTIATE_TEST_SUITE_P(
    AudioAndWideband, TunerFrequency,
    testing::Values(Tuning{false, 0, 14074000, 14082000}, Tuning{false, 1, 7100000, 7092000},
                    Tuning{false, 2, 1000000, 992000},
                    // Below 1 kHz or above 2 GHz the tuner moves to the other side of the dial.
                    Tuning{false, 2, 1500, 9500}, Tuning{false, 1, 8999, 16999}, Tuning{false, 1, 9000, 1000},
                    Tuning{false, 0, 1999995000, 1999987000}, Tuning{false, 0, 1999992000, 2000000000},
                    Tuning{true, 0, 14084000, 14084000}, Tuning{true, 0, 500, 500}));

struct Width {
    DigitalMode mode;
    double bandwidth;
    double width;
};

class DecoderChannelWidth : public testing::TestWithParam<Width> {};

TEST_P(DecoderChannelWidth, FollowsTheBandwidthWithAnFt8Floor)
{
    Options options;
    options.bandwidth = GetParam().bandwidth;
    EXPECT_EQ(decoder_channel_width(options, {14074000, GetParam().mode}), GetParam().width);
}

INSTANTIATE_TEST_SUITE_P(Modes, DecoderChannelWidth,
                         testing::Values(Width{DigitalMode::FT8, 3000, 4000}, Width{DigitalMode::FT8, 5000, 5000},
                                         Width{DigitalMode::FT4, 3000, 3000}, Width{DigitalMode::JS8, 2500, 2500},
                                         Width{DigitalMode::WSPR, 1000, 1000}));

}  // namespace
