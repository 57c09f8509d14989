#include "report/psk_reporter.hpp"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <thread>

#include "core/state_directory.hpp"
#include "report/ipfix_datagram.hpp"
#include "report/psk_collector_link.hpp"
#include "report/psk_suppression.hpp"
#include "tests/report/psk_test_harness.hpp"
#include "tests/support/error_of.hpp"
#include "tests/support/temp_dir.hpp"
#include "tests/support/udp_collector.hpp"

namespace {

using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::StartsWith;

std::vector<std::string> calls(std::vector<PskSpot> const& spots)
{
    std::vector<std::string> out;
    for (PskSpot const& spot : spots)
        out.push_back(spot.sender_call);
    return out;
}

struct ConstructionCase {
    char const* name;
    char const* call;
    char const* grid;
    std::chrono::milliseconds interval;
    bool keep_clocks;
    char const* message;
};

std::ostream& operator<<(std::ostream& out, ConstructionCase const& c) { return out << c.name; }

class PskReporterConstruction : public ::testing::TestWithParam<ConstructionCase> {};

TEST_P(PskReporterConstruction, RefusesBadIdentityIntervalOrClocks)
{
    ConstructionCase const& c = GetParam();
    PskClocks clocks;
    PskReportPolicy policy = clocks.policy();
    if (!c.keep_clocks)
        policy.monotonic = nullptr;
    DatagramSink sink;
    EXPECT_EQ(error_of([&] { PskReporter reporter(c.call, c.grid, sink.hook(), c.interval, {}, policy); }), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, PskReporterConstruction,
    ::testing::Values(ConstructionCase{"lower_case_identity", "k1abc", "fn42aa", 1ms, true, ""},
                      ConstructionCase{"empty_locator", "K1ABC", "", an_hour, true,
                                       "Invalid PSK Reporter identity or interval"},
                      ConstructionCase{"bad_call", "K1", "FN42", an_hour, true,
                                       "Invalid PSK Reporter identity or interval"},
                      ConstructionCase{"zero_interval", "K1ABC", "FN42", 0ms, true,
                                       "Invalid PSK Reporter identity or interval"},
                      ConstructionCase{"missing_clock", "K1ABC", "FN42", an_hour, false, "Invalid PSK Reporter clock"}),
    [](auto const& info) { return std::string(info.param.name); });

TEST(PskReporterState, SuppressionFileFollowsPolicyThenHookThenStateDirectory)
{
    TempDir dir;
    char const* saved = std::getenv("XDG_STATE_HOME");
    std::string const restore = saved == nullptr ? "" : saved;
    ::setenv("XDG_STATE_HOME", dir.path().c_str(), 1);
    EXPECT_EQ(psk_suppression_path("/x/state.sqlite3", true), "/x/state.sqlite3");
    EXPECT_EQ(psk_suppression_path("/x/state.sqlite3", false), "/x/state.sqlite3");
    EXPECT_EQ(psk_suppression_path("", true), ":memory:");
    EXPECT_EQ(psk_suppression_path("", false), (dir / "norvane" / "psk-dedup.sqlite3").string());
    if (saved == nullptr)
        ::unsetenv("XDG_STATE_HOME");
    else
        ::setenv("XDG_STATE_HOME", restore.c_str(), 1);
}

TEST(PskReporterSender, TrickleOfSpotsGoesOutOnceAnIntervalWithSequenceNumbers)
{
    PskClocks clocks;
    DatagramSink sink;
    std::mutex sent_mutex;
    std::vector<std::pair<unsigned long, long>> batches;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("k1abc", "fn42aa", sink.hook(), 50ms,
                         [&](unsigned long n, long at) {
                             std::scoped_lock lock(sent_mutex);
                             batches.emplace_back(n, at);
                         },
                         clocks.policy());
    for (char const* call : {"W1AW", "K2XYZ", "DL1XYZ"})
        reporter.submit(make_spot(call));
    ASSERT_TRUE(sink.wait_delivered(1));
    clocks.now_s += 20;
    for (char const* call : {"JA1ABC", "VK2DEF"})
        reporter.submit(make_spot(call, harness_start_s + 20));
    ASSERT_TRUE(sink.wait_delivered(2));
    reporter.stop();
    std::string const err = ::testing::internal::GetCapturedStderr();

    std::vector<IpfixMessage> const messages = sink.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_THAT(calls(messages[0].spots), ElementsAre("W1AW", "K2XYZ", "DL1XYZ"));
    EXPECT_THAT(calls(messages[1].spots), ElementsAre("JA1ABC", "VK2DEF"));
    EXPECT_EQ(messages[0].sequence, 0u);
    EXPECT_EQ(messages[1].sequence, 3u);
    EXPECT_EQ(messages[0].export_time, static_cast<std::uint32_t>(harness_start_s));
    EXPECT_EQ(messages[1].export_time, static_cast<std::uint32_t>(harness_start_s + 20));
    EXPECT_EQ(messages[0].observation_domain, messages[1].observation_domain);
    EXPECT_EQ(messages[0].receiver_call, "K1ABC");
    EXPECT_EQ(messages[0].receiver_grid, "FN42AA");
    EXPECT_EQ(err, "PSK Reporter: sent 3 spots\nPSK Reporter: sent 2 spots\n");
    EXPECT_THAT(batches, ElementsAre(std::pair<unsigned long, long>{3, harness_start_s},
                                     std::pair<unsigned long, long>{2, harness_start_s + 20}));
    EXPECT_EQ(reporter.stats().sent, 5u);
}

// 21-byte records: 49 fit one datagram, and 51 queued reach the budget.
TEST(PskReporterSender, FullDatagramGoesOutAtOnceAndTheRestWaits)
{
    PskClocks clocks;
    DatagramSink sink;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy());
    for (int i = 0; i < 60; ++i)
        reporter.submit(make_spot(nth_call(i), harness_start_s, ""));
    ASSERT_TRUE(sink.wait_delivered(1));
    EXPECT_EQ(reporter.stats().queued, 11u);
    EXPECT_EQ(sink.messages()[0].spots.size(), 49u);
    reporter.stop();
    ::testing::internal::GetCapturedStderr();
    std::vector<IpfixMessage> const messages = sink.messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[1].spots.size(), 11u);
    EXPECT_EQ(messages[1].sequence, 49u);
    EXPECT_EQ(messages[1].spots[0].sender_call, nth_call(49));
}

TEST(PskReporterSender, StopFlushesEveryQueuedSpotInFullDatagrams)
{
    PskClocks clocks;
    DatagramSink sink;
    sink.hold();  // whatever the sender takes early waits in the hook until stop
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy());
    for (int i = 0; i < 120; ++i)
        reporter.submit(make_spot(nth_call(i), harness_start_s + i % 7, i % 2 ? "JO62" : "", 14074000 + i, i - 60));
    std::jthread releaser([&] {
        sink.wait_attempts(1);
        sink.release();
    });
    reporter.stop();
    std::string const err = ::testing::internal::GetCapturedStderr();
    // Each datagram takes from the front whatever fits: 49 or fewer spots of 21 and 25 bytes.
    std::vector<std::size_t> sizes;
    std::size_t const fixed = build_ipfix_packet("K1ABC", "FN42", {}, 0, 0, 0).size();
    for (int i = 0, bytes = 0; i < 120; ++i) {
        int const record = i % 2 ? 25 : 21;
        if (sizes.empty() || fixed + static_cast<std::size_t>(bytes + record) + 3 > ipfix_datagram_budget) {
            sizes.push_back(0);
            bytes = 0;
        }
        ++sizes.back();
        bytes += record;
    }
    ASSERT_EQ(sizes.size(), 3u);
    std::string expected_lines;
    for (std::size_t size : sizes)
        expected_lines += "PSK Reporter: sent " + std::to_string(size) + " spots\n";
    EXPECT_EQ(err, expected_lines);
    std::vector<Delivery> const deliveries = sink.delivered();
    ASSERT_EQ(deliveries.size(), 3u);
    std::vector<PskSpot> all;
    std::uint32_t expected_sequence = 0;
    for (Delivery const& delivery : deliveries) {
        EXPECT_LE(delivery.bytes.size(), ipfix_datagram_budget);
        IpfixMessage const message = read_ipfix_message(delivery.bytes);
        EXPECT_EQ(message.sequence, expected_sequence);
        expected_sequence += static_cast<std::uint32_t>(message.spots.size());
        all.insert(all.end(), message.spots.begin(), message.spots.end());
    }
    ASSERT_EQ(all.size(), 120u);
    for (int i = 0; i < 120; ++i) {
        EXPECT_EQ(all[static_cast<std::size_t>(i)].sender_call, nth_call(i));
        EXPECT_EQ(all[static_cast<std::size_t>(i)].frequency_hz, static_cast<std::uint32_t>(14074000 + i));
        EXPECT_EQ(all[static_cast<std::size_t>(i)].snr, i - 60);
        EXPECT_EQ(all[static_cast<std::size_t>(i)].time, static_cast<std::uint32_t>(harness_start_s + i % 7));
    }
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.sent, 120u);
    EXPECT_EQ(stats.queued + stats.dropped + stats.failures, 0u);
}

// The retry must find its own suppression rows undone, or the spot would be held back as a repeat;
// also where the band key no longer fits 32 bits (2.148 GHz and up).
class PskReporterRetry : public ::testing::TestWithParam<std::uint32_t> {};

TEST_P(PskReporterRetry, FailedSendIsRetriedOneIntervalLaterWithItsRowsUndone)
{
    TempDir dir;
    PskClocks clocks;
    DatagramSink sink;
    sink.fail_next(1);
    auto const interval = 100ms;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), interval, {}, clocks.policy((dir / "dedup.sqlite3").string()));
    reporter.submit(make_spot("W1AW", harness_start_s, "FN31", GetParam()));
    ASSERT_TRUE(sink.wait_delivered(1));
    reporter.stop();
    std::string const err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "collector unreachable; ALL.TXT capture continues\nPSK Reporter: sent 1 spots\n");
    auto const attempts = sink.attempt_times();
    ASSERT_EQ(attempts.size(), 2u);
    EXPECT_GE(attempts[1] - attempts[0], interval);
    IpfixMessage const message = read_ipfix_message(sink.delivered()[0].bytes);
    EXPECT_THAT(calls(message.spots), ElementsAre("W1AW"));
    EXPECT_EQ(message.spots[0].frequency_hz, GetParam());
    EXPECT_EQ(message.sequence, 0u);
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.failures, 1u);
    EXPECT_EQ(stats.sent, 1u);
    EXPECT_EQ(stats.duplicates + stats.dropped, 0u);
}

INSTANTIATE_TEST_SUITE_P(Frequencies, PskReporterRetry, ::testing::Values(14075000u, 2148000000u, 4294967294u));

TEST(PskReporterSender, FailureWhileStoppingDropsTheBatchAndTheQueue)
{
    PskClocks clocks;
    DatagramSink sink;
    sink.hold();
    sink.fail_next(1);
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy());
    for (int i = 0; i < 60; ++i)
        reporter.submit(make_spot(nth_call(i), harness_start_s, ""));
    ASSERT_TRUE(sink.wait_attempts(1));
    std::jthread stopper([&] { reporter.stop(); });
    // Once stop has been asked for, submit ignores even a repeat, which counts until then.
    for (;;) {
        std::uint64_t const before = reporter.stats().duplicates;
        reporter.submit(make_spot(nth_call(0), harness_start_s, ""));
        if (reporter.stats().duplicates == before)
            break;
        std::this_thread::yield();
    }
    sink.release();
    stopper.join();
    std::string const err = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(err, "collector unreachable; ALL.TXT capture continues\n");
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.failures, 1u);
    EXPECT_EQ(stats.dropped, 60u);
    EXPECT_EQ(stats.queued + stats.sent, 0u);
}

TEST(PskReporterSender, SentCallbackFailureIsReportedButTheSpotsCountAsSent)
{
    for (bool standard : {true, false}) {
        PskClocks clocks;
        DatagramSink sink;
        ::testing::internal::CaptureStderr();
        PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour,
                             [standard](unsigned long, long) {
                                 if (standard)
                                     throw std::runtime_error("PSK report history queue full");
                                 throw 42;
                             },
                             clocks.policy());
        reporter.submit(make_spot("W1AW"));
        reporter.stop();
        EXPECT_EQ(::testing::internal::GetCapturedStderr(),
                  standard ? "PSK report count unavailable: PSK report history queue full; reports were already sent\n"
                             "PSK Reporter: sent 1 spots\n"
                           : "PSK report count unavailable; reports were already sent\nPSK Reporter: sent 1 spots\n");
        EXPECT_EQ(reporter.stats().sent, 1u);
    }
}

// Spots that turn out stale at batch time, or that another reporter on the same file sent a
// moment ago, send nothing and print nothing.
TEST(PskReporterSender, StaleAndSuppressedSpotsSendNothing)
{
    TempDir dir;
    std::string const path = (dir / "dedup.sqlite3").string();
    {
        SqliteConnection const other = open_suppression_db(path);
        std::vector<PskSpot> batch{make_spot("W1AW")};
        suppress_duplicates(other.get(), "K1ABC", batch, harness_start_s, "1:1:1");
    }
    PskClocks clocks;
    DatagramSink sink;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy(path));
    reporter.submit(make_spot("W1AW", harness_start_s + 10));
    reporter.submit(make_spot("K2XYZ", harness_start_s - 550));
    clocks.now_s += 100;  // K2XYZ is now older than 600 s
    reporter.stop();
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_TRUE(sink.delivered().empty());
    PskReporterStats const stats = reporter.stats();
    EXPECT_EQ(stats.duplicates, 1u);
    EXPECT_EQ(stats.stale, 1u);
    EXPECT_EQ(stats.sent, 0u);
}

std::vector<std::string> owners(std::string const& path)
{
    SqliteConnection const db = open_suppression_db(path);
    SqliteStatement const query = prepare_sql(db.get(), "SELECT owner FROM reports ORDER BY sender");
    std::vector<std::string> out;
    while (sqlite3_step(query.get()) == SQLITE_ROW)
        out.emplace_back(reinterpret_cast<char const*>(sqlite3_column_text(query.get(), 0)));
    return out;
}

TEST(PskReporterSender, BatchesOwnTheirSuppressionRows)
{
    TempDir dir;
    std::string const path = (dir / "dedup.sqlite3").string();
    PskClocks clocks;
    DatagramSink sink;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), 20ms, {}, clocks.policy(path));
    reporter.submit(make_spot("W1AW"));
    ASSERT_TRUE(sink.wait_delivered(1));
    reporter.submit(make_spot("K2XYZ"));
    ASSERT_TRUE(sink.wait_delivered(2));
    reporter.stop();
    ::testing::internal::GetCapturedStderr();
    std::string const prefix =
        std::to_string(sink.messages()[0].observation_domain) + ":" + std::to_string(::getpid()) + ":";
    EXPECT_THAT(owners(path), ElementsAre(prefix + "2", prefix + "1"));
}

// A batch taken early that then loses spots (stale at batch time) no longer fills a datagram:
// its rows are undone and it waits in the queue for the deadline.
TEST(PskReporterSender, EarlyBatchThatNoLongerFillsADatagramIsPutBack)
{
    TempDir dir;
    std::string const path = (dir / "dedup.sqlite3").string();
    PskClocks clocks;
    DatagramSink sink;
    ::testing::internal::CaptureStderr();
    PskReporter reporter("K1ABC", "FN42", sink.hook(), an_hour, {}, clocks.policy(path));
    for (int i = 0; i < 10; ++i)
        reporter.submit(make_spot(nth_call(i), harness_start_s - 590, ""));
    clocks.now_s += 20;  // the first ten are now stale
    for (int i = 10; i < 60; ++i)
        reporter.submit(make_spot(nth_call(i), harness_start_s + 20, ""));
    // The sender takes 49, finds 10 stale and puts 39 back in front of the 11 still queued.
    for (int spins = 0; spins < 2000000 && !(reporter.stats().stale == 10 && reporter.stats().queued == 50); ++spins)
        std::this_thread::yield();
    PskReporterStats stats = reporter.stats();
    EXPECT_EQ(stats.stale, 10u);
    EXPECT_EQ(stats.queued, 50u);
    EXPECT_TRUE(sink.delivered().empty());
    EXPECT_TRUE(owners(path).empty());
    reporter.stop();
    ::testing::internal::GetCapturedStderr();
    std::vector<PskSpot> const sent = sink.spots();
    ASSERT_EQ(sent.size(), 50u);
    EXPECT_EQ(sent.front().sender_call, nth_call(10));
    EXPECT_EQ(sent.back().sender_call, nth_call(59));
}

// glibc starts its asynchronous resolver threads internally, out of ThreadSanitizer's sight, and
// the sanitizer's allocator then crashes on them.
class CollectorLinkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
#if defined(__SANITIZE_THREAD__)
        GTEST_SKIP() << "getaddrinfo_a's resolver threads cannot run under ThreadSanitizer";
#endif
    }
};

TEST_F(CollectorLinkTest, LooksUpOnceAndReusesTheConnectedSocket)
{
    UdpCollector collector;
    PskCollectorLink link("127.0.0.1", std::to_string(collector.port()));
    std::atomic<bool> stop{false};
    std::vector<unsigned char> const first = build_ipfix_packet("K1ABC", "FN42", {make_spot("W1AW")}, 1, 0, 7);
    std::vector<unsigned char> const second = build_ipfix_packet("K1ABC", "FN42", {make_spot("K2XYZ")}, 2, 1, 7);
    link.send(first, &stop);
    EXPECT_TRUE(link.is_open());
    link.send(second, nullptr);
    auto const [bytes1, port1] = collector.receive();
    auto const [bytes2, port2] = collector.receive();
    EXPECT_EQ(bytes1, first);
    EXPECT_EQ(bytes2, second);
    EXPECT_EQ(port1, port2);
}

TEST_F(CollectorLinkTest, RefusedSendClosesTheSocketAndTheNextOneReconnects)
{
    UdpCollector collector;
    std::string const port = std::to_string(collector.port());
    collector.close();  // nothing listens there now: loopback answers "port unreachable"
    PskCollectorLink link("127.0.0.1", port);
    std::vector<unsigned char> const datagram = build_ipfix_packet("K1ABC", "FN42", {}, 1, 0, 7);
    std::string error;
    for (int attempt = 0; attempt < 3 && error.empty(); ++attempt)
        error = error_of([&] { link.send(datagram, nullptr); });
    EXPECT_EQ(error, "PSK Reporter UDP: Connection refused");
    EXPECT_FALSE(link.is_open());
    link.send(datagram, nullptr);
    EXPECT_TRUE(link.is_open());
}

TEST_F(CollectorLinkTest, FailedLookupLeavesNoSocket)
{
    PskCollectorLink link("127.0.0.1", "no-such-service-name");
    EXPECT_THAT(error_of([&] { link.send({1, 2, 3}, nullptr); }), StartsWith("PSK Reporter DNS: "));
    EXPECT_FALSE(link.is_open());
}

// Stopping already when the lookup begins is the final flush: the lookup runs to its end.
TEST_F(CollectorLinkTest, FinalFlushLookupIgnoresTheStopFlag)
{
    std::atomic<bool> stop{true};
    UdpCollector collector;
    PskCollectorLink link("127.0.0.1", std::to_string(collector.port()));
    std::vector<unsigned char> const datagram = build_ipfix_packet("K1ABC", "FN42", {}, 1, 0, 7);
    link.send(datagram, &stop);
    EXPECT_EQ(collector.receive().bytes, datagram);
}

}  // namespace
