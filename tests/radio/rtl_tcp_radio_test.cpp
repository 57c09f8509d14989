#include "radio/rtl_tcp_radio.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <complex>
#include <cstdint>
#include <ostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/options.hpp"
#include "radio/sample_queue.hpp"
#include "testbed/lib/rtl_tcp_server.hpp"
#include "tests/support/error_of.hpp"

namespace testbed {
void PrintTo(RtlTcpCommand const& c, std::ostream* os) { *os << int(c.command) << ':' << c.value; }
}  // namespace testbed

namespace {

using testbed::RtlTcpChunk;
using testbed::RtlTcpCommand;
using testbed::RtlTcpServer;
using testbed::RtlTcpServerScript;
using namespace std::chrono_literals;

constexpr auto patience = 10s;  // only a hung peer ever waits this long

Options rtl_options(std::uint16_t port)
{
    Options options;
    options.backend = "rtl-sdr";
    options.rtl_host = "127.0.0.1";
    options.rtl_port = port;
    options.sample_rate = 1024000;
    options.frequency = 7074000;
    return options;
}

// At 400 samples/s the backend throws away the first 100 pairs (a quarter second).
constexpr std::int32_t slow_rate = 400;
constexpr std::size_t skipped_bytes = 200;
// Long enough at that rate that the largest block one receive makes (32768 pairs) still fits.
constexpr double queue_seconds = 100;

// Bytes that run through all 256 values, so every conversion is seen.
std::vector<std::uint8_t> pattern(std::size_t first, std::size_t count)
{
    std::vector<std::uint8_t> bytes;
    for (std::size_t i = first; i < first + count; ++i)
        bytes.push_back(static_cast<std::uint8_t>((i * 37 + 11) % 256));
    return bytes;
}

float converted(std::uint8_t byte) { return (static_cast<float>(byte) - 127.5f) / 128.0f; }

// Pops until `count` samples have come (or the queue failed, or patience ran out).
std::vector<std::complex<float>> collect(SampleQueue& queue, std::size_t count, std::vector<IqBlock>* blocks = nullptr)
{
    std::vector<std::complex<float>> samples;
    auto const give_up = std::chrono::steady_clock::now() + patience;
    while (samples.size() < count && std::chrono::steady_clock::now() < give_up) {
        IqBlock block;
        if (!queue.pop(block)) {
            if (!queue.failure().empty())
                break;
            continue;
        }
        samples.insert(samples.end(), block.samples.begin(), block.samples.end());
        if (blocks != nullptr)
            blocks->push_back(std::move(block));
    }
    return samples;
}

double system_seconds()
{
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

}  // namespace

struct CommandCase {
    char const* name;
    void (*setup)(Options&);
    std::vector<RtlTcpCommand> commands;
    double offset_hz;
    std::string gain_line;
};

void PrintTo(CommandCase const& c, std::ostream* os) { *os << c.name; }

class RtlTcpStartup : public testing::TestWithParam<CommandCase> {};

TEST_P(RtlTcpStartup, ConfiguresTheServerInOrderAndSaysSo)
{
    CommandCase const c = GetParam();
    RtlTcpServer server({});
    Options options = rtl_options(server.port());
    c.setup(options);

    testing::internal::CaptureStderr();
    auto radio = make_rtl_tcp_radio(options);
    std::string const said = testing::internal::GetCapturedStderr();

    EXPECT_EQ(radio->tuning_offset(), c.offset_hz);
    EXPECT_EQ(radio->center_for(options.frequency), options.frequency - c.offset_hz);
    EXPECT_EQ(radio->sample_rate(), static_cast<double>(options.sample_rate));
    EXPECT_EQ(said, c.gain_line + "Receiver: RTL-SDR via rtl_tcp 127.0.0.1:" + std::to_string(server.port()) +
                        ", tuner=5, gain steps=29, requested hardware=" + std::to_string(options.sample_rate) +
                        " samples/s\n");

    // Once the client has gone, the server has read every byte it sent.
    radio.reset();
    ASSERT_TRUE(server.wait_for_client_close(patience));
    EXPECT_EQ(server.commands(), c.commands);
}

// The common tail: test mode, AGC mode and offset tuning all off.
std::vector<RtlTcpCommand> commands(std::uint32_t direct, std::uint32_t rate, std::uint32_t ppm, std::uint32_t centre,
                                    std::vector<RtlTcpCommand> gain)
{
    std::vector<RtlTcpCommand> list = {{9, direct}, {2, rate}, {5, ppm}, {1, centre}, {7, 0}, {8, 0}, {10, 0}};
    list.insert(list.end(), gain.begin(), gain.end());
    return list;
}

INSTANTIATE_TEST_SUITE_P(
    Table, RtlTcpStartup,
    testing::Values(
        CommandCase{"UsbAudioWithAgc", [](Options&) {}, commands(0, 1024000, 0, 7082000, {{3, 0}}), -8000, ""},
        CommandCase{"ManualGain", [](Options& o) { o.agc = false; o.rtl_gain = 12.25; },
                    commands(0, 1024000, 0, 7082000, {{3, 1}, {4, 123}}), -8000,
                    "RTL tuner gain requested: 12.25 dB (server applies supported gain)\n"},
        CommandCase{"NegativeGainRoundsAwayFromZero", [](Options& o) { o.agc = false; o.rtl_gain = -2.25; },
                    commands(0, 1024000, 0, 7082000, {{3, 1}, {4, 0xFFFFFFE9u}}), -8000,
                    "RTL tuner gain requested: -2.25 dB (server applies supported gain)\n"},
        CommandCase{"DirectSamplingQLeavesGainAlone", [](Options& o) { o.direct_sampling = 2; o.agc = false; },
                    commands(2, 1024000, 0, 7082000, {}), -8000, ""},
        CommandCase{"DirectSamplingIWithAgc", [](Options& o) { o.direct_sampling = 1; },
                    commands(1, 1024000, 0, 7082000, {}), -8000, ""},
        CommandCase{"PpmTruncatesTowardZero", [](Options& o) { o.ppm = -3.7; },
                    commands(0, 1024000, 0xFFFFFFFDu, 7082000, {{3, 0}}), -8000, ""},
        CommandCase{"PositivePpm", [](Options& o) { o.ppm = 2.9; },
                    commands(0, 1024000, 2, 7082000, {{3, 0}}), -8000, ""},
        CommandCase{"WidebandTunesToTheFrequency",
                    [](Options& o) { o.wideband = true; o.sample_rate = 2400000; o.frequency = 14100000; },
                    commands(0, 2400000, 0, 14100000, {{3, 0}}), 0, ""},
        CommandCase{"WidebandCentreRoundsHalfAway", [](Options& o) { o.wideband = true; o.frequency = 7074000.5; },
                    commands(0, 1024000, 0, 7074001, {{3, 0}}), 0, ""},
        CommandCase{"UsbNearZeroStaysAbove", [](Options& o) { o.frequency = 500; },
                    commands(0, 1024000, 0, 8500, {{3, 0}}), -8000, ""},
        CommandCase{"LsbNearZeroMovesAbove", [](Options& o) { o.modulation = 1; o.frequency = 5000; },
                    commands(0, 1024000, 0, 13000, {{3, 0}}), -8000, ""},
        CommandCase{"LsbAtTheTopStaysBelow", [](Options& o) { o.modulation = 1; o.frequency = 2001000000; },
                    commands(0, 1024000, 0, 2000992000, {{3, 0}}), 8000, ""},
        CommandCase{"UsbAtTheTopMovesBelow", [](Options& o) { o.frequency = 1999995000; },
                    commands(0, 1024000, 0, 1999987000, {{3, 0}}), 8000, ""},
        CommandCase{"AmSitsBelow", [](Options& o) { o.modulation = 2; o.frequency = 7200000; },
                    commands(0, 1024000, 0, 7192000, {{3, 0}}), 8000, ""}),
    [](testing::TestParamInfo<CommandCase> const& info) { return std::string(info.param.name); });

struct HeaderCase {
    char const* name;
    std::string header;
    bool close_after;
    std::string message;
};

void PrintTo(HeaderCase const& c, std::ostream* os) { *os << c.name; }

class RtlTcpHeader : public testing::TestWithParam<HeaderCase> {};

TEST_P(RtlTcpHeader, RefusesAServerWithoutAGoodHeader)
{
    HeaderCase const c = GetParam();
    RtlTcpServerScript script;
    script.header = c.header;
    script.close_at_end = c.close_after;
    RtlTcpServer server(script);
    EXPECT_EQ(error_of([&] { make_rtl_tcp_radio(rtl_options(server.port())); }), c.message);
    EXPECT_TRUE(server.commands().empty());
}

INSTANTIATE_TEST_SUITE_P(
    Table, RtlTcpHeader,
    testing::Values(
        HeaderCase{"WrongMagic", testbed::rtl_tcp_header(5, 29, "RTL1"), false,
                   "Invalid rtl_tcp header (expected RTL0)"},
        HeaderCase{"LowerCaseMagic", testbed::rtl_tcp_header(5, 29, "rtl0"), false,
                   "Invalid rtl_tcp header (expected RTL0)"},
        HeaderCase{"ElevenBytesThenClose", testbed::rtl_tcp_header(5, 29).substr(0, 11), true,
                   "rtl_tcp disconnected during the server header"},
        HeaderCase{"ClosedAtOnce", "", true, "rtl_tcp disconnected during the server header"},
        // Waits out the five-second header deadline.
        HeaderCase{"SilentServer", "", false, "rtl_tcp socket operation timed out"}),
    [](testing::TestParamInfo<HeaderCase> const& info) { return std::string(info.param.name); });

TEST(RtlTcpRadio, NoServerListeningIsReportedWithTheWayToStartOne)
{
    std::uint16_t port = 0;
    {
        RtlTcpServer vanished({});
        port = vanished.port();
    }
    EXPECT_EQ(error_of([&] { make_rtl_tcp_radio(rtl_options(port)); }),
              "Cannot connect to rtl_tcp at 127.0.0.1:" + std::to_string(port) +
                  "; start the external server with rtl_tcp -a HOST -p PORT -d INDEX_OR_SERIAL");
}

// The first chunk ends in the middle of a pair and the second is held back until the first
// has been delivered, so the backend certainly reads an odd number of bytes and must carry one.
TEST(RtlTcpRadio, ConvertsUnsignedBytesAndKeepsPairsAcrossOddReads)
{
    std::size_t const first = skipped_bytes + 301;
    std::size_t const second = 301;
    RtlTcpServerScript script;
    script.chunks = {{pattern(0, first), false}, {pattern(first, second), true}};
    RtlTcpServer server(script);
    Options options = rtl_options(server.port());
    options.sample_rate = slow_rate;

    SampleQueue queue;  // outlives the radio that pushes into it
    testing::internal::CaptureStderr();
    auto radio = make_rtl_tcp_radio(options);
    testing::internal::GetCapturedStderr();
    queue.configure(slow_rate, queue_seconds);
    double const started = system_seconds();
    radio->start(queue);

    std::vector<IqBlock> blocks;
    auto samples = collect(queue, 150, &blocks);
    ASSERT_EQ(samples.size(), 150u);
    server.release();
    auto rest = collect(queue, 151, &blocks);
    ASSERT_EQ(rest.size(), 151u);
    samples.insert(samples.end(), rest.begin(), rest.end());
    double const finished = system_seconds();

    std::vector<std::uint8_t> const bytes = pattern(0, first + second);
    for (std::size_t k = 0; k < samples.size(); ++k) {
        std::size_t const at = skipped_bytes + 2 * k;
        ASSERT_EQ(samples[k], std::complex<float>(converted(bytes[at]), converted(bytes[at + 1]))) << "sample " << k;
    }
    for (IqBlock const& block : blocks) {
        EXPECT_FALSE(block.discontinuity);
        EXPECT_EQ(block.gap_flags, 0u);
        EXPECT_TRUE(block.raw.empty());
        // Stamped with the time of its first sample: a little before it was received.
        EXPECT_GT(block.utc, started - 2.0);
        EXPECT_LT(block.utc, finished);
    }
    IqBlock extra;
    EXPECT_FALSE(queue.pop(extra));  // the carried odd byte never became a sample
    EXPECT_EQ(queue.failure(), "");
}

TEST(RtlTcpRadio, FullScaleBytesMapJustInsideOne)
{
    RtlTcpServerScript script;
    std::vector<std::uint8_t> bytes(skipped_bytes, 128);
    for (std::uint8_t b : {0, 255, 127, 128})
        bytes.push_back(b);
    script.chunks = {{bytes, false}};
    RtlTcpServer server(script);
    Options options = rtl_options(server.port());
    options.sample_rate = slow_rate;
    SampleQueue queue;  // outlives the radio that pushes into it
    testing::internal::CaptureStderr();
    auto radio = make_rtl_tcp_radio(options);
    testing::internal::GetCapturedStderr();
    queue.configure(slow_rate, queue_seconds);
    radio->start(queue);
    auto const samples = collect(queue, 2);
    ASSERT_EQ(samples.size(), 2u);
    EXPECT_EQ(samples[0], std::complex<float>(-0.99609375f, 0.99609375f));
    EXPECT_EQ(samples[1], std::complex<float>(-0.00390625f, 0.00390625f));
}

struct DisconnectCase {
    char const* name;
    std::size_t bytes_after_skip;
    std::size_t samples;
    std::string message;
};

void PrintTo(DisconnectCase const& c, std::ostream* os) { *os << c.name; }

class RtlTcpDisconnect : public testing::TestWithParam<DisconnectCase> {};

TEST_P(RtlTcpDisconnect, ServerClosingFailsTheQueueAfterTheLastWholePair)
{
    DisconnectCase const c = GetParam();
    RtlTcpServerScript script;
    script.stream_after_commands = 8;  // every command read before the close, so no reset
    script.chunks = {{pattern(0, skipped_bytes + c.bytes_after_skip), false}};
    script.close_at_end = true;
    RtlTcpServer server(script);
    Options options = rtl_options(server.port());
    options.sample_rate = slow_rate;
    SampleQueue queue;  // outlives the radio that pushes into it
    testing::internal::CaptureStderr();
    auto radio = make_rtl_tcp_radio(options);
    testing::internal::GetCapturedStderr();
    queue.configure(slow_rate, queue_seconds);
    radio->start(queue);

    auto const samples = collect(queue, c.samples + 1);  // ends on the failure
    EXPECT_EQ(samples.size(), c.samples);
    EXPECT_EQ(queue.failure(), c.message);
    radio->stop();
    EXPECT_EQ(queue.failure(), c.message);
}

INSTANTIATE_TEST_SUITE_P(
    Table, RtlTcpDisconnect,
    testing::Values(DisconnectCase{"MidPair", 7, 3, "rtl_tcp disconnected with an incomplete IQ pair"},
                    DisconnectCase{"OnAPairBoundary", 8, 4, "rtl_tcp disconnected"},
                    DisconnectCase{"InsideTheSkippedStart", 0, 0, "rtl_tcp disconnected"}),
    [](testing::TestParamInfo<DisconnectCase> const& info) { return std::string(info.param.name); });

TEST(RtlTcpRadio, StalledServerDeliversNothingAndStopsWithoutFailure)
{
    RtlTcpServer server({});
    SampleQueue queue;  // outlives the radio that pushes into it
    testing::internal::CaptureStderr();
    auto radio = make_rtl_tcp_radio(rtl_options(server.port()));
    testing::internal::GetCapturedStderr();
    queue.configure(1024000, 8);
    radio->start(queue);
    for (int attempt = 0; attempt < 3; ++attempt) {
        IqBlock block;
        EXPECT_FALSE(queue.pop(block));
    }
    EXPECT_EQ(queue.failure(), "");

    // No hardware control here: readings are unavailable and settings refused.
    EXPECT_EQ(radio->control("RADIO OVERLOAD"), "OK OVERLOAD state=unavailable,events=0");
    EXPECT_EQ(error_of([&] { radio->control("RADIO SET agc=off"); }),
              "This receiver backend does not support live hardware control");
    EXPECT_EQ(error_of([&] { radio->retune(7.1e6); }),
              "Live RF retuning is currently supported for local SDRplay receivers");

    radio->stop();
    radio->stop();
    EXPECT_EQ(queue.failure(), "");
    EXPECT_EQ(error_of([&] { radio->start(queue); }), "rtl_tcp stream cannot be restarted");
}

TEST(RtlTcpRadio, StoppingAFlowingStreamIsNotAFailure)
{
    RtlTcpServerScript script;
    script.generator = [](std::vector<std::uint8_t>& out) { out = pattern(0, 4096); };
    RtlTcpServer server(script);
    Options options = rtl_options(server.port());
    options.sample_rate = slow_rate;
    SampleQueue queue;  // outlives the radio that pushes into it
    testing::internal::CaptureStderr();
    auto radio = make_rtl_tcp_radio(options);
    testing::internal::GetCapturedStderr();
    queue.configure(slow_rate, queue_seconds);
    radio->start(queue);
    EXPECT_EQ(error_of([&] { radio->start(queue); }), "rtl_tcp stream cannot be restarted");
    EXPECT_GE(collect(queue, 1000).size(), 1000u);

    radio->stop();
    EXPECT_EQ(queue.failure(), "");
    radio.reset();
    EXPECT_TRUE(server.wait_for_client_close(patience));
    EXPECT_EQ(queue.failure(), "");
}
