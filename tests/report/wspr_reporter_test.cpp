#include "report/wspr_reporter.hpp"

#include <chrono>
#include <cmath>
#include <condition_variable>
#include <functional>
#include <limits>
#include <mutex>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace {

using ::testing::HasSubstr;

// 2024-03-15 12:00:00 UTC, the start of a WSPR interval.
constexpr std::int64_t interval_start = 1710504000;
constexpr double dial_hz = 14095600.0;
constexpr char const* failure_line =
    "WSPRnet upload failed or expired; reception continues (no automatic retry of uncertain uploads)\n";

DecodedSpot wspr_spot(std::string sender = "K9XYZ", std::string grid = "EM10")
{
    DecodedSpot spot;
    spot.snr = -21;
    spot.audio_hz = 1500;
    spot.dt = 0.3;
    spot.message = sender + " " + grid + " 37";
    spot.sender = std::move(sender);
    spot.grid = std::move(grid);
    spot.dbm = 37;
    spot.drift = -1;
    return spot;
}

// Stands in for WSPRnet: records every form it is handed and answers from a script. A scripted
// "hold" keeps the upload running until the test opens the gate or the reporter stops.
class FakeWsprnet {
public:
    enum class Answer { accept, refuse, fail_loudly, hold };

    explicit FakeWsprnet(std::vector<Answer> script = {}) : script_(std::move(script)) {}

    WsprReporter::Upload upload()
    {
        return [this](std::string const& body, std::atomic<bool> const& stop) { return post(body, stop); };
    }

    // Waits (bounded, so a broken uploader fails the test instead of hanging it) until n forms
    // have arrived.
    bool wait_for_posts(std::size_t n)
    {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return bodies_.size() >= n; });
    }

    void open_gate()
    {
        {
            std::scoped_lock lock(mutex_);
            gate_open_ = true;
        }
        changed_.notify_all();
    }

    std::vector<std::string> bodies() const
    {
        std::scoped_lock lock(mutex_);
        return bodies_;
    }

private:
    bool post(std::string const& body, std::atomic<bool> const& stop)
    {
        Answer answer = Answer::accept;
        {
            std::scoped_lock lock(mutex_);
            if (bodies_.size() < script_.size())
                answer = script_[bodies_.size()];
            bodies_.push_back(body);
        }
        changed_.notify_all();
        switch (answer) {
        case Answer::accept: return true;
        case Answer::refuse: return false;
        case Answer::fail_loudly: throw std::runtime_error("curl vanished");
        case Answer::hold: break;
        }
        // Held until the gate opens (accepted) or the reporter stops (cut off, not accepted).
        // The reporter's stop wakes waiters on its flag; the gate wakes the condition variable.
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                if (changed_.wait_for(lock, std::chrono::milliseconds(20), [&] { return gate_open_; }))
                    return true;
            }
            if (stop.load())
                return false;
        }
    }

    std::vector<Answer> script_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> bodies_;
    bool gate_open_ = false;
};

class WsprReporterTest : public ::testing::Test {
protected:
    std::atomic<std::int64_t> now{interval_start + 30};

    std::unique_ptr<WsprReporter> make(FakeWsprnet& wsprnet)
    {
        return std::make_unique<WsprReporter>("K1ABC", "FN42", wsprnet.upload(), [this] { return now.load(); });
    }
};

struct IdentityCase {
    char const* name;
    char const* call;
    char const* grid;
};

std::ostream& operator<<(std::ostream& out, IdentityCase const& c) { return out << c.name; }

class WsprIdentity : public ::testing::TestWithParam<IdentityCase> {};

TEST_P(WsprIdentity, BadStationIdentityIsRefused)
{
    IdentityCase const& c = GetParam();
    try {
        WsprReporter reporter(c.call, c.grid, [](auto const&, auto const&) { return true; });
        FAIL() << "built with " << c.call << " " << c.grid;
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "Invalid WSPRnet station identity");
    }
}

INSTANTIATE_TEST_SUITE_P(Table, WsprIdentity,
                         ::testing::Values(IdentityCase{"lower_case_call", "k1abc", "FN42"},
                                           IdentityCase{"empty_call", "", "FN42"},
                                           IdentityCase{"short_grid", "K1ABC", "FN4"},
                                           IdentityCase{"empty_grid", "K1ABC", ""},
                                           IdentityCase{"lower_case_grid", "K1ABC", "fn42"}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(WsprReporterTest, PostsEveryFieldInKeyOrderUrlEncoded)
{
    FakeWsprnet wsprnet;
    auto reporter = make(wsprnet);
    reporter->submit(interval_start, dial_hz, wspr_spot());
    DecodedSpot portable = wspr_spot("VE3/K9XYZ", "");
    portable.dt = -0.5;
    portable.audio_hz = 1350;
    portable.drift = 2;
    portable.dbm = 0;
    reporter->submit(interval_start, 7038600.0, portable);
    ASSERT_TRUE(wsprnet.wait_for_posts(2));
    reporter->stop();

    std::vector<std::string> const bodies = wsprnet.bodies();
    EXPECT_EQ(bodies[0],
              "date=240315&dbm=37&drift=-1&dt=0.3&function=wspr&mode=2&rcall=K1ABC&rgrid=FN42&rqrg=14.095600"
              "&sig=-21&tcall=K9XYZ&tgrid=EM10&time=1200&tqrg=14.097100&version=norvane%200.55.0");
    EXPECT_EQ(bodies[1],
              "date=240315&dbm=0&drift=2&dt=-0.5&function=wspr&mode=2&rcall=K1ABC&rgrid=FN42&rqrg=7.038600"
              "&sig=-21&tcall=VE3%2FK9XYZ&tgrid=&time=1200&tqrg=7.039950&version=norvane%200.55.0");
    WsprReporterStats const stats = reporter->stats();
    EXPECT_EQ(stats.accepted, 2u);
    EXPECT_EQ(stats.sent, 2u);
    EXPECT_EQ(stats.failed, 0u);
}

struct SpotCheckCase {
    char const* name;
    std::function<void(double& start, double& dial, DecodedSpot& spot)> change;
    bool valid;
};

std::ostream& operator<<(std::ostream& out, SpotCheckCase const& c) { return out << c.name; }

class WsprSpotChecks : public WsprReporterTest, public ::testing::WithParamInterface<SpotCheckCase> {};

TEST_P(WsprSpotChecks, RefusesOnlySpotsOutsideTheLimits)
{
    SpotCheckCase const& c = GetParam();
    FakeWsprnet wsprnet;
    auto reporter = make(wsprnet);
    double start = interval_start;
    double dial = dial_hz;
    DecodedSpot spot = wspr_spot();
    c.change(start, dial, spot);
    if (c.valid) {
        EXPECT_NO_THROW(reporter->submit(start, dial, spot));
        EXPECT_EQ(reporter->stats().accepted, 1u);
    } else {
        try {
            reporter->submit(start, dial, spot);
            ADD_FAILURE() << "accepted";
        } catch (InvalidWsprSpot const& error) {
            EXPECT_STREQ(error.what(), "Invalid WSPRnet spot");
        }
        EXPECT_EQ(reporter->stats().accepted, 0u);
    }
}

double const nan = std::numeric_limits<double>::quiet_NaN();
double const inf = std::numeric_limits<double>::infinity();

INSTANTIATE_TEST_SUITE_P(
    Table, WsprSpotChecks,
    ::testing::Values(
        SpotCheckCase{"audio_1350", [](double&, double&, DecodedSpot& s) { s.audio_hz = 1350; }, true},
        SpotCheckCase{"audio_1650", [](double&, double&, DecodedSpot& s) { s.audio_hz = 1650; }, true},
        SpotCheckCase{"audio_1349", [](double&, double&, DecodedSpot& s) { s.audio_hz = 1349; }, false},
        SpotCheckCase{"audio_1651", [](double&, double&, DecodedSpot& s) { s.audio_hz = 1651; }, false},
        SpotCheckCase{"dbm_60", [](double&, double&, DecodedSpot& s) { s.dbm = 60; }, true},
        SpotCheckCase{"dbm_61", [](double&, double&, DecodedSpot& s) { s.dbm = 61; }, false},
        SpotCheckCase{"no_power", [](double&, double&, DecodedSpot& s) { s.dbm = -1; }, false},
        SpotCheckCase{"snr_minus_50", [](double&, double&, DecodedSpot& s) { s.snr = -50; }, true},
        SpotCheckCase{"snr_51", [](double&, double&, DecodedSpot& s) { s.snr = 51; }, false},
        SpotCheckCase{"snr_minus_51", [](double&, double&, DecodedSpot& s) { s.snr = -51; }, false},
        SpotCheckCase{"dt_10", [](double&, double&, DecodedSpot& s) { s.dt = -10.0; }, true},
        SpotCheckCase{"dt_10_1", [](double&, double&, DecodedSpot& s) { s.dt = 10.1; }, false},
        SpotCheckCase{"dt_nan", [](double&, double&, DecodedSpot& s) { s.dt = nan; }, false},
        SpotCheckCase{"drift_10", [](double&, double&, DecodedSpot& s) { s.drift = 10; }, true},
        SpotCheckCase{"drift_minus_11", [](double&, double&, DecodedSpot& s) { s.drift = -11; }, false},
        SpotCheckCase{"hashed_sender", [](double&, double&, DecodedSpot& s) { s.sender.clear(); }, false},
        SpotCheckCase{"lower_case_sender", [](double&, double&, DecodedSpot& s) { s.sender = "k9xyz"; }, false},
        SpotCheckCase{"six_character_grid", [](double&, double&, DecodedSpot& s) { s.grid = "EM10AB"; }, true},
        SpotCheckCase{"bad_grid", [](double&, double&, DecodedSpot& s) { s.grid = "EM1"; }, false},
        SpotCheckCase{"off_interval", [](double& t, double&, DecodedSpot&) { t -= 60; }, false},
        SpotCheckCase{"fractional_time", [](double& t, double&, DecodedSpot&) { t -= 0.5; }, false},
        SpotCheckCase{"dial_1000", [](double&, double& f, DecodedSpot&) { f = 1000.0; }, true},
        SpotCheckCase{"dial_999", [](double&, double& f, DecodedSpot&) { f = 999.0; }, false},
        SpotCheckCase{"dial_above_2ghz", [](double&, double& f, DecodedSpot&) { f = 2000000001.0; }, false},
        SpotCheckCase{"dial_nan", [](double&, double& f, DecodedSpot&) { f = nan; }, false},
        SpotCheckCase{"dial_infinite", [](double&, double& f, DecodedSpot&) { f = inf; }, false},
        SpotCheckCase{"time_nan", [](double& t, double&, DecodedSpot&) { t = nan; }, false}),
    [](auto const& info) { return std::string(info.param.name); });

struct IgnoredCase {
    char const* name;
    std::int64_t now_offset;    // the clock, relative to the interval start
    double start_offset;        // the spot's interval start, relative to it
    char const* sender;
    int audio_hz;
    bool accepted;
};

std::ostream& operator<<(std::ostream& out, IgnoredCase const& c) { return out << c.name; }

class WsprIgnored : public WsprReporterTest, public ::testing::WithParamInterface<IgnoredCase> {};

TEST_P(WsprIgnored, StaleFutureAndOwnSpotsAreIgnoredWithoutAWord)
{
    IgnoredCase const& c = GetParam();
    now = interval_start + c.now_offset;
    FakeWsprnet wsprnet;
    auto reporter = make(wsprnet);
    DecodedSpot spot = wspr_spot(c.sender);
    spot.audio_hz = c.audio_hz;
    EXPECT_NO_THROW(reporter->submit(interval_start + c.start_offset, dial_hz, spot));
    WsprReporterStats const stats = reporter->stats();
    EXPECT_EQ(stats.accepted, c.accepted ? 1u : 0u);
    EXPECT_EQ(stats.duplicates + stats.dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Table, WsprIgnored,
                         ::testing::Values(IgnoredCase{"600_seconds_old", 600, 0, "K9XYZ", 1500, true},
                                           IgnoredCase{"601_seconds_old", 601, 0, "K9XYZ", 1500, false},
                                           IgnoredCase{"future_interval", 30, 120, "K9XYZ", 1500, false},
                                           IgnoredCase{"stale_and_invalid", 900, 0, "K9XYZ", 1700, false},
                                           IgnoredCase{"own_call", 30, 0, "K1ABC", 1500, false},
                                           IgnoredCase{"own_call_invalid", 30, 0, "K1ABC", 1700, false}),
                         [](auto const& info) { return std::string(info.param.name); });

TEST_F(WsprReporterTest, SameSenderMegahertzAndIntervalIsADuplicate)
{
    FakeWsprnet wsprnet({FakeWsprnet::Answer::hold});
    auto reporter = make(wsprnet);
    reporter->submit(interval_start, 14095600.0, wspr_spot());
    reporter->submit(interval_start, 14097000.0, wspr_spot());            // same whole MHz
    reporter->submit(interval_start, 10138700.0, wspr_spot());            // another band
    reporter->submit(interval_start, 14095600.0, wspr_spot("K9XYY"));     // another sender
    reporter->submit(interval_start - 120, 14095600.0, wspr_spot());      // another interval
    WsprReporterStats const stats = reporter->stats();
    EXPECT_EQ(stats.accepted, 4u);
    EXPECT_EQ(stats.duplicates, 1u);
}

TEST_F(WsprReporterTest, EachSpotIsPostedOnceAndFailuresAreNotRetried)
{
    FakeWsprnet wsprnet({FakeWsprnet::Answer::refuse, FakeWsprnet::Answer::fail_loudly, FakeWsprnet::Answer::accept});
    auto reporter = make(wsprnet);
    ::testing::internal::CaptureStderr();
    for (char const* sender : {"K9AAA", "K9BBB", "K9CCC"})
        reporter->submit(interval_start, dial_hz, wspr_spot(sender));
    ASSERT_TRUE(wsprnet.wait_for_posts(3));
    reporter->stop();
    std::string const err = ::testing::internal::GetCapturedStderr();

    std::vector<std::string> const bodies = wsprnet.bodies();
    ASSERT_EQ(bodies.size(), 3u);
    EXPECT_THAT(bodies[0], HasSubstr("tcall=K9AAA&"));
    EXPECT_THAT(bodies[1], HasSubstr("tcall=K9BBB&"));
    EXPECT_THAT(bodies[2], HasSubstr("tcall=K9CCC&"));
    WsprReporterStats const stats = reporter->stats();
    EXPECT_EQ(stats.sent, 1u);
    EXPECT_EQ(stats.failed, 2u);
    EXPECT_EQ(stats.queued, 0u);
    EXPECT_EQ(err, std::string(failure_line) + failure_line);
}

TEST_F(WsprReporterTest, UploadThatWaitedTooLongFailsWithoutBeingPosted)
{
    FakeWsprnet wsprnet({FakeWsprnet::Answer::hold});
    auto reporter = make(wsprnet);
    ::testing::internal::CaptureStderr();
    reporter->submit(interval_start, dial_hz, wspr_spot("K9AAA"));
    ASSERT_TRUE(wsprnet.wait_for_posts(1));
    reporter->submit(interval_start, dial_hz, wspr_spot("K9BBB"));
    now = interval_start + 700;  // K9BBB's interval is now 700 s old
    reporter->submit(interval_start + 120, dial_hz, wspr_spot("K9CCC"));
    wsprnet.open_gate();
    ASSERT_TRUE(wsprnet.wait_for_posts(2));
    reporter->stop();
    std::string const err = ::testing::internal::GetCapturedStderr();

    std::vector<std::string> const bodies = wsprnet.bodies();
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_THAT(bodies[1], HasSubstr("tcall=K9CCC&"));
    WsprReporterStats const stats = reporter->stats();
    EXPECT_EQ(stats.accepted, 3u);
    EXPECT_EQ(stats.sent, 2u);
    EXPECT_EQ(stats.failed, 1u);
    EXPECT_EQ(err, failure_line);
}

TEST_F(WsprReporterTest, FullQueueDropsAndStopDropsWhatIsQueuedWithoutAFailureLine)
{
    FakeWsprnet wsprnet({FakeWsprnet::Answer::hold});
    auto reporter = make(wsprnet);
    ::testing::internal::CaptureStderr();
    reporter->submit(interval_start, dial_hz, wspr_spot("K9AAA"));
    ASSERT_TRUE(wsprnet.wait_for_posts(1));  // held in upload; the queue is empty again
    for (int i = 0; i < 1025; ++i) {
        std::string sender = "K9";
        for (int n = i; sender.size() < 5; n /= 26)
            sender += static_cast<char>('A' + n % 26);
        reporter->submit(interval_start, dial_hz, wspr_spot(sender + "Z"));
    }
    WsprReporterStats stats = reporter->stats();
    EXPECT_EQ(stats.queued, 1024u);
    EXPECT_EQ(stats.accepted, 1025u);
    EXPECT_EQ(stats.dropped, 1u);

    reporter->stop();
    reporter->stop();
    reporter->submit(interval_start, dial_hz, wspr_spot("K9ZZZ"));
    std::string const err = ::testing::internal::GetCapturedStderr();
    stats = reporter->stats();
    EXPECT_EQ(stats.queued, 0u);
    EXPECT_EQ(stats.accepted, 1025u);
    EXPECT_EQ(stats.dropped, 1025u);
    EXPECT_EQ(stats.failed, 1u);  // the upload cut off by the stop
    EXPECT_EQ(stats.sent, 0u);
    EXPECT_EQ(err, "");
    EXPECT_EQ(wsprnet.bodies().size(), 1u);
}

}  // namespace
