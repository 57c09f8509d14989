#include "report/psk_reporter.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <set>

#include "report/ipfix_datagram.hpp"
#include "tests/report/psk_test_harness.hpp"

namespace {

using namespace std::chrono_literals;

// The interval is long and the spots few, so everything submitted stays queued until stop.
class PskIntake : public ::testing::Test {
protected:
    PskClocks clocks;
    DatagramSink sink;
    PskReporter reporter{"K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy()};

    void submit(PskSpot const& spot) { EXPECT_NO_THROW(reporter.submit(spot)); }
};

struct IntakeCase {
    char const* name;
    PskSpot spot;
    char const* outcome;  // "queued", "invalid", "stale" or "ignored"
};

std::ostream& operator<<(std::ostream& out, IntakeCase const& c) { return out << c.name; }

class PskIntakeRules : public PskIntake, public ::testing::WithParamInterface<IntakeCase> {};

TEST_P(PskIntakeRules, EachSpotEndsInExactlyOneOutcome)
{
    submit(GetParam().spot);
    PskReporterStats const stats = reporter.stats();
    std::string const outcome = GetParam().outcome;
    EXPECT_EQ(stats.queued, outcome == "queued" ? 1u : 0u);
    EXPECT_EQ(stats.invalid, outcome == "invalid" ? 1u : 0u);
    EXPECT_EQ(stats.stale, outcome == "stale" ? 1u : 0u);
    EXPECT_EQ(stats.duplicates + stats.dropped + stats.sent + stats.failures, 0u);
}

PskSpot with(PskSpot spot, auto&& change)
{
    change(spot);
    return spot;
}

std::int64_t const T = harness_start_s;

INSTANTIATE_TEST_SUITE_P(
    Table, PskIntakeRules,
    ::testing::Values(
        IntakeCase{"plain", make_spot("W1AW"), "queued"},
        IntakeCase{"receiver_itself_any_case", make_spot("k1Abc"), "ignored"},
        IntakeCase{"lower_case_call", make_spot("w1aw"), "queued"},
        IntakeCase{"lower_case_locator", make_spot("W1AW", T, "fn31aa"), "queued"},
        IntakeCase{"empty_locator", make_spot("W1AW", T, ""), "queued"},
        IntakeCase{"five_character_locator", make_spot("W1AW", T, "FN31A"), "invalid"},
        IntakeCase{"bad_call", make_spot("HELLO"), "invalid"},
        IntakeCase{"portable_call", make_spot("VE3/W1AW/P"), "queued"},
        IntakeCase{"snr_min", make_spot("W1AW", T, "FN31", 14075000, -128), "queued"},
        IntakeCase{"snr_max", make_spot("W1AW", T, "FN31", 14075000, 127), "queued"},
        IntakeCase{"snr_below", make_spot("W1AW", T, "FN31", 14075000, -129), "invalid"},
        IntakeCase{"snr_above", make_spot("W1AW", T, "FN31", 14075000, 128), "invalid"},
        IntakeCase{"frequency_zero", make_spot("W1AW", T, "FN31", 0), "invalid"},
        IntakeCase{"mode_lower_case", make_spot("W1AW", T, "FN31", 14075000, 0, "ft8"), "invalid"},
        IntakeCase{"mode_empty", make_spot("W1AW", T, "FN31", 14075000, 0, ""), "invalid"},
        IntakeCase{"mode_17_bytes", make_spot("W1AW", T, "FN31", 14075000, 0, std::string(17, 'A')), "invalid"},
        IntakeCase{"mode_16_bytes", make_spot("W1AW", T, "FN31", 14075000, 0, std::string(16, 'A')), "queued"},
        IntakeCase{"mode_symbols", make_spot("W1AW", T, "FN31", 14075000, 0, "JS8-FAST/2"), "queued"},
        IntakeCase{"mode_blank", make_spot("W1AW", T, "FN31", 14075000, 0, "FT 8"), "invalid"},
        IntakeCase{"oldest_allowed", make_spot("W1AW", T - 600), "queued"},
        IntakeCase{"newest_allowed", make_spot("W1AW", T + 60), "queued"},
        IntakeCase{"too_old", make_spot("W1AW", T - 601), "stale"},
        IntakeCase{"too_new", make_spot("W1AW", T + 61), "stale"},
        IntakeCase{"time_zero", make_spot("W1AW", 0), "stale"},
        IntakeCase{"invalid_and_stale", make_spot("W1AW", T - 601, "FN31", 0), "invalid"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST_F(PskIntake, CallAndLocatorAreReportedUpperCaseAndModeAsGiven)
{
    submit(make_spot("dl1xyz", T, "jo62qm", 7074000, 3, "JS8"));
    reporter.stop();
    std::vector<PskSpot> const sent = sink.spots();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].sender_call, "DL1XYZ");
    EXPECT_EQ(sent[0].sender_grid, "JO62QM");
    EXPECT_EQ(sent[0].mode, "JS8");
    EXPECT_EQ(sent[0].frequency_hz, 7074000u);
    EXPECT_EQ(sent[0].time, static_cast<std::uint32_t>(T));
    EXPECT_EQ(sent[0].snr, 3);
}

TEST_F(PskIntake, SameSenderIsHeldBackForThreeHundredSecondsFromItsLastAcceptedSpot)
{
    submit(make_spot("W1AW"));
    clocks.advance_monotonic(299900ms);
    submit(make_spot("w1aw", T, "", 7074000, 0, "FT4"));  // another band and mode: still the same station
    EXPECT_EQ(reporter.stats().duplicates, 1u);
    // The duplicate did not extend the window: 300 s after the first spot is accepted.
    clocks.advance_monotonic(100ms);
    submit(make_spot("W1AW"));
    EXPECT_EQ(reporter.stats().queued, 2u);
    // ...and restarts it.
    clocks.advance_monotonic(299999ms);
    submit(make_spot("W1AW"));
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.queued, 2u);
    EXPECT_EQ(stats.duplicates, 2u);
}

TEST_F(PskIntake, StaleRepeatCountsAsStaleOnly)
{
    submit(make_spot("W1AW"));
    submit(make_spot("W1AW", T - 700));
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.stale, 1u);
    EXPECT_EQ(stats.duplicates, 0u);
}

TEST_F(PskIntake, RejectedSpotsDoNotHoldTheSenderBack)
{
    submit(make_spot("W1AW", T - 601));
    submit(make_spot("W1AW", T, "FN3"));
    submit(make_spot("W1AW"));
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.queued, 1u);
    EXPECT_EQ(stats.duplicates, 0u);
}

TEST_F(PskIntake, AfterStopNothingIsQueuedOrCounted)
{
    reporter.stop();
    submit(make_spot("W1AW"));
    submit(make_spot("HELLO"));
    submit(make_spot("W1AW", 0));
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.queued + stats.invalid + stats.stale + stats.duplicates + stats.dropped, 0u);
    reporter.stop();  // a second stop returns at once
}

// The queue holds 4096 spots: the next one pushes out the oldest, which is then never sent.
TEST(PskIntakeQueue, FullQueueDropsItsOldestSpot)
{
    PskClocks clocks;
    DatagramSink sink;
    PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy());
    // The sender takes the first full datagram and is held inside the hook; the queue is then
    // only filled.
    sink.hold();
    int next = 0;
    while (next < 60)
        reporter.submit(make_spot(nth_call(next++), harness_start_s, ""));
    ASSERT_TRUE(sink.wait_attempts(1));
    std::uint64_t const taken = static_cast<std::uint64_t>(next) - reporter.stats().queued;
    while (reporter.stats().queued < 4096)
        reporter.submit(make_spot(nth_call(next++), harness_start_s, ""));
    std::string const oldest_queued = nth_call(static_cast<int>(taken));
    reporter.submit(make_spot(nth_call(next++), harness_start_s, ""));
    PskReporterStats stats = reporter.stats();
    EXPECT_EQ(stats.queued, 4096u);
    EXPECT_EQ(stats.dropped, 1u);

    sink.release();
    reporter.stop();
    stats = reporter.stats();
    EXPECT_EQ(stats.sent, static_cast<std::uint64_t>(next) - 1);
    std::set<std::string> sent;
    for (PskSpot const& spot : sink.spots())
        sent.insert(spot.sender_call);
    EXPECT_EQ(sent.size(), static_cast<std::size_t>(next) - 1);
    EXPECT_FALSE(sent.contains(oldest_queued));
    // Byte accounting stayed exact: every datagram is as full as the budget allows.
    std::vector<Delivery> const deliveries = sink.delivered();
    for (std::size_t i = 0; i + 1 < deliveries.size(); ++i)
        EXPECT_GT(deliveries[i].bytes.size() + ipfix_record_size(make_spot("K0AAA", 0, "")) + 3,
                  ipfix_datagram_budget);
}

// The recent-senders map is bounded: it may hold 65,536 senders, and only then is it pruned of
// senders last accepted 300 s or more ago. A new sender that still finds it full is dropped
// (counted) rather than let the map grow without limit.
TEST(PskIntakeSenders, RecentSendersAreBoundedAndPrunedOnlyWhenFull)
{
    PskClocks clocks;
    DatagramSink sink;
    // A receiver call that nth_call never gives, so that every one of them is a sender.
    PskReporter reporter("W1AW", "FN31", sink.hook(), an_hour, {}, clocks.policy());
    // The sender takes one datagram's worth and is held inside the hook; the queue (4096) then
    // keeps only the newest spots, which stop sends.
    sink.hold();
    int next = 0;
    while (next < 60)
        reporter.submit(make_spot(nth_call(next++), harness_start_s, ""));
    ASSERT_TRUE(sink.wait_attempts(1));
    while (next < 65536)
        reporter.submit(make_spot(nth_call(next++), harness_start_s, ""));
    std::uint64_t const overflowed = reporter.stats().dropped;

    reporter.submit(make_spot(nth_call(65536), harness_start_s, ""));  // one sender too many
    EXPECT_EQ(reporter.stats().dropped, overflowed + 1);
    reporter.submit(make_spot(nth_call(65535), harness_start_s, ""));  // known: a repeat, not a loss
    EXPECT_EQ(reporter.stats().duplicates, 1u);

    // 300 s on, every remembered sender has expired: the next new one prunes them all.
    clocks.advance_monotonic(std::chrono::seconds(300));
    reporter.submit(make_spot(nth_call(65537), harness_start_s, ""));
    reporter.submit(make_spot(nth_call(65538), harness_start_s, ""));

    sink.release();
    reporter.stop();
    std::set<std::string> sent;
    for (PskSpot const& spot : sink.spots())
        sent.insert(spot.sender_call);
    EXPECT_TRUE(sent.contains(nth_call(65535)));
    EXPECT_FALSE(sent.contains(nth_call(65536)));
    EXPECT_TRUE(sent.contains(nth_call(65537)));
    EXPECT_TRUE(sent.contains(nth_call(65538)));
}

}  // namespace
