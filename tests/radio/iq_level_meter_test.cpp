#include "radio/iq_level_meter.hpp"
#include "tests/support/error_of.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <ostream>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using Block = std::vector<std::complex<float>>;

// Times are chosen on exact binary fractions so quarter-second and 50 ms slots fall where the
// comments say.
constexpr double t0 = 1000.0;

std::string levels_at(IqLevelMeter& meter, double now, bool fast = false, bool reset = false)
{
    return format_levels_reply(meter.snapshot(reset, fast, now));
}

// A block of n samples whose components all have magnitude level.
Block steady(std::size_t n, float level) { return Block(n, {level, -level}); }

}  // namespace

TEST(IqLevelMeter, WaitsWithZerosBeforeTheFirstBlock)
{
    IqLevelMeter meter;
    std::string const waiting = "OK LEVELS state=waiting,peak=0,rms=0,hold=0,max=na,samples=0,invalid=0,age=0";
    EXPECT_EQ(levels_at(meter, t0), waiting);
    EXPECT_EQ(levels_at(meter, t0, true), waiting);
    EXPECT_EQ(levels_at(meter, t0, false, true), waiting);
}

TEST(IqLevelMeter, ReadsPeakRmsHoldAndMaxOfOneBlock)
{
    IqLevelMeter meter;
    // Components 0.5, 0.5, 0.25, 0: peak 0.5, mean square 0.5625 / 4, rms 0.375.
    meter.update(std::vector<std::complex<float>>{{0.5f, -0.5f}, {0.25f, 0.0f}}, t0);
    EXPECT_EQ(levels_at(meter, t0 + 0.5),
              "OK LEVELS state=ready,peak=0.5,rms=0.375,hold=0.5,max=0.5,samples=2,invalid=0,age=0.5");
    EXPECT_EQ(levels_at(meter, t0 + 0.03125, true),
              "OK LEVELS state=ready,peak=0.5,rms=0.375,hold=0.5,max=0.5,samples=2,invalid=0,age=0.03125");
}

TEST(IqLevelMeter, PrintsTwelveSignificantDigits)
{
    IqLevelMeter meter;
    meter.update(std::vector<std::complex<float>>{{0.75f, 0.0f}}, t0);
    // rms 0.75 / sqrt(2); the age carries the rounding noise of t0 + 0.1 - t0.
    EXPECT_EQ(levels_at(meter, t0 + 0.1),
              "OK LEVELS state=ready,peak=0.75,rms=0.53033008589,hold=0.75,max=0.75,samples=1,invalid=0,age=0.1");
}

struct AgeCase {
    bool fast;
    double age_s;  // since the last block
    char const* state;
};

void PrintTo(AgeCase const& c, std::ostream* os) { *os << (c.fast ? "fast " : "normal ") << c.age_s << " s"; }

class MeterAge : public testing::TestWithParam<AgeCase> {};

// Blocks arrive every 50 ms for two seconds, then stop.
TEST_P(MeterAge, GoesStaleWhenBlocksStop)
{
    AgeCase const c = GetParam();
    IqLevelMeter meter;
    double last = t0;
    for (int k = 0; k <= 40; ++k) {
        last = t0 + k * 0.05;
        meter.update(steady(100, 0.25f), last);
    }
    IqLevels const levels = meter.snapshot(false, c.fast, last + c.age_s);
    EXPECT_EQ(levels.state, c.state);
    EXPECT_NEAR(levels.age, c.age_s, 1e-9);
    EXPECT_EQ(levels.samples, 4100u);
    if (levels.state == std::string("ready"))
        EXPECT_FLOAT_EQ(static_cast<float>(levels.rms), 0.25f);
    else
        EXPECT_EQ(levels.rms, 0.0);
    EXPECT_EQ(levels.hold, 0.25);  // the last five seconds still hold the blocks
}

INSTANTIATE_TEST_SUITE_P(Table, MeterAge,
                         testing::Values(AgeCase{false, 0.0, "ready"}, AgeCase{false, 0.5, "ready"},
                                         AgeCase{false, 1.5, "stale"}, AgeCase{false, 3.0, "stale"},
                                         AgeCase{true, 0.0, "ready"}, AgeCase{true, 0.04, "ready"},
                                         AgeCase{true, 0.3, "stale"}, AgeCase{true, 1.0, "stale"}));

TEST(IqLevelMeter, ClockReadingBeforeTheLastBlockIsStale)
{
    IqLevelMeter meter;
    meter.update(steady(10, 0.5f), t0);
    IqLevels const levels = meter.snapshot(false, false, t0 - 0.125);
    EXPECT_EQ(levels.state, "stale");
    EXPECT_EQ(levels.age, 0.0);
}

TEST(IqLevelMeter, FastWindowSeesOnlyTheLastHundredMilliseconds)
{
    IqLevelMeter meter;
    meter.update(steady(10, 0.875f), t0);
    meter.update(steady(10, 0.125f), t0 + 0.5);
    EXPECT_EQ(meter.snapshot(false, true, t0 + 0.5).peak, 0.125);
    EXPECT_EQ(meter.snapshot(false, false, t0 + 0.5).peak, 0.875);
}

TEST(IqLevelMeter, HoldKeepsTheLastFiveSecondsOfPeaks)
{
    IqLevelMeter meter;
    meter.update(steady(10, 0.875f), t0);
    for (int second = 1; second <= 4; ++second)
        meter.update(steady(10, 0.125f), t0 + second);
    IqLevels const within = meter.snapshot(false, false, t0 + 4.5);
    EXPECT_EQ(within.peak, 0.125);
    EXPECT_EQ(within.hold, 0.875);
    IqLevels const beyond = meter.snapshot(false, false, t0 + 5.25);
    EXPECT_EQ(beyond.hold, 0.125);
    EXPECT_EQ(beyond.max, 0.875);
}

TEST(IqLevelMeter, NonFiniteComponentMarksTheWindowInvalidWhileItLasts)
{
    float const nan = std::numeric_limits<float>::quiet_NaN();
    IqLevelMeter meter;
    meter.update(std::vector<std::complex<float>>{{nan, 0.5f}, {0.25f, -0.25f}}, t0);
    IqLevels const bad = meter.snapshot(false, false, t0 + 0.5);
    EXPECT_EQ(bad.state, "invalid");
    EXPECT_EQ(bad.invalid, 1u);
    EXPECT_EQ(bad.peak, 0.5);
    EXPECT_DOUBLE_EQ(bad.rms, std::sqrt(0.375 / 4.0));

    // Another block in the same second keeps the bad quarter in view; later ones clear it.
    meter.update(steady(4, 0.25f), t0 + 0.5);
    EXPECT_EQ(meter.snapshot(false, false, t0 + 0.75).state, "invalid");
    meter.update(steady(4, 0.25f), t0 + 1.0);
    IqLevels const clear = meter.snapshot(false, false, t0 + 1.0);
    EXPECT_EQ(clear.state, "ready");
    EXPECT_EQ(clear.invalid, 0u);
    EXPECT_EQ(clear.samples, 10u);
}

TEST(IqLevelMeter, InfinityIsCountedAndHugeFiniteValuesAreNot)
{
    float const inf = std::numeric_limits<float>::infinity();
    IqLevelMeter meter;
    meter.update(std::vector<std::complex<float>>{{inf, -inf}, {0.5f, 0.5f}}, t0);
    IqLevels const levels = meter.snapshot(false, false, t0);
    EXPECT_EQ(levels.invalid, 2u);
    EXPECT_EQ(levels.peak, 0.5);

    // 1e20 squared does not fit a float but is a real (if absurd) level.
    IqLevelMeter loud;
    loud.update(std::vector<std::complex<float>>{{1e20f, 0.0f}}, t0);
    IqLevels const huge = loud.snapshot(false, false, t0);
    EXPECT_EQ(huge.invalid, 0u);
    EXPECT_EQ(huge.state, "ready");
    EXPECT_EQ(huge.peak, static_cast<double>(1e20f));
    EXPECT_DOUBLE_EQ(huge.rms, static_cast<double>(1e20f) / std::sqrt(2.0));
}

// A long block goes through the vectorised pass; it must agree with a plain double computation,
// and so must the same block with one NaN buried in it.
TEST(IqLevelMeter, LongBlocksMatchADirectComputation)
{
    std::mt19937 random(7);
    std::uniform_real_distribution<float> component(-0.9f, 0.9f);
    Block block(10007);
    for (auto& sample : block)
        sample = {component(random), component(random)};

    for (bool with_nan : {false, true}) {
        SCOPED_TRACE(with_nan ? "with a NaN" : "all finite");
        if (with_nan)
            block[5003] = {std::numeric_limits<float>::quiet_NaN(), block[5003].imag()};
        double peak = 0.0;
        double sum = 0.0;
        for (auto const& sample : block) {
            for (double v : {double(sample.real()), double(sample.imag())}) {
                if (std::isfinite(v)) {
                    peak = std::max(peak, std::fabs(v));
                    sum += v * v;
                }
            }
        }
        IqLevelMeter meter;
        meter.update(block, t0);
        IqLevels const levels = meter.snapshot(false, false, t0);
        EXPECT_EQ(levels.peak, peak);
        EXPECT_NEAR(levels.rms, std::sqrt(sum / (2.0 * block.size())), 1e-5);
        EXPECT_EQ(levels.invalid, with_nan ? 1u : 0u);
        EXPECT_EQ(levels.samples, block.size());
    }
}

TEST(IqLevelMeter, ResetClearsOnlyTheMaximumUntilTheNextBlock)
{
    IqLevelMeter meter;
    meter.update(steady(10, 0.75f), t0);
    EXPECT_EQ(levels_at(meter, t0 + 0.5, false, true),
              "OK LEVELS state=ready,peak=0.75,rms=0.75,hold=0.75,max=na,samples=10,invalid=0,age=0.5");
    EXPECT_EQ(levels_at(meter, t0 + 0.75),
              "OK LEVELS state=ready,peak=0.75,rms=0.75,hold=0.75,max=na,samples=10,invalid=0,age=0.75");
    meter.update(steady(10, 0.25f), t0 + 1.0);
    IqLevels const after = meter.snapshot(false, false, t0 + 1.0);
    EXPECT_TRUE(after.max_valid);
    EXPECT_EQ(after.max, 0.25);
    EXPECT_EQ(after.hold, 0.75);
}

TEST(IqLevelMeter, ClockGoingBackEmptiesTheBinsButKeepsMaxAndTotal)
{
    IqLevelMeter meter;
    meter.update(steady(10, 0.75f), t0);
    meter.update(steady(5, 0.125f), t0 - 0.5);
    IqLevels const levels = meter.snapshot(false, false, t0 - 0.5);
    EXPECT_EQ(levels.hold, 0.125);
    EXPECT_EQ(levels.peak, 0.125);
    EXPECT_EQ(levels.max, 0.75);
    EXPECT_EQ(levels.samples, 15u);
    EXPECT_EQ(levels.state, "ready");
}

TEST(IqLevelMeter, WorksAcrossTheEpochAndAtTheTimestampLimit)
{
    IqLevelMeter meter;
    meter.update(steady(10, 0.5f), -0.25);
    EXPECT_EQ(meter.snapshot(false, false, 0.0).state, "ready");
    EXPECT_EQ(meter.snapshot(false, true, -0.25).peak, 0.5);

    IqLevelMeter far;
    EXPECT_NO_THROW(far.update(steady(1, 0.5f), 1e12));
    EXPECT_EQ(far.snapshot(false, false, 1e12).state, "ready");
}

class MeterTimestamp : public testing::TestWithParam<double> {};

TEST_P(MeterTimestamp, RefusesNonFiniteOrFarTimes)
{
    IqLevelMeter meter;
    double const t = GetParam();
    EXPECT_EQ(error_of([&] { meter.update(steady(4, 0.5f), t); }), "Invalid IQ meter timestamp");
    EXPECT_EQ(error_of([&] { meter.snapshot(false, false, t); }), "Invalid IQ meter timestamp");
    EXPECT_EQ(meter.snapshot(false, false, t0).state, "waiting");  // the refused block left nothing
}

INSTANTIATE_TEST_SUITE_P(Table, MeterTimestamp,
                         testing::Values(2e12, -2e12, 1.000001e12, std::numeric_limits<double>::infinity(),
                                         -std::numeric_limits<double>::infinity(),
                                         std::numeric_limits<double>::quiet_NaN()));
