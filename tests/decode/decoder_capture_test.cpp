#include "decode/decoder_capture.hpp"

#include "testbed/lib/cpu_receive_engine.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log_line.hpp"

namespace {

constexpr double rate_hz = 64000.0;  // hop 2048: t0 lies 16 ms before a timeline's first block
constexpr double half_hop_s = 2048.0 / (2.0 * rate_hz);
constexpr double centre_hz = 14074000.0;
constexpr std::uint64_t block_samples = 6400;  // 0.1 s
// A UTC second that begins an interval of every length (a multiple of 7.5, 6, 10, 30 and 120 s).
constexpr double base_utc = 1700000040.0;

// A capture over the real channelizer with one channel per slot, collecting its jobs and
// counting timeline starts; blocks of zeros stand in for the air.
struct Harness {
    explicit Harness(std::vector<DigitalMode> const& modes, double start_utc) : utc(start_utc)
    {
        std::vector<double> frequencies;
        std::vector<DecoderCapture::Slot> slots;
        for (std::size_t i = 0; i < modes.size(); ++i) {
            frequencies.push_back(centre_hz - 20000.0 + 8000.0 * static_cast<double>(i));
            slots.push_back({frequencies.back(), modes[i], i});
        }
        auto channelizer =
            std::make_unique<Channelizer::Impl>(rate_hz, centre_hz, 2500.0, 1.0, frequencies, nullptr);
        capture = std::make_unique<DecoderCapture>(std::move(channelizer), slots, [this](DecodeJob job) {
            if (!release_jobs) {
                jobs.push_back(std::move(job));
                return;
            }
            // A decoder that finishes each job at once: what it saw, then the job is gone.
            released.push_back({job.start_utc, job.audio.size(), job.audio.front(), job.audio.back()});
        });
        capture->set_reset_hook([this] { ++timeline_starts; });
    }

    void push(IqBlock const& block)
    {
        capture->push_block(block, utc);
        utc += static_cast<double>(block.length()) / rate_hz;
    }

    void feed(double seconds)
    {
        for (long i = std::lround(seconds * 10.0); i > 0; --i) {
            IqBlock block;
            block.samples.assign(block_samples, {0.0f, 0.0f});
            push(block);
        }
    }

    // A block that follows `missing` lost samples; its UTC says so.
    void after_gap(std::uint64_t missing, std::uint32_t flags)
    {
        IqBlock block;
        block.samples.assign(block_samples, {0.0f, 0.0f});
        block.discontinuity = true;
        block.gap_flags = flags;
        block.gap_samples = missing;
        utc += static_cast<double>(missing) / rate_hz;
        push(block);
    }

    std::vector<double> job_starts(DigitalMode mode) const
    {
        std::vector<double> starts;
        for (DecodeJob const& job : jobs) {
            if (job.mode == mode)
                starts.push_back(job.start_utc - base_utc);
        }
        return starts;
    }

    struct Seen {
        double start_utc;
        std::size_t size;
        float front;
        float back;
    };

    std::vector<DecodeJob> jobs;
    bool release_jobs = false;
    std::vector<Seen> released;
    std::unique_ptr<DecoderCapture> capture;
    double utc;
    int timeline_starts = 0;
};

std::string drop_message(char const* length)
{
    return std::string("IQ gap: the ") + length +
           " s interval in progress lost too much to decode and was dropped; other intervals continue\n";
}

// Rows of n samples per channel whose values are their channel sample numbers.
DecoderCapture::Rows counting_rows(std::size_t channels, std::uint64_t first, std::uint64_t n)
{
    DecoderCapture::Rows rows(channels);
    for (auto& row : rows) {
        for (std::uint64_t i = 0; i < n; ++i)
            row.push_back(static_cast<float>(first + i));
    }
    return rows;
}

void feed_counting(Harness& h, std::size_t channels, std::uint64_t total, std::uint64_t step)
{
    for (std::uint64_t done = 0; done < total; done += step)
        h.capture->append(counting_rows(channels, done, std::min(step, total - done)));
}

}  // namespace

struct FirstIntervalCase {
    DigitalMode mode;
    double t0;
    double start_utc;
    std::uint64_t start_sample;
};

void PrintTo(FirstIntervalCase const& c, std::ostream* os)
{
    *os << digital_mode_name(c.mode) << " after t0=" << c.t0;
}

class FirstInterval : public testing::TestWithParam<FirstIntervalCase> {};

// The first interval after a reset begins at least 0.1 s after t0, on a whole multiple of its
// length, at the channel sample that UTC corresponds to.
TEST_P(FirstInterval, StartsOnTheNextWholeIntervalAtTheMatchingSample)
{
    FirstIntervalCase const c = GetParam();
    Harness h({c.mode}, c.t0 + half_hop_s);
    h.capture->push_block(IqBlock{}, h.utc);  // starts the timeline, feeds nothing
    EXPECT_EQ(h.capture->resets(), 0u);
    EXPECT_EQ(h.timeline_starts, 1);

    auto const length = static_cast<std::uint64_t>(digital_mode_interval_samples(c.mode));
    feed_counting(h, 1, c.start_sample + length + 5000, 50000);
    ASSERT_EQ(h.jobs.size(), 1u);
    DecodeJob const& job = h.jobs[0];
    EXPECT_DOUBLE_EQ(job.start_utc, c.start_utc);
    EXPECT_EQ(job.mode, c.mode);
    ASSERT_EQ(job.audio.size(), length);
    EXPECT_EQ(job.audio.front(), static_cast<float>(c.start_sample));
    EXPECT_EQ(job.audio.back(), static_cast<float>(c.start_sample + length - 1));
}

INSTANTIATE_TEST_SUITE_P(
    Table, FirstInterval,
    testing::Values(FirstIntervalCase{DigitalMode::FT8, 1000.05, 1005.0, 59400},
                    FirstIntervalCase{DigitalMode::FT8, 1004.95, 1020.0, 180600},
                    FirstIntervalCase{DigitalMode::FT4, 1000.05, 1005.0, 59400},
                    FirstIntervalCase{DigitalMode::JS8_TURBO, 1001.95, 1008.0, 72600},
                    FirstIntervalCase{DigitalMode::WSPR, 1000.05, 1080.0, 959400}));

TEST(DecoderCapture, JobsOfOneStepGoOutInStartOrderTiesInSlotOrder)
{
    Harness h({DigitalMode::FT4, DigitalMode::FT8, DigitalMode::FT8}, 1000.05 + half_hop_s);
    h.capture->push_block(IqBlock{}, h.utc);
    // FT4 1005 ends at 149400; FT4 1012.5 and both FT8 1005 end together at 239400.
    feed_counting(h, 3, 240000, 10000);
    ASSERT_EQ(h.jobs.size(), 4u);
    std::vector<std::pair<double, DigitalMode>> order;
    for (DecodeJob const& job : h.jobs)
        order.emplace_back(job.start_utc, job.mode);
    EXPECT_EQ(order, (std::vector<std::pair<double, DigitalMode>>{{1005.0, DigitalMode::FT4},
                                                                  {1005.0, DigitalMode::FT8},
                                                                  {1005.0, DigitalMode::FT8},
                                                                  {1012.5, DigitalMode::FT4}}));
    EXPECT_LT(h.jobs[1].dial_hz, h.jobs[2].dial_hz);
    for (DecodeJob const& job : h.jobs)
        EXPECT_EQ(job.audio.size(), static_cast<std::size_t>(digital_mode_interval_samples(job.mode)));
}

TEST(DecoderCapture, IntervalBuffersComeBackWhenTheirJobsAreFinished)
{
    // FT4 from 1005 s (channel sample 59400), 90000 samples an interval. Decoders that finish
    // each job before the next interval: two buffers serve every interval.
    Harness h({DigitalMode::FT4}, 1000.05 + half_hop_s);
    h.release_jobs = true;
    // Both are made at the start, so that no later interval faults in fresh pages.
    EXPECT_EQ(h.capture->interval_buffers(), 2u);
    h.capture->push_block(IqBlock{}, h.utc);
    feed_counting(h, 1, 59400 + 6 * 90000 + 1000, 20000);
    ASSERT_EQ(h.released.size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        float const first = 59400.0f + 90000.0f * static_cast<float>(k);
        EXPECT_DOUBLE_EQ(h.released[k].start_utc, 1005.0 + 7.5 * static_cast<double>(k));
        EXPECT_EQ(h.released[k].size, 90000u);
        EXPECT_EQ(h.released[k].front, first) << k;
        EXPECT_EQ(h.released[k].back, first + 89999.0f) << k;
    }
    EXPECT_EQ(h.capture->interval_buffers(), 2u);
}

TEST(DecoderCapture, JobsStillQueuedKeepTheirSamples)
{
    // Decoders that fall behind: every queued job keeps its own storage while the capture
    // fills the next intervals; once they are done, that storage serves again.
    Harness h({DigitalMode::FT4}, 1000.05 + half_hop_s);
    h.capture->push_block(IqBlock{}, h.utc);
    feed_counting(h, 1, 59400 + 6 * 90000 + 1000, 20000);
    ASSERT_EQ(h.jobs.size(), 6u);
    for (std::size_t k = 0; k < 6; ++k) {
        float const first = 59400.0f + 90000.0f * static_cast<float>(k);
        ASSERT_EQ(h.jobs[k].audio.size(), 90000u);
        EXPECT_EQ(h.jobs[k].audio.front(), first) << k;
        EXPECT_EQ(h.jobs[k].audio.back(), first + 89999.0f) << k;
    }
    EXPECT_EQ(h.capture->interval_buffers(), 7u);  // six queued, one filling

    h.jobs.clear();
    h.release_jobs = true;
    feed_counting(h, 1, 3 * 90000, 20000);
    EXPECT_EQ(h.released.size(), 3u);
    EXPECT_EQ(h.capture->interval_buffers(), 7u);
}

TEST(DecoderCapture, RowsMustMatchTheChannels)
{
    Harness h({DigitalMode::FT8, DigitalMode::FT4}, 1000.0);
    h.capture->push_block(IqBlock{}, h.utc);

    DecoderCapture::Rows uneven = counting_rows(2, 0, 10);
    uneven[1].pop_back();
    try {
        h.capture->append(uneven);
        FAIL() << "rows of different lengths were accepted";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Channel clocks diverged");
    }
    try {
        h.capture->append(counting_rows(3, 0, 10));
        FAIL() << "a third row was accepted";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Channel count changed during capture");
    }
}

TEST(DecoderCapture, ShortGapIsZeroFilledAndTheIntervalKeepsItsTiming)
{
    Harness h({DigitalMode::FT8}, base_utc - 1.0);
    h.feed(6.0);
    testing::internal::CaptureStderr();
    h.after_gap(3200, GAP_DROPPED);  // 50 ms: within the 0.1 s budget
    std::string const log = testing::internal::GetCapturedStderr();
    h.feed(11.0);

    EXPECT_EQ(log, "IQ gap: zero-filled 3200 samples (50 ms) to preserve decoder timing; gap fills=1\n");
    EXPECT_EQ(h.capture->gap_fills(), 1u);
    EXPECT_EQ(h.capture->zero_filled(), 3200u);
    EXPECT_EQ(h.capture->intervals_dropped(), 0u);
    EXPECT_EQ(h.capture->resets(), 0u);
    EXPECT_EQ(h.timeline_starts, 1);
    EXPECT_EQ(h.job_starts(DigitalMode::FT8), std::vector<double>{0.0});
    ASSERT_EQ(h.jobs.size(), 1u);
    EXPECT_EQ(h.jobs[0].audio.size(), 180000u);
}

struct BudgetCase {
    double gap_seconds;
    std::vector<char const*> dropped;  // interval lengths in message form, in tracker order
    std::vector<double> ft4_jobs;      // FT4 intervals decoded (seconds after base_utc)
};

void PrintTo(BudgetCase const& c, std::ostream* os) { *os << "gap of " << c.gap_seconds << " s"; }

class GapBudget : public testing::TestWithParam<BudgetCase> {};

// Each interval length has its own loss budget: 0.1 s, or L/150 s beyond 15 s intervals.
TEST_P(GapBudget, DropsTheIntervalsThatLostMoreThanTheirBudget)
{
    BudgetCase const c = GetParam();
    Harness h({DigitalMode::FT8, DigitalMode::FT4, DigitalMode::JS8, DigitalMode::JS8_SLOW, DigitalMode::WSPR},
              base_utc - 1.0);
    h.feed(3.0);
    auto const missing = static_cast<std::uint64_t>(std::llround(c.gap_seconds * rate_hz));
    testing::internal::CaptureStderr();
    h.after_gap(missing, GAP_DROPPED);
    std::string const log = testing::internal::GetCapturedStderr();
    h.feed(14.0 - c.gap_seconds);

    std::string expected;
    for (char const* length : c.dropped)
        expected += drop_message(length);
    EXPECT_EQ(log.substr(0, expected.size()), expected);
    EXPECT_NE(log.find("IQ gap: zero-filled " + std::to_string(missing) + " samples"), std::string::npos);
    EXPECT_EQ(h.capture->intervals_dropped(), c.dropped.size());
    EXPECT_EQ(h.capture->zero_filled(), missing);
    EXPECT_EQ(h.capture->resets(), 0u);
    EXPECT_EQ(h.job_starts(DigitalMode::FT4), c.ft4_jobs);
}

INSTANTIATE_TEST_SUITE_P(
    Table, GapBudget,
    testing::Values(BudgetCase{0.05, {}, {0.0, 7.5}},
                    BudgetCase{0.15, {"15", "7.5"}, {7.5}},
                    BudgetCase{0.3, {"15", "7.5", "30"}, {7.5}},
                    BudgetCase{0.9, {"15", "7.5", "30", "120"}, {7.5}}));

// A gap that runs from an interval dropped earlier into the next one charges its tail to the
// next interval, which is dropped when the tail exceeds the budget.
TEST(DecoderCapture, GapCrossingIntoTheNextIntervalDropsItToo)
{
    Harness h({DigitalMode::FT4}, base_utc - 1.0);
    h.feed(3.0);
    testing::internal::CaptureStderr();
    h.after_gap(19200, GAP_DROPPED);  // 0.3 s at +2 s: interval 0 dropped
    h.feed(5.0);                      // to +7.4 s
    h.after_gap(19200, GAP_DROPPED);  // 0.3 s from about +7.38 s: about 0.18 s falls in 7.5
    std::string const log = testing::internal::GetCapturedStderr();
    h.feed(23.0);  // to +30.8 s

    EXPECT_EQ(h.capture->intervals_dropped(), 2u);
    EXPECT_NE(log.find(drop_message("7.5")), log.rfind(drop_message("7.5")));
    EXPECT_EQ(h.job_starts(DigitalMode::FT4), (std::vector<double>{15.0, 22.5}));
}

TEST(DecoderCapture, GapCrossingWithinBudgetKeepsBothIntervals)
{
    Harness h({DigitalMode::FT4}, base_utc - 1.0);
    h.feed(8.4);  // to +7.4 s
    testing::internal::CaptureStderr();
    h.after_gap(6400, GAP_SEQUENCE);  // 0.1 s split across the 7.5 s boundary
    testing::internal::GetCapturedStderr();
    h.feed(8.0);
    EXPECT_EQ(h.capture->intervals_dropped(), 0u);
    EXPECT_EQ(h.job_starts(DigitalMode::FT4), (std::vector<double>{0.0, 7.5}));
}

struct RestartCase {
    char const* name;
    std::uint32_t flags;
    std::uint64_t missing;  // gap_samples of the block
    double late_s;          // how much later than the samples say the block arrives
    bool discontinuity;
    char const* message;  // empty: no restart
};

void PrintTo(RestartCase const& c, std::ostream* os) { *os << c.name; }

class Restart : public testing::TestWithParam<RestartCase> {};

TEST_P(Restart, RestartsTheTimelineWithItsReasons)
{
    RestartCase const c = GetParam();
    Harness h({DigitalMode::FT8}, base_utc - 1.0);
    h.feed(6.0);
    IqBlock block;
    block.samples.assign(block_samples, {0.0f, 0.0f});
    block.discontinuity = c.discontinuity;
    block.gap_flags = c.flags;
    block.gap_samples = c.missing;
    block.expected_sample = 1000;
    block.received_sample = 900;
    h.utc += c.late_s;
    testing::internal::CaptureStderr();
    h.push(block);
    std::string const log = testing::internal::GetCapturedStderr();
    h.feed(12.0);

    std::string const expected = *c.message == '\0'
                                     ? std::string()
                                     : std::string("IQ discontinuity: discarded incomplete decoder intervals (resets=1") +
                                           c.message + ")\n";
    EXPECT_EQ(log, expected);
    bool const restarted = *c.message != '\0';
    EXPECT_EQ(h.capture->resets(), restarted ? 1u : 0u);
    EXPECT_EQ(h.timeline_starts, restarted ? 2 : 1);
    EXPECT_EQ(h.capture->gap_fills(), 0u);
    // A restart discards the interval in progress; without one it completes.
    EXPECT_EQ(h.job_starts(DigitalMode::FT8), restarted ? std::vector<double>{} : std::vector<double>{0.0});
}

INSTANTIATE_TEST_SUITE_P(
    Table, Restart,
    testing::Values(
        RestartCase{"GapBeyondFillLimit", GAP_DROPPED, 76800, 1.2, true,
                    ", receive queue overflow, gap exceeds fill limit"},
        RestartCase{"DriverReset", GAP_SOURCE_RESET, 0, 0.0, true, ", driver reset"},
        RestartCase{"SequenceGapOfUnknownSize", GAP_SEQUENCE | GAP_UNKNOWN_SIZE, 0, 0.0, true,
                    ", sample-counter gap: expected=1000, received=900, missing=0, unknown stream discontinuity"},
        RestartCase{"ResetEvenWithKnownCount", GAP_SOURCE_RESET | GAP_DROPPED, 3200, 0.05, true,
                    ", driver reset, receive queue overflow"},
        RestartCase{"ClockDrift", 0, 0, 0.6, false, ", sample/UTC clock drift"},
        RestartCase{"SmallDriftIgnored", 0, 0, 0.4, false, ""}),
    [](testing::TestParamInfo<RestartCase> const& info) { return std::string(info.param.name); });

TEST(DecoderCapture, FirstBlockCountsAsARestartOnlyWhenMarked)
{
    Harness quiet({DigitalMode::FT8}, base_utc - 1.0);
    testing::internal::CaptureStderr();
    quiet.feed(0.1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(quiet.capture->resets(), 0u);

    Harness marked({DigitalMode::FT8}, base_utc - 1.0);
    IqBlock block;
    block.samples.assign(block_samples, {0.0f, 0.0f});
    block.discontinuity = true;
    block.gap_flags = GAP_SOURCE_RESET;
    testing::internal::CaptureStderr();
    marked.push(block);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "IQ discontinuity: discarded incomplete decoder intervals (resets=1, driver reset)\n");
    EXPECT_EQ(marked.capture->resets(), 1u);
    EXPECT_EQ(marked.timeline_starts, 1);
}

TEST(DecoderCapture, RestartMessagesAreRateLimitedButCounted)
{
    Harness h({DigitalMode::FT8}, base_utc - 1.0);
    h.feed(1.0);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) {
        IqBlock block;
        block.samples.assign(block_samples, {0.0f, 0.0f});
        block.discontinuity = true;
        block.gap_flags = GAP_SOURCE_RESET;
        h.push(block);
    }
    std::string const log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(h.capture->resets(), 3u);
    EXPECT_EQ(log, "IQ discontinuity: discarded incomplete decoder intervals (resets=1, driver reset)\n");
}

// Decoder workers and the other threads log while the capture reports its gaps: a capture line
// still arrives whole, never cut by another thread's line (a log reader would see neither).
TEST(DecoderCapture, DiagnosticsArriveAsWholeLinesWhileOtherThreadsLog)
{
    Harness h({DigitalMode::FT4}, base_utc - 1.0);
    h.feed(1.0);
    std::string const other = "FT8 240315_120415 14.074000 MHz: 3 spots; callsigns=DL1ABC,K1ABC,W9XYZ";
    std::string const dropped = drop_message("7.5").substr(0, drop_message("7.5").size() - 1);
    std::atomic<bool> done{false};
    testing::internal::CaptureStderr();
    std::vector<std::thread> loggers;
    for (int i = 0; i < 3; ++i) {
        loggers.emplace_back([&] {
            while (!done.load()) {
                log_line(other);
                std::this_thread::yield();
            }
        });
    }
    // A gap of 0.15 s, over the 0.1 s budget, in each of 20 FT4 intervals in turn.
    for (int i = 0; i < 20; ++i) {
        h.after_gap(9600, GAP_DROPPED);
        h.feed(7.3);
    }
    done = true;
    for (std::thread& logger : loggers)
        logger.join();
    std::string const log = testing::internal::GetCapturedStderr();

    std::uint64_t drop_lines = 0;
    std::istringstream lines(log);
    for (std::string line; std::getline(lines, line);) {
        if (line == other)
            continue;
        if (line == dropped)
            ++drop_lines;
        else if (line.rfind("IQ gap: zero-filled 9600 samples (150 ms) to preserve decoder timing; gap fills=", 0) != 0)
            ADD_FAILURE() << "line cut by another: " << line;
    }
    EXPECT_EQ(drop_lines, h.capture->intervals_dropped());
    EXPECT_GE(drop_lines, 20u);
}

TEST(DecoderCapture, WithoutSlotsTheChannelsStillRun)
{
    std::vector<double> frequencies{centre_hz - 1500.0};
    auto channelizer = std::make_unique<Channelizer::Impl>(rate_hz, centre_hz, 2500.0, 1.0, frequencies, nullptr);
    int jobs = 0;
    DecoderCapture capture(std::move(channelizer), {}, [&](DecodeJob) { ++jobs; });
    IqBlock block;
    block.samples.assign(64000, {0.5f, 0.0f});
    for (int i = 0; i < 20; ++i)
        capture.push_block(block, base_utc + i);
    EXPECT_EQ(jobs, 0);
    EXPECT_EQ(capture.resets(), 0u);
    EXPECT_GT(capture.channelizer().sample_index(), 0u);
}

// On the receive-engine path blocks carry raw words; the timeline counts them in IQ samples,
// and a short gap is bridged with raw zeros, so the interval completes without a restart.
TEST(DecoderCapture, RawEngineBlocksKeepTheTimelineAndFillGaps)
{
    constexpr std::uint32_t words_per_sample = 2;
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, words_per_sample, rate_hz * words_per_sample);
    std::vector<double> frequencies{30000.0};
    auto channelizer = std::make_unique<Channelizer::Impl>(rate_hz, 32000.0, 2500.0, 1.0, frequencies, nullptr);
    channelizer->attach_engine(engine);
    std::vector<DecodeJob> jobs;
    DecoderCapture capture(std::move(channelizer), {{30000.0, DigitalMode::FT8, 0}},
                           [&](DecodeJob job) { jobs.push_back(std::move(job)); });

    double utc = base_utc - 1.0;
    auto push_raw = [&](int blocks, std::uint64_t missing) {
        for (int i = 0; i < blocks; ++i) {
            IqBlock block;
            block.raw.assign(block_samples * words_per_sample, 100);
            block.raw_per_sample = words_per_sample;
            if (i == 0 && missing > 0) {
                block.discontinuity = true;
                block.gap_flags = GAP_DROPPED;
                block.gap_samples = missing;
                utc += static_cast<double>(missing) / rate_hz;
            }
            capture.push_block(block, utc);
            utc += static_cast<double>(block_samples) / rate_hz;
        }
    };
    push_raw(60, 0);  // to +5 s
    testing::internal::CaptureStderr();
    push_raw(1, 3200);
    testing::internal::GetCapturedStderr();
    push_raw(120, 0);  // to +17.15 s

    EXPECT_EQ(capture.resets(), 0u);
    EXPECT_EQ(capture.gap_fills(), 1u);
    EXPECT_EQ(capture.zero_filled(), 3200u);
    ASSERT_EQ(jobs.size(), 1u);
    EXPECT_EQ(jobs[0].start_utc, base_utc);
    EXPECT_EQ(jobs[0].audio.size(), 180000u);
}
