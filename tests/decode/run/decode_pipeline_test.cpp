// The decoder channels of the options as channelizer channels, decoder slots and loss trackers.
#include "decode/run/decode_pipeline.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decode/channelizer.hpp"
#include "decode/decoder_pool.hpp"
#include "radio/iq_block.hpp"

namespace {

using M = DigitalMode;

struct PlanCase {
    std::string name;
    double bandwidth_hz;
    std::vector<DecoderChannel> decoder_channels;
    std::vector<DecoderChannel> expected_channels;
    std::vector<double> expected_bandwidths;
    std::vector<std::uint64_t> expected_slot_channels;
};

class DecoderChannelPlanTest : public testing::TestWithParam<PlanCase> {};

TEST_P(DecoderChannelPlanTest, MapsDecoderChannelsOntoChannelizerChannels)
{
    PlanCase const& c = GetParam();
    Options options;
    options.bandwidth = c.bandwidth_hz;
    options.decoder_channels = c.decoder_channels;

    DecoderChannelPlan const plan = plan_decoder_channels(options);

    EXPECT_EQ(plan.channels, c.expected_channels);
    EXPECT_EQ(plan.bandwidths, c.expected_bandwidths);
    ASSERT_EQ(plan.slots.size(), c.decoder_channels.size());
    for (std::size_t i = 0; i < plan.slots.size(); ++i) {
        EXPECT_EQ(plan.slots[i].dial_hz, c.decoder_channels[i].frequency) << i;
        EXPECT_EQ(plan.slots[i].mode, c.decoder_channels[i].mode) << i;
        EXPECT_EQ(plan.slots[i].channel, c.expected_slot_channels[i]) << i;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Plans, DecoderChannelPlanTest,
    testing::Values(
        PlanCase{"none", 3000, {}, {}, {}, {}},
        PlanCase{"js8_speeds_share_one_channel",
                 3000,
                 {{7078000, M::JS8}, {7078000, M::JS8_FAST}, {7078000, M::JS8_SLOW}},
                 {{7078000, M::JS8}},
                 {3000},
                 {0, 0, 0}},
        PlanCase{"ft8_and_ft4_on_one_dial_are_two_channels",
                 3000,
                 {{14074000, M::FT8}, {14074000, M::FT4}},
                 {{14074000, M::FT8}, {14074000, M::FT4}},
                 {4000, 3000},
                 {0, 1}},
        PlanCase{"wide_bandwidth_applies_to_ft8_too",
                 5000,
                 {{14074000, M::FT8}, {14080000, M::FT4}},
                 {{14074000, M::FT8}, {14080000, M::FT4}},
                 {5000, 5000},
                 {0, 1}},
        PlanCase{"ft8_ft4_wspr_on_one_dial_are_three_channels",
                 2500,
                 {{14074000, M::WSPR}, {14074000, M::FT8}, {14074000, M::FT4}},
                 {{14074000, M::WSPR}, {14074000, M::FT8}, {14074000, M::FT4}},
                 {2500, 4000, 2500},
                 {0, 1, 2}},
        PlanCase{"js8_shares_only_with_js8_on_the_same_dial",
                 3000,
                 {{7078000, M::JS8_FAST}, {7078000, M::FT8}, {7078000, M::JS8}, {14078000, M::JS8}, {7078000, M::JS8_TURBO}},
                 {{7078000, M::JS8_FAST}, {7078000, M::FT8}, {14078000, M::JS8}},
                 {3000, 4000, 3000},
                 {0, 1, 0, 2, 0}}),
    [](testing::TestParamInfo<PlanCase> const& info) { return info.param.name; });

// A capture around 7.076 MHz at 64 kHz; the channels given must lie inside it.
struct Built {
    std::unique_ptr<DecoderPool> pool;  // none: jobs are discarded
    std::unique_ptr<DecoderCapture> capture;
};

Built build(std::vector<DecoderChannel> channels)
{
    Options options;
    options.frequency = 7076000;
    options.decoder_channels = std::move(channels);
    Built built;
    DecodePipelineContext context;
    context.rate_hz = 64000;
    context.pool = &built.pool;
    built.capture = build_decode_pipeline(context, options);
    return built;
}

TEST(BuildDecodePipeline, BuildsOneChannelizerChannelPerPlannedChannel)
{
    auto const built = build({{7074000, M::FT8}, {7074000, M::FT4}, {7078000, M::JS8}, {7078000, M::JS8_SLOW}});
    EXPECT_EQ(built.capture->channelizer().channel_count(), 3u);
    EXPECT_EQ(built.capture->channelizer().centre(), 7076000);
    EXPECT_EQ(built.capture->channelizer().rate(), 64000);
}

TEST(BuildDecodePipeline, CentresOnTheCaptureCentreOfTheRun)
{
    Options options;
    options.frequency = 7076000;
    options.decoder_channels = {{7074000, M::FT8}};
    std::unique_ptr<DecoderPool> pool;
    DecodePipelineContext context;
    context.rate_hz = 64000;
    context.capture_centre = [](double hz) { return hz + 1000; };
    context.pool = &pool;
    EXPECT_EQ(build_decode_pipeline(context, options)->channelizer().centre(), 7077000);
}

// One loss tracker per distinct interval length: a gap too long for every interval in
// progress drops one interval per tracker.
struct TrackerCase {
    std::string name;
    std::vector<DecoderChannel> channels;
    std::uint64_t expected_dropped;
};

class LossTrackerTest : public testing::TestWithParam<TrackerCase> {};

TEST_P(LossTrackerTest, AGapDropsOneIntervalPerDistinctLength)
{
    auto built = build(GetParam().channels);
    double const rate = 64000;
    // 1800000000 is a multiple of every interval length, so the block and the gap lie well
    // inside one interval of each.
    double const start = 1800000001.0;
    IqBlock first;
    first.samples.assign(32000, {0.0f, 0.0f});
    built.capture->push_block(first, start);

    IqBlock after_gap;
    after_gap.samples.assign(32000, {0.0f, 0.0f});
    after_gap.discontinuity = true;
    after_gap.gap_flags = GAP_DROPPED;
    after_gap.gap_samples = static_cast<std::uint64_t>(0.5 * rate);
    built.capture->push_block(after_gap, start + 1.0);

    EXPECT_EQ(built.capture->gap_fills(), 1u);
    EXPECT_EQ(built.capture->resets(), 0u);
    EXPECT_EQ(built.capture->intervals_dropped(), GetParam().expected_dropped);
}

INSTANTIATE_TEST_SUITE_P(
    Trackers, LossTrackerTest,
    testing::Values(TrackerCase{"js8_fast_slow_and_normal_have_three",
                                {{7078000, M::JS8}, {7078000, M::JS8_FAST}, {7078000, M::JS8_SLOW}},
                                3},
                    TrackerCase{"ft8_on_two_dials_has_one", {{7074000, M::FT8}, {7078000, M::FT8}}, 1},
                    TrackerCase{"ft8_and_js8_share_the_15s_tracker", {{7074000, M::FT8}, {7078000, M::JS8}}, 1},
                    TrackerCase{"ft8_and_ft4_have_two", {{7074000, M::FT8}, {7074000, M::FT4}}, 2},
                    TrackerCase{"no_channels_none", {}, 0}),
    [](testing::TestParamInfo<TrackerCase> const& info) { return info.param.name; });

TEST(FirstMembers, ListsTheDialFrequenciesInOrder)
{
    EXPECT_EQ(first_members({{14074000, M::FT8}, {7078000, M::JS8}, {14074000, M::FT4}}),
              (std::vector<double>{14074000, 7078000, 14074000}));
    EXPECT_TRUE(first_members({}).empty());
}

}  // namespace
