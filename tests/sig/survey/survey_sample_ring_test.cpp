// The hand-over from the decode loop to the survey thread: what a push keeps, drops and marks,
// and the time each pass of the survey thread gets for its first sample.
#include "sig/survey/survey_sample_ring.hpp"

#include <gtest/gtest.h>

#include <complex>
#include <functional>
#include <numeric>
#include <vector>

namespace {

using sig::SurveySampleRing;
using Samples = std::vector<std::complex<float>>;

Samples counting(std::size_t n, float from = 0)
{
    Samples s(n);
    for (std::size_t i = 0; i < n; ++i)
        s[i] = {from + static_cast<float>(i), -from - static_cast<float>(i)};
    return s;
}

const std::function<bool()> kNoWait;

TEST(SurveySampleRing, PushSemantics)
{
    struct Case {
        const char* what;
        std::size_t usable;
        std::vector<std::size_t> pushes;  // sizes, in order, nothing taken between them
        std::vector<std::size_t> accepted;
        std::size_t marks;
    };
    const Case cases[] = {
        {"a push of nothing changes nothing", 100, {0}, {0}, 0},
        {"pushes that fit are whole, one mark each", 100, {40, 60}, {40, 60}, 2},
        {"a push that fits partly keeps its head, drops its tail, writes one mark", 100, {70, 50}, {70, 30}, 2},
        {"a push into a full ring returns at once without a mark", 100, {100, 10}, {100, 0}, 1},
        {"a push larger than the ring", 100, {250}, {100}, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SurveySampleRing ring(c.usable, 1000.0);
        std::uint64_t total = 0;
        for (std::size_t i = 0; i < c.pushes.size(); ++i) {
            Samples const s = counting(c.pushes[i]);
            EXPECT_EQ(ring.push(s.data(), s.size(), 100.0 + i, kNoWait), c.accepted[i]) << i;
            total += c.accepted[i];
        }
        EXPECT_EQ(ring.pushed(), total);
        EXPECT_EQ(ring.available(), total);
        EXPECT_EQ(ring.marks_pending(), c.marks);
    }
}

TEST(SurveySampleRing, SamplesComeOutInOrderAcrossTheWrap)
{
    SurveySampleRing ring(10, 1000.0);
    Samples out;
    Samples const first = counting(7);
    ASSERT_EQ(ring.push(first.data(), 7, 0.0, kNoWait), 7u);
    ASSERT_EQ(ring.take(out, 5).count, 5u);
    Samples const second = counting(8, 7);
    ASSERT_EQ(ring.push(second.data(), 8, 0.007, kNoWait), 8u);  // wraps the end of the ring
    SurveySampleRing::Pass const pass = ring.take(out, 100);
    ASSERT_EQ(pass.count, 10u);
    EXPECT_EQ(out, counting(10, 5));
    EXPECT_EQ(ring.take(out, 100).count, 0u);
}

TEST(SurveySampleRing, EachPassIsTimedFromTheLatestMarkAtOrBeforeIt)
{
    double const rate = 1000.0;
    SurveySampleRing ring(10000, rate);
    Samples out;
    Samples const s = counting(300);
    ring.push(s.data(), 300, 50.0, kNoWait);  // samples 0..299 from t = 50
    ring.push(s.data(), 200, 80.0, kNoWait);  // 300..499 from t = 80: a jump in time

    struct Step {
        std::size_t take;
        double start;
    };
    // 0..99, 100..349 (runs past the mark at 300, timed from 50), 350..449 (after the mark).
    const Step steps[] = {{100, 50.0}, {250, 50.1}, {100, 80.05}, {100, 80.15}};
    for (const Step& step : steps) {
        SurveySampleRing::Pass const pass = ring.take(out, step.take);
        EXPECT_DOUBLE_EQ(pass.start_time, step.start) << step.take;
    }
    EXPECT_EQ(ring.taken(), 500u);
}

TEST(SurveySampleRing, AFullMarkRingLosesMarksAndTimingCountsOnFromTheLastOne)
{
    SurveySampleRing ring(10000, 1000.0);
    Samples const one = counting(1);
    for (std::size_t i = 0; i < SurveySampleRing::kMarkSlots + 9; ++i)
        ASSERT_EQ(ring.push(one.data(), 1, 1000.0 + static_cast<double>(i), kNoWait), 1u);
    EXPECT_EQ(ring.marks_pending(), SurveySampleRing::kMarkSlots - 1);
    Samples out;
    // The last kept mark is sample 4095 at t = 5095; later samples count on at the rate.
    EXPECT_DOUBLE_EQ(ring.take(out, 4096).start_time, 1000.0);
    EXPECT_DOUBLE_EQ(ring.take(out, 100).start_time, 1000.0 + 4095 + 1 / 1000.0);
}

TEST(SurveySampleRing, ABlockingPushWaitsOnlyWhileItIsToldTo)
{
    SurveySampleRing ring(100, 1000.0);
    Samples const s = counting(250);
    Samples out;
    // The consumer makes room each time the producer finds the ring full.
    int waits = 0;
    std::function<bool()> const consumer_makes_room = [&] {
        ++waits;
        ring.take(out, 100);
        return true;
    };
    EXPECT_EQ(ring.push(s.data(), 250, 10.0, consumer_makes_room), 250u);
    EXPECT_EQ(waits, 2);
    EXPECT_EQ(ring.marks_pending(), 0u);  // its one mark was taken with the first samples
    EXPECT_EQ(ring.take(out, 100).count, 50u);

    // A consumer that has gone: the push gives up and keeps what it had room for.
    Samples const more = counting(150);
    std::function<bool()> const consumer_gone = [] { return false; };
    EXPECT_EQ(ring.push(more.data(), 150, 20.0, consumer_gone), 100u);
}

}  // namespace
