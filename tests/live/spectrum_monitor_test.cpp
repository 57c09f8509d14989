#include "live/spectrum_monitor.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <limits>
#include <locale>
#include <numbers>
#include <sstream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "decode/channelizer.hpp"
#include "testbed/lib/cpu_receive_engine.hpp"

namespace {

struct Packing {
    double frequency_hz;
    double level_db;
    std::uint64_t hz;
    std::uint64_t level_byte;
};

class PackLevelReport : public testing::TestWithParam<Packing> {};

TEST_P(PackLevelReport, PacksFrequencyLevelAndPresence)
{
    Packing const& p = GetParam();
    std::uint64_t const word = pack_level_report(p.frequency_hz, p.level_db);
    EXPECT_EQ(word & 0xffffffffu, p.hz);
    EXPECT_EQ((word >> 32) & 0xffu, p.level_byte);
    EXPECT_EQ(word >> 40, 1u) << "bit 40 and nothing above it";
}

INSTANTIATE_TEST_SUITE_P(Words, PackLevelReport,
                         testing::Values(Packing {7074000.0, -73.4, 7074000, 87}, Packing {7074000.4, -200.0, 7074000, 0},
                                         Packing {14074000.5, 120.0, 14074001, 255},
                                         Packing {-5.0, -160.0, 0, 0},
                                         Packing {5e9, 0.0, 4000000000u, 160},
                                         // Half-way levels round in dB, away from zero, before the offset.
                                         Packing {7074000.0, -20.5, 7074000, 139},
                                         Packing {7074000.0, -0.5, 7074000, 159},
                                         Packing {7074000.0, 0.5, 7074000, 161},
                                         Packing {7074000.0, -159.5, 7074000, 0},
                                         Packing {7074000.0, 94.5, 7074000, 255}));

constexpr double rate_hz = 51200.0;  // 2048-point monitor, bins 25 Hz apart, stored with step 2
constexpr double centre_hz = 7074000.0;

// A CPU frame of the monitor's geometry, bins set by signed natural index.
struct Frame {
    std::uint64_t n;
    std::uint64_t step;
    std::vector<std::complex<float>> bins;
    SpectrumFrame frame;

    Frame(std::uint64_t fft_size, std::uint64_t bin_step) : n(fft_size), step(bin_step), bins(fft_size)
    {
        frame.bins = bins.data();
        frame.fft_size = n;
        frame.bin_step = step;
        frame.rate = rate_hz;
        frame.centre = centre_hz;
    }
    void set(std::int64_t bin, float amplitude)
    {
        auto const natural = static_cast<std::uint64_t>((bin + static_cast<std::int64_t>(n)) % static_cast<std::int64_t>(n));
        bins[(natural % step) * (n / step) + natural / step] = {amplitude, 0.0f};
    }
};

std::pair<double, double> unpack(std::uint64_t word)
{
    return {static_cast<double>(word & 0xffffffffu), static_cast<double>((word >> 32) & 0xffu) - 160.0};
}

using std::chrono::steady_clock;
using namespace std::chrono_literals;

// A steady clock the test moves by hand.
struct ManualClock {
    steady_clock::time_point now = steady_clock::time_point {} + 1000h;
    SpectrumMonitor::Clock function()
    {
        return [this] { return now; };
    }
};

TEST(SpectrumMonitor, GeometryFollowsTheSampleRate)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    EXPECT_EQ(monitor.fft_size(), 2048u);
    EXPECT_EQ(monitor.bin_step(), 2u);
    SpectrumMonitor wide(2000000.0, centre_hz, 2000000.0, nullptr);
    EXPECT_EQ(wide.fft_size(), 131072u);
    EXPECT_EQ(wide.bin_step(), 128u);
}

TEST(SpectrumMonitor, StrongestSkipsTheCentreAndPrefersTheLowerOfEqualBins)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    monitor.note_meter_request();
    Frame f(2048, 2);
    f.set(0, 1000.0f);     // DC spike
    f.set(479, 1000.0f);   // 11975 Hz: still inside the 12 kHz kept clear around the centre
    f.set(1000, std::numeric_limits<float>::quiet_NaN());
    f.set(-700, std::numeric_limits<float>::infinity());
    f.set(600, 204.8f);    // equal power above and below: the lower frequency is reported
    f.set(-480, 204.8f);
    monitor.update_strongest(f.frame);
    auto const [frequency, level] = unpack(monitor.strongest());
    EXPECT_EQ(frequency, centre_hz - 480 * 25.0);
    EXPECT_EQ(level, -20.0);
}

TEST(SpectrumMonitor, IgnoresFramesOfAnotherGeometryOrWithoutSignal)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    monitor.note_meter_request();
    Frame other(4096, 4);
    other.set(1000, 500.0f);
    monitor.update_strongest(other.frame);
    EXPECT_EQ(monitor.strongest(), 0u);

    Frame silent(2048, 2);
    monitor.update_strongest(silent.frame);
    EXPECT_EQ(monitor.strongest(), 0u) << "a frame with no power leaves no level";
}

TEST(SpectrumMonitor, NoSearchWithoutAMeterRequest)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    Frame f(2048, 2);
    f.set(600, 100.0f);
    monitor.update_strongest(f.frame);
    EXPECT_EQ(monitor.strongest(), 0u);
}

// The search runs at most every 200 ms, and only while a meter request is at most 3 s old: a
// meter request and a first search at one moment, then a stronger signal elsewhere some time
// later. Times are those of the monitor's clock at each frame.
struct Later {
    std::string name;
    steady_clock::duration after;
    bool searched;
};

std::ostream& operator<<(std::ostream& out, Later const& c) { return out << c.name; }

class StrongestPeriod : public testing::TestWithParam<Later> {};

TEST_P(StrongestPeriod, SearchesAtMostEvery200MsWhileTheMeterAsks)
{
    ManualClock clock;
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr, clock.function());
    monitor.note_meter_request();
    Frame first(2048, 2);
    first.set(600, 204.8f);
    monitor.update_strongest(first.frame);
    ASSERT_EQ(unpack(monitor.strongest()).first, centre_hz + 600 * 25.0);

    clock.now += GetParam().after;
    Frame second(2048, 2);
    second.set(-600, 204.8f);
    second.frame.sample_index = 1024;
    monitor.update_strongest(second.frame);
    EXPECT_EQ(unpack(monitor.strongest()).first, centre_hz + (GetParam().searched ? -600 : 600) * 25.0);
}

INSTANTIATE_TEST_SUITE_P(Times, StrongestPeriod,
                         testing::Values(Later {"too_soon", 199ms, false}, Later {"after_200_ms", 200ms, true},
                                         Later {"meter_3_s_old", 3s, true},
                                         Later {"meter_older_than_3_s", 3001ms, false}),
                         [](testing::TestParamInfo<Later> const& info) { return info.param.name; });

// A receive engine stand-in that keeps the strongest-bin window and the bins of the last zoom row
// it was given.
class RecordingEngine : public SpectrumRows {
public:
    int add_complex_row(std::vector<std::int64_t> bins, std::vector<float>, double) override
    {
        zoom_bins = std::move(bins);
        return 0;
    }
    int add_real_row(std::vector<std::int64_t>, std::vector<std::uint64_t>, double) override { return 0; }
    void remove(int) override {}
    void set_window(double centre, double width, double radius) override
    {
        window_centre = centre;
        window_width = width;
        window_radius = radius;
    }
    double window_centre = 0.0;
    double window_width = 0.0;
    double window_radius = 0.0;
    std::vector<std::int64_t> zoom_bins;
};

class PeakResults : public SpectrumResults {
public:
    PeakResults(std::int64_t bin, float value) : bin_(bin), value_(value) {}
    float const* complex_row(int) const override { return nullptr; }
    float const* real_row(int) const override { return nullptr; }
    bool window_peak(std::int64_t& bin_offset, float& value) const override
    {
        bin_offset = bin_;
        value = value_;
        return true;
    }

private:
    std::int64_t bin_;
    float value_;
};

TEST(SpectrumMonitor, EngineFramesAskTheEngineWindow)
{
    auto engine = std::make_shared<RecordingEngine>();
    SpectrumMonitor monitor(rate_hz, centre_hz, 40000.0, engine);
    monitor.note_meter_request();
    PeakResults const results(-800, 2048.0f * 2048.0f * 1e-5f);
    SpectrumFrame frame;
    frame.fft_size = 2048;
    frame.bin_step = 2;
    frame.rate = rate_hz;
    frame.centre = centre_hz;
    frame.results = &results;
    monitor.update_strongest(frame);
    EXPECT_EQ(engine->window_centre, centre_hz);
    EXPECT_EQ(engine->window_width, 40000.0) << "the usable rate, not the sample rate";
    EXPECT_EQ(engine->window_radius, 12000.0);
    auto const [frequency, level] = unpack(monitor.strongest());
    EXPECT_EQ(frequency, centre_hz - 800 * 25.0);
    EXPECT_EQ(level, -50.0);
}

// ---------------------------------------------------------------------------------------------
// Waterfall views

std::string view_reply(SpectrumMonitor& monitor, std::string const& request)
{
    try {
        SpectrumMonitor::Reply const reply = monitor.handle_command(request);
        return reply.handled ? reply.text : "(not handled)";
    } catch (std::runtime_error const& error) {
        return std::string("ERROR ") + error.what();
    }
}

struct ViewReply {
    std::string kind;
    std::uint64_t sequence = 0;
    std::vector<double> levels;
};

ViewReply parse_view(std::string const& text)
{
    std::istringstream words(text);
    words.imbue(std::locale::classic());
    ViewReply reply;
    std::string ok;
    words >> ok >> reply.kind;
    if (reply.kind == "SPECTRUM")
        words >> reply.sequence;
    double lo = 0;
    double hi = 0;
    std::size_t bins = 0;
    words >> lo >> hi >> bins;
    for (double level = 0; words >> level;)
        reply.levels.push_back(level);
    return reply;
}

struct Refusal {
    std::string request;
    std::string reply;
};

class SpectrumRequests : public testing::TestWithParam<Refusal> {};

TEST_P(SpectrumRequests, AreAnsweredOrRefused)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    EXPECT_EQ(view_reply(monitor, GetParam().request), GetParam().reply);
}

std::string const malformed = "ERROR SPECTRUM needs ID, a range inside the capture and 16..1024 bins";

// The capture: 7074000 +- 0.45 x 51200 = 7050960 .. 7097040.
INSTANTIATE_TEST_SUITE_P(
    Texts, SpectrumRequests,
    testing::Values(Refusal {"SPECTRUM v 7070000 7078000 64", "OK WAIT 7070000 7078000 64"},
                    Refusal {"SPECTRUM v 7070000.5 7078000 16", "OK WAIT 7070000.5 7078000 16"},
                    Refusal {"SPECTRUM v 7050960 7097040 1024", "OK WAIT 7050960 7097040 1024"},
                    Refusal {"SPECTRUM OFF", "OK"}, Refusal {"SPECTRUM OFF v", "OK"},
                    Refusal {"SPECTRUM OFF ", "ERROR Invalid spectrum view ID"},
                    Refusal {"SPECTRUM OFF a/b", "ERROR Invalid spectrum view ID"},
                    Refusal {"SPECTRUM v 7070000 7078000 15", malformed},
                    Refusal {"SPECTRUM v 7070000 7078000 1025", malformed},
                    Refusal {"SPECTRUM v 7070000 7078000 16.5", malformed},
                    Refusal {"SPECTRUM v 7070000 7078000 -16", malformed},
                    Refusal {"SPECTRUM v 7070000 7070000 64", malformed},
                    Refusal {"SPECTRUM v 7078000 7070000 64", malformed},
                    Refusal {"SPECTRUM v 7050959 7078000 64", malformed},
                    Refusal {"SPECTRUM v 7070000 7097041 64", malformed},
                    Refusal {"SPECTRUM v nan 7078000 64", malformed},
                    Refusal {"SPECTRUM v 7.07M 7.078M 64", malformed},
                    Refusal {"SPECTRUM v 7070000 7078000", malformed},
                    Refusal {"SPECTRUM v 7070000 7078000 64 more", malformed},
                    Refusal {"SPECTRUM a/b 7070000 7078000 64", malformed},
                    Refusal {"SPECTRUM", "(not handled)"}, Refusal {"SPECTRUMS v", "(not handled)"}));

TEST(SpectrumViews, DirectViewShowsTheToneInItsLevel)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    EXPECT_EQ(view_reply(monitor, "SPECTRUM v 7079000 7089000 100"), "OK WAIT 7079000 7089000 100");
    Frame f(2048, 2);
    f.set(400, 0.1f * 2048);  // 7084000 Hz at -20 dB
    f.set(-400, std::numeric_limits<float>::quiet_NaN());
    f.frame.sample_index = 1024;
    monitor.update_views(f.frame);
    ViewReply const view = parse_view(view_reply(monitor, "SPECTRUM v 7079000 7089000 100"));
    ASSERT_EQ(view.kind, "SPECTRUM");
    EXPECT_EQ(view.sequence, 1u);
    ASSERT_EQ(view.levels.size(), 100u);
    for (std::size_t i = 0; i < view.levels.size(); ++i)
        EXPECT_EQ(view.levels[i], i == 50 ? -20.0 : -160.0) << i;
    std::string const text = view_reply(monitor, "SPECTRUM v 7079000 7089000 100");
    EXPECT_EQ(text.rfind("OK SPECTRUM 1 7079000 7089000 100 -160.0 -160.0 -160.0", 0), 0u) << text;
    EXPECT_NE(text.find(" -20.0 "), std::string::npos);
}

// Levels narrower than a frame bin: the range is cut out, decimated, and transformed again. On a
// 2 MHz capture a 1 kHz view of 1024 levels takes 128 bins down to 1953.125 Hz and a ring of
// 1024 samples: 16 frames of 64 samples fill it.
TEST(SpectrumViews, ZoomViewFillsItsRingThenResolvesTheTone)
{
    double const wide_rate = 2000000;
    double const wide_centre = 14100000;
    SpectrumMonitor monitor(wide_rate, wide_centre, wide_rate, nullptr);
    std::string const request = "SPECTRUM z 14000000 14001000 1024";
    ASSERT_EQ(view_reply(monitor, request), "OK WAIT 14000000 14001000 1024");

    Channelizer::Impl channelizer(wide_rate, wide_centre, 2500, 1.0, {}, nullptr);
    int frames = 0;
    int ready_after = 0;
    channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) {
        monitor.update_views(frame);
        ++frames;
        if (ready_after == 0 && parse_view(view_reply(monitor, request)).kind == "SPECTRUM")
            ready_after = frames;
    });
    std::vector<std::complex<float>> iq(65536);
    std::uint64_t n = 0;
    auto const push = [&](int count) {
        for (int k = 0; k < count; ++k) {
            for (auto& sample : iq) {
                double const phase = 2 * std::numbers::pi * std::fmod((14000500.0 - wide_centre) * n / wide_rate, 1.0);
                sample = std::polar(0.1f, static_cast<float>(phase));
                ++n;
            }
            Channelizer::Impl::Rows rows;
            channelizer.push_iq(iq.data(), iq.size(), rows);
        }
    };
    push(18);
    EXPECT_EQ(ready_after, 16);
    ViewReply const view = parse_view(view_reply(monitor, request));
    ASSERT_EQ(view.levels.size(), 1024u);
    auto const peak = std::max_element(view.levels.begin(), view.levels.end());
    EXPECT_NEAR(static_cast<double>(peak - view.levels.begin()), 512.0, 3.0);
    EXPECT_NEAR(*peak, -20.0, 1.5);
    EXPECT_LT(view.levels[100], -80.0);

    // After a reset the ring fills again from scratch.
    monitor.reset();
    EXPECT_EQ(parse_view(view_reply(monitor, request)).kind, "WAIT");
    channelizer.reset();
    frames = 0;
    ready_after = 0;
    push(18);
    EXPECT_EQ(ready_after, 16);
}

// A view is direct while its levels are at least a frame bin wide; a narrower one zooms with the
// least M = 64, 128, ... frame bins whose filter, reaching 0.4 M bins either side of its centre,
// covers half the span and half a bin more. On 2 MHz (bins of 15.2587890625 Hz) 64 bins reach
// 390.625 Hz, enough for spans below 765.99 Hz, and 128 bins spans below 1547.24 Hz. The zoom
// size shows in the bins of the view's engine row.
struct ZoomSpan {
    double span_hz;  // 1024 levels from 14000000 Hz
    std::size_t zoom_size;  // 0: direct
};

std::ostream& operator<<(std::ostream& out, ZoomSpan const& c) { return out << c.span_hz << " Hz"; }

class ZoomSize : public testing::TestWithParam<ZoomSpan> {};

TEST_P(ZoomSize, IsTheLeastThatHoldsTheSpan)
{
    auto engine = std::make_shared<RecordingEngine>();
    SpectrumMonitor monitor(2000000, 14100000, 2000000, engine);
    std::ostringstream request;
    request.imbue(std::locale::classic());
    request.precision(17);
    request << "SPECTRUM z 14000000 " << 14000000 + GetParam().span_hz << " 1024";
    ASSERT_EQ(view_reply(monitor, request.str()).substr(0, 7), "OK WAIT") << request.str();
    EXPECT_EQ(engine->zoom_bins.size(), GetParam().zoom_size);
}

INSTANTIATE_TEST_SUITE_P(Spans, ZoomSize,
                         testing::Values(ZoomSpan {765.9, 64}, ZoomSpan {766.1, 128}, ZoomSpan {1000, 128},
                                         ZoomSpan {1547.2, 128}, ZoomSpan {1547.3, 256},
                                         // Levels exactly one frame bin wide, then a hertz of span less.
                                         ZoomSpan {15625, 0}, ZoomSpan {15624, 2048}));

TEST(SpectrumViews, RepeatedRequestsShowTheSameFrameUntilANewOneCame)
{
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr);
    view_reply(monitor, "SPECTRUM a 7070000 7078000 64");
    view_reply(monitor, "SPECTRUM b 7080000 7090000 64");
    Frame f(2048, 2);
    monitor.update_views(f.frame);
    EXPECT_EQ(parse_view(view_reply(monitor, "SPECTRUM a 7070000 7078000 64")).sequence, 1u);
    EXPECT_EQ(parse_view(view_reply(monitor, "SPECTRUM b 7080000 7090000 64")).sequence, 2u);
    monitor.update_views(f.frame);  // the same frame again: nothing to compute
    EXPECT_EQ(parse_view(view_reply(monitor, "SPECTRUM a 7070000 7078000 64")).sequence, 1u);
    f.frame.sample_index = 1024;
    monitor.update_views(f.frame);
    EXPECT_EQ(parse_view(view_reply(monitor, "SPECTRUM a 7070000 7078000 64")).sequence, 3u);
    EXPECT_EQ(parse_view(view_reply(monitor, "SPECTRUM b 7080000 7090000 64")).sequence, 4u);
    // A new range is a new geometry: it waits for its first frame.
    EXPECT_EQ(view_reply(monitor, "SPECTRUM a 7070000 7079000 64"), "OK WAIT 7070000 7079000 64");
}

TEST(SpectrumViews, ViewsExpireThreeSecondsAfterTheirLastRequest)
{
    ManualClock clock;
    SpectrumMonitor monitor(rate_hz, centre_hz, rate_hz, nullptr, clock.function());
    for (int i = 0; i < 48; ++i)
        ASSERT_EQ(view_reply(monitor, "SPECTRUM v" + std::to_string(i) + " 7070000 7078000 16").substr(0, 7),
                  "OK WAIT");
    EXPECT_EQ(view_reply(monitor, "SPECTRUM late 7070000 7078000 16"), "ERROR At most 48 waterfall views per SDR");
    clock.now += 2900ms;
    monitor.expire();
    EXPECT_TRUE(monitor.views_present());
    EXPECT_EQ(view_reply(monitor, "SPECTRUM v0 7070000 7078000 16").substr(0, 7), "OK WAIT") << "renewed";
    clock.now += 100ms;
    monitor.expire();
    EXPECT_TRUE(monitor.views_present()) << "v0 was asked for again";
    EXPECT_EQ(view_reply(monitor, "SPECTRUM late 7070000 7078000 16").substr(0, 7), "OK WAIT");
    clock.now += 3s;
    monitor.expire();
    EXPECT_FALSE(monitor.views_present());
    EXPECT_EQ(view_reply(monitor, "SPECTRUM v1 7070000 7078000 16").substr(0, 7), "OK WAIT");
    EXPECT_EQ(view_reply(monitor, "SPECTRUM OFF v1"), "OK");
    EXPECT_FALSE(monitor.views_present());
}

TEST(SpectrumViews, GatherBudgetHoldsAcrossViews)
{
    // On 2 MHz, a view of the whole usable 1.8 MHz in 1024 levels gathers 117964 bins.
    SpectrumMonitor monitor(2000000, 14100000, 2000000, nullptr);
    for (int i = 0; i < 8; ++i)
        ASSERT_EQ(view_reply(monitor, "SPECTRUM w" + std::to_string(i) + " 13200000 15000000 1024").substr(0, 7),
                  "OK WAIT");
    EXPECT_EQ(view_reply(monitor, "SPECTRUM w8 13200000 15000000 1024"),
              "ERROR Waterfall gather budget exceeded; reduce spans");
    EXPECT_EQ(view_reply(monitor, "SPECTRUM w8 14000000 14100000 64").substr(0, 7), "OK WAIT") << "the refused view left no trace";
    EXPECT_EQ(view_reply(monitor, "SPECTRUM OFF"), "OK");
    EXPECT_FALSE(monitor.views_present());
    EXPECT_EQ(view_reply(monitor, "SPECTRUM w8 13200000 15000000 1024").substr(0, 7), "OK WAIT");
}

// With a receive engine the views are engine rows; they show what the processor path shows.
TEST(SpectrumViews, EngineRowsGiveTheLevelsOfTheProcessorPath)
{
    double const iq_rate = 64000;
    double const rf_centre = 32000;
    double const adc_rate = 2 * iq_rate;
    auto engine = std::make_shared<testbed::CpuReceiveEngine>(4096, 2, adc_rate);
    SpectrumMonitor on_engine(iq_rate, rf_centre, iq_rate, engine);
    SpectrumMonitor on_processor(iq_rate, rf_centre, iq_rate, nullptr);
    std::vector<std::string> const requests = {"SPECTRUM d 40000 56000 64", "SPECTRUM z 45000 45400 256"};
    for (std::string const& request : requests) {
        view_reply(on_engine, request);
        view_reply(on_processor, request);
    }
    EXPECT_EQ(engine->row_count(), 2u);

    // Two cosines on the real ADC side, one complex tone each on the IQ side.
    // The stronger on a frame bin (845), so the direct view shows its full level.
    std::vector<std::pair<double, double>> const tones = {{45203.125, 0.3}, {51003.0, 0.01}};
    std::size_t const blocks = 40;
    std::vector<std::int16_t> words(blocks * engine->block_samples());
    for (std::size_t m = 0; m < words.size(); ++m) {
        double sum = 0;
        for (auto const& [hz, amplitude] : tones)
            sum += amplitude * std::cos(2 * std::numbers::pi * std::fmod(hz * m / adc_rate, 1.0));
        words[m] = static_cast<std::int16_t>(std::lround(sum * 32767.0));
    }
    Channelizer::Impl engine_channelizer(iq_rate, rf_centre, 2500, 1.0, {}, nullptr);
    engine_channelizer.attach_engine(engine);
    engine_channelizer.set_spectrum_hook([&](SpectrumFrame const& frame) { on_engine.update_views(frame); });
    Channelizer::Impl::Rows rows;
    engine_channelizer.push_raw(words.data(), words.size(), rows);

    std::vector<std::complex<float>> iq((blocks - 1) * 2048);
    for (std::size_t n = 0; n < iq.size(); ++n) {
        for (auto const& [hz, amplitude] : tones) {
            double const phase = 2 * std::numbers::pi * std::fmod((hz - rf_centre) * n / iq_rate, 1.0);
            iq[n] += std::polar(static_cast<float>(amplitude * 32767.0 / 32768.0), static_cast<float>(phase));
        }
    }
    Channelizer::Impl processor(iq_rate, rf_centre, 2500, 1.0, {}, nullptr);
    processor.set_spectrum_hook([&](SpectrumFrame const& frame) { on_processor.update_views(frame); });
    processor.push_iq(iq.data(), iq.size(), rows);

    for (std::string const& request : requests) {
        ViewReply const engine_view = parse_view(view_reply(on_engine, request));
        ViewReply const processor_view = parse_view(view_reply(on_processor, request));
        ASSERT_EQ(engine_view.kind, "SPECTRUM") << request;
        ASSERT_EQ(engine_view.levels.size(), processor_view.levels.size());
        for (std::size_t i = 0; i < engine_view.levels.size(); ++i) {
            // Down in the skirts the real stream's quantisation shows; the signals agree.
            if (processor_view.levels[i] > -50) {
                EXPECT_NEAR(engine_view.levels[i], processor_view.levels[i], 0.15) << request << " level " << i;
            }
        }
        EXPECT_NEAR(*std::max_element(engine_view.levels.begin(), engine_view.levels.end()), -10.5, 1.5) << request;
    }
}

}  // namespace
