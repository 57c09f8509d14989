// The GPU receive engine on the stand-in plug-in, against a direct computation of what its
// frames must hold: rows delivered one call late, the bins a row reads (wrapped modulo N,
// nothing outside the transform), the sign of odd centre bins, real segments, the window peak
// and its age, removal, reset, pinned buffers and failures.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <complex>
#include <cstdint>
#include <functional>
#include <numbers>
#include <optional>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rx888/gpu_library.hpp"
#include "rx888/gpu_receiver.hpp"
#include "tests/rx888/gpu_standin.hpp"

namespace {

// N = 64, D = 4: L = 256 words per frame, 128 per hop; bins of 1 kHz at 256 kHz.
constexpr std::uint64_t kN = 64;
constexpr std::uint32_t kD = 4;
constexpr std::uint64_t kL = kN * kD;
constexpr double kClock = 256000.0;
constexpr double kBin = kClock / kL;

using Cf = std::complex<double>;
using SteadyClock = std::chrono::steady_clock;

std::shared_ptr<GpuReceiver> make_engine(GpuReceiver::Clock clock = {})
{
    std::string reason;
    auto engine = GpuReceiver::create(gpu_standin(), kN, kD, kClock, reason, std::move(clock));
    EXPECT_NE(engine, nullptr) << reason;
    return engine;
}

std::vector<std::int16_t> random_words(std::size_t n, unsigned seed)
{
    std::mt19937 random(seed);
    std::uniform_int_distribution<int> word(-20000, 20000);
    std::vector<std::int16_t> words(n);
    for (auto& w : words)
        w = static_cast<std::int16_t>(word(random));
    return words;
}

// The stream as the engine sees it, hop by hop, with the transform of each frame computed
// directly: frame f covers hops f - 1 and f (zeros before the first).
struct Stream {
    std::vector<std::int16_t> words;
    explicit Stream(std::vector<std::int16_t> w) : words(std::move(w)) {}

    std::int16_t const* hop(std::size_t f) const { return words.data() + f * (kL / 2); }

    // Bin K of frame f, scaled to the user's N-point transform (2 / D); zero outside 0..L/2.
    Cf bin(std::size_t f, std::int64_t k) const
    {
        if (k < 0 || k > static_cast<std::int64_t>(kL / 2))
            return {};
        Cf sum;
        for (std::size_t n = 0; n < kL; ++n) {
            std::int64_t const index = static_cast<std::int64_t>(f) * static_cast<std::int64_t>(kL / 2) -
                                       static_cast<std::int64_t>(kL / 2) + static_cast<std::int64_t>(n);
            if (index < 0)
                continue;
            double const x = words[static_cast<std::size_t>(index)] / 32768.0;
            sum += x * std::polar(1.0, -2 * std::numbers::pi * static_cast<double>(k * static_cast<std::int64_t>(n)) /
                                           static_cast<double>(kL));
        }
        return sum * (2.0 / kD);
    }
};

// What a complex row must hold in frame f: the later half of the inverse transform of its
// weighted bins, negated for an odd centre bin in an even frame.
std::vector<Cf> expected_row(Stream const& stream, std::size_t f, std::int64_t centre, std::vector<std::int64_t> const& bins,
                             std::vector<Cf> const& weights)
{
    std::size_t const b = bins.size();
    double const sign = (centre & 1) != 0 && f % 2 == 0 ? -1.0 : 1.0;
    std::vector<Cf> y(b);
    for (std::size_t j = 0; j < b; ++j)
        y[j] = stream.bin(f, bins[j]) * weights[j] * sign;
    std::vector<Cf> out(b / 2);
    for (std::size_t m = 0; m < b / 2; ++m)
        for (std::size_t j = 0; j < b; ++j)
            out[m] += y[j] * std::polar(1.0, 2 * std::numbers::pi * static_cast<double>(j * (b / 2 + m)) /
                                                 static_cast<double>(b));
    return out;
}

// Runs the engine over the stream's hops from `first` on, calling `seen` with the frame number
// each delivered frame belongs to.
void feed(RawSpectrum& engine, Stream const& stream, std::size_t first, std::size_t count,
          std::function<void(std::size_t, SpectrumResults const&)> const& seen)
{
    for (std::size_t f = first; f < first + count; ++f) {
        std::copy_n(stream.hop(f), kL / 2, engine.input_slot());
        ASSERT_TRUE(engine.process(f, [&](SpectrumResults const& results) { seen(f - 1, results); }));
    }
}

void expect_row(float const* row, std::vector<Cf> const& expected, std::string const& what)
{
    ASSERT_NE(row, nullptr) << what;
    double largest = 1e-3;
    for (Cf const& v : expected)
        largest = std::max(largest, std::abs(v));
    for (std::size_t m = 0; m < expected.size(); ++m) {
        Cf const got(row[2 * m], row[2 * m + 1]);
        EXPECT_LT(std::abs(got - expected[m]), 2e-5 * largest) << what << " value " << m;
    }
}

TEST(GpuReceiverCreate, NamesTheDeviceOrSaysWhyNot)
{
    struct Case {
        std::vector<std::pair<std::string, std::string>> settings;
        bool made;
        std::string reason;
    };
    std::vector<Case> const cases = {
        {{}, true, "GPU (" + gpu_standin_name + ")"},
        {{{"NAME", ""}}, true, "GPU (GPU)"},
        {{{"FAIL", "rx_create"}}, false, "stand-in GPU: receive engine creation failed on request"},
    };
    for (Case const& c : cases) {
        GpuStandinSettings settings;
        for (auto const& [name, value] : c.settings)
            settings.set(name, value);
        std::string reason;
        auto const engine = GpuReceiver::create(gpu_standin(), kN, kD, kClock, reason);
        EXPECT_EQ(engine != nullptr, c.made) << c.reason;
        EXPECT_EQ(reason, c.reason);
        if (engine) {
            EXPECT_EQ(engine->block_samples(), kL / 2);
            EXPECT_EQ(engine->decimation(), kD);
            EXPECT_DOUBLE_EQ(engine->bin_width_hz(), kBin);
        }
    }
    std::string reason;
    GpuLibrary silent = gpu_standin();
    silent.rx_create = [](uint64_t, char*, uint32_t, float, float) -> void* { return nullptr; };
    EXPECT_EQ(GpuReceiver::create(silent, kN, kD, kClock, reason), nullptr);
    EXPECT_EQ(reason, "GPU receive engine could not start");
    GpuLibrary const missing = GpuLibrary::load("/nonexistent/libnorvane-gpu.so");
    EXPECT_EQ(GpuReceiver::create(missing, kN, kD, kClock, reason), nullptr);
    EXPECT_EQ(reason, missing.error);
}

TEST(GpuReceiver, RowsMatchTheirDefinitionAndANewRowComesOneCallLate)
{
    GpuStandinSettings settings;
    auto const engine = make_engine();
    Stream const stream(random_words(12 * kL / 2, 1));
    struct Registered {
        int id;
        std::int64_t centre;
        std::vector<std::int64_t> bins;  // absolute
        std::vector<Cf> weights;
    };
    // Rows of 8 and 4 bins around an even and an odd centre bin, some weights complex.
    auto add = [&](double hz, std::vector<std::int64_t> offsets, std::vector<Cf> weights) {
        std::vector<float> floats;
        for (Cf const& w : weights) {
            floats.push_back(static_cast<float>(w.real()));
            floats.push_back(static_cast<float>(w.imag()));
        }
        std::int64_t const centre = std::llround(hz / kBin);
        std::vector<std::int64_t> bins;
        for (std::int64_t o : offsets)
            bins.push_back(centre + o);
        int const id = engine->add_complex_row(offsets, floats, hz);
        return Registered{id, centre, bins, weights};
    };
    std::vector<Registered> rows;
    rows.push_back(add(40000, {0, 1, 2, 3, -4, -3, -2, -1}, {1, {0.5, 0.5}, 0.25, 1, 1, {0, 1}, 0.5, 2}));
    rows.push_back(add(77000, {0, 1, -2, -1}, {1, 1, 1, 1}));

    std::vector<std::size_t> delivered;
    std::optional<Registered> late;
    feed(*engine, stream, 0, 6, [&](std::size_t f, SpectrumResults const& results) {
        delivered.push_back(f);
        for (Registered const& row : rows)
            expect_row(results.complex_row(row.id), expected_row(stream, f, row.centre, row.bins, row.weights),
                       "row " + std::to_string(row.id) + " frame " + std::to_string(f));
        if (late) {
            // Added while frame 1 was delivered, with frame 2 in flight: the next call sends
            // frame 2 out with the old tables, and the row first comes with frame 3.
            if (f <= 2) {
                EXPECT_EQ(results.complex_row(late->id), nullptr) << "frame " << f;
            } else {
                expect_row(results.complex_row(late->id),
                           expected_row(stream, f, late->centre, late->bins, late->weights), "late row");
            }
        }
        if (f == 1)
            late = add(13000, {0, 1, -2, -1}, {1, {0, -1}, 1, 1});
    });
    EXPECT_EQ(delivered, (std::vector<std::size_t>{0, 1, 2, 3, 4}));
}

// Which bin a one-bin row reads: its offset wrapped into -N/2..N/2-1, from its centre bin;
// nothing below 0 or above L/2.
struct BinCase {
    char const* name;
    double centre_hz;
    std::int64_t offset;
    std::int64_t bin;  // -1: reads zero
};

std::ostream& operator<<(std::ostream& out, BinCase const& c) { return out << c.name; }

class GpuReceiverBins : public testing::TestWithParam<BinCase> {};

TEST_P(GpuReceiverBins, ARowReadsTheBinOfItsWrappedOffset)
{
    BinCase const& c = GetParam();
    GpuStandinSettings settings;
    auto const engine = make_engine();
    // A row of two entries whose second weighs nothing: its one value is the first bin.
    int const id = engine->add_complex_row({c.offset, 0}, {1, 0, 0, 0}, c.centre_hz);
    std::vector<std::int16_t> words = random_words(6 * kL / 2, 2);
    for (std::size_t n = 0; n < words.size(); ++n)  // some power at L/2 as well
        words[n] = static_cast<std::int16_t>(words[n] / 2 + (n % 2 == 0 ? 8000 : -8000));
    Stream const stream(words);
    std::int64_t const centre = std::llround(c.centre_hz / kBin);
    int frames = 0;
    feed(*engine, stream, 0, 4, [&](std::size_t f, SpectrumResults const& results) {
        ++frames;
        float const* row = results.complex_row(id);
        ASSERT_NE(row, nullptr);
        double const sign = (centre & 1) != 0 && f % 2 == 0 ? -1.0 : 1.0;
        Cf const expected = c.bin < 0 ? Cf{} : stream.bin(f, c.bin) * sign;
        EXPECT_LT(std::abs(Cf(row[0], row[1]) - expected), 1e-4 * std::max(1.0, std::abs(expected))) << "frame " << f;
        if (c.bin >= 0) {
            EXPECT_GT(std::abs(expected), 0.01);
        }
    });
    EXPECT_EQ(frames, 3);
}

INSTANTIATE_TEST_SUITE_P(
    Offsets, GpuReceiverBins,
    testing::Values(BinCase{"inside", 10 * kBin, 3, 13}, BinCase{"odd_centre", 13 * kBin, 2, 15},
                    BinCase{"one_turn_up", 10 * kBin, 3 + 64, 13}, BinCase{"one_turn_down", 10 * kBin, 3 - 64, 13},
                    BinCase{"half_a_turn_wraps_down", 40 * kBin, 32, 8}, BinCase{"below_zero", 10 * kBin, -11, -1},
                    BinCase{"bin_zero", 10 * kBin, -10, 0}, BinCase{"half_the_transform", 120 * kBin, 8, 128},
                    BinCase{"above_half", 120 * kBin, 9, -1}),
    [](testing::TestParamInfo<BinCase> const& info) { return std::string(info.param.name); });

TEST(GpuReceiver, RealSegmentsHoldTheirStrongestBinAndKeepToTheirRow)
{
    GpuStandinSettings settings;
    auto const engine = make_engine();
    Stream const stream(random_words(5 * kL / 2, 3));
    // Three segments over bins 20..29; then a row without a segment over other bins, which must
    // not join the first row's last segment; then a row of one segment from bound 1 to 3.
    int const levels = engine->add_real_row({0, 1, 2, 3, 4, 5, 6, 7, 8, 9}, {0, 3, 4, 10}, 20 * kBin);
    int const none = engine->add_real_row({0, 1, 2}, {0}, 60 * kBin);
    int const part = engine->add_real_row({0, 1, 2, 3}, {1, 3}, 90 * kBin);
    EXPECT_THROW(engine->add_real_row({0, 1}, {0, 3}, 90 * kBin), std::invalid_argument);
    EXPECT_THROW(engine->add_real_row({0, 1}, {2, 1}, 90 * kBin), std::invalid_argument);
    auto largest = [&](std::size_t f, std::int64_t from, std::int64_t to) {
        double best = 0;
        for (std::int64_t k = from; k < to; ++k)
            best = std::max(best, std::norm(stream.bin(f, k)));
        return best;
    };
    int frames = 0;
    feed(*engine, stream, 0, 4, [&](std::size_t f, SpectrumResults const& results) {
        ++frames;
        float const* row = results.real_row(levels);
        ASSERT_NE(row, nullptr);
        double const want[3] = {largest(f, 20, 23), largest(f, 23, 24), largest(f, 24, 30)};
        for (int s = 0; s < 3; ++s)
            EXPECT_NEAR(row[s], want[s], 1e-4 * want[s]) << "segment " << s << " frame " << f;
        EXPECT_NE(results.real_row(none), nullptr);
        float const* partial = results.real_row(part);
        ASSERT_NE(partial, nullptr);
        EXPECT_NEAR(partial[0], largest(f, 91, 93), 1e-4 * largest(f, 91, 93));
        EXPECT_EQ(results.complex_row(levels), nullptr);
    });
    EXPECT_EQ(frames, 3);
}

TEST(GpuReceiver, ARemovedRowLeavesAfterTheFrameInFlight)
{
    GpuStandinSettings settings;
    auto const engine = make_engine();
    Stream const stream(random_words(8 * kL / 2, 4));
    int const kept = engine->add_complex_row({0, 1}, {1, 0, 1, 0}, 30 * kBin);
    int const going = engine->add_real_row({0, 1}, {0, 2}, 30 * kBin);
    std::vector<bool> present;
    feed(*engine, stream, 0, 6, [&](std::size_t f, SpectrumResults const& results) {
        present.push_back(results.real_row(going) != nullptr);
        EXPECT_NE(results.complex_row(kept), nullptr);
        if (f == 1)
            engine->remove(going);  // frame 2 is in flight and keeps it
    });
    EXPECT_EQ(present, (std::vector<bool>{true, true, true, false, false}));
}

TEST(GpuReceiver, RemovingWhatIsNotThereLeavesTheTablesAlone)
{
    // A second table upload would fail: removing an unknown row must not cause one.
    GpuStandinSettings settings{{"FAIL", "tables@2"}};
    auto const engine = make_engine();
    Stream const stream(random_words(6 * kL / 2, 5));
    engine->add_complex_row({0, 1}, {1, 0, 1, 0}, 30 * kBin);
    feed(*engine, stream, 0, 2, [](std::size_t, SpectrumResults const&) {});
    engine->remove(999);
    feed(*engine, stream, 2, 2, [](std::size_t, SpectrumResults const&) {});
}

// The window peak: the strongest bin within half the width of the centre, without the bins
// within the radius; ties to the lower bin; nothing when no bin has power, or when the window
// was not set within 3 s.
TEST(GpuReceiverWindow, TheStrongestBinOutsideTheExclusion)
{
    GpuStandinSettings settings;
    SteadyClock::time_point now = SteadyClock::now();
    auto const engine = make_engine([&] { return now; });
    auto words_of = [](std::vector<std::pair<double, double>> const& tones) {  // (bin, amplitude)
        std::vector<std::int16_t> words(6 * kL / 2);
        for (std::size_t n = 0; n < words.size(); ++n) {
            double v = 0;
            for (auto const& [k, a] : tones)
                v += a * std::cos(2 * std::numbers::pi * k * static_cast<double>(n) / kL);
            words[n] = static_cast<std::int16_t>(std::lround(v * 32767));
        }
        return words;
    };
    struct Peak {
        bool found;
        std::int64_t bin;
        float value;
    };
    auto peaks = [&](Stream const& stream) {
        std::vector<Peak> seen;
        feed(*engine, stream, 0, 4, [&](std::size_t, SpectrumResults const& results) {
            Peak p{false, 0, 0};
            p.found = results.window_peak(p.bin, p.value);
            seen.push_back(p);
        });
        engine->reset();
        return seen;
    };
    // Centre bin 50, half width 20, radius 5: bins 30..45 and 55..70.
    engine->set_window(50 * kBin, 40 * kBin, 5 * kBin);
    {
        // The strong tone at bin 52 is excluded, the one at 75 outside; of the others the one
        // at 61 is the stronger.
        Stream const stream(words_of({{52, 0.5}, {61, 0.2}, {33, 0.1}, {75, 0.4}}));
        std::vector<Peak> const seen = peaks(stream);
        ASSERT_EQ(seen.size(), 3u);
        for (std::size_t f = 0; f < seen.size(); ++f) {
            ASSERT_TRUE(seen[f].found) << "frame " << f;
            EXPECT_EQ(seen[f].bin, 11) << "frame " << f;
            double const power = std::norm(stream.bin(f, 61));
            EXPECT_NEAR(seen[f].value, power, 1e-4 * power) << "frame " << f;
        }
    }
    {
        // One word at the start of frame 1: all its bins are alike, and the lowest of the
        // window wins. Frame 2 has no power at all.
        std::vector<std::int16_t> words(6 * kL / 2, 0);
        words[0] = 16384;
        std::vector<Peak> const seen = peaks(Stream(words));
        ASSERT_TRUE(seen[1].found);
        EXPECT_EQ(seen[1].bin, -20);
        EXPECT_FALSE(seen[2].found);
    }
    Stream const tone(words_of({{61, 0.2}}));
    now += std::chrono::milliseconds(2999);
    EXPECT_TRUE(peaks(tone).back().found);
    now += std::chrono::milliseconds(1);
    EXPECT_FALSE(peaks(tone).back().found);
}

TEST(GpuReceiverWindow, NeverSetThereIsNoPeak)
{
    GpuStandinSettings settings;
    auto const engine = make_engine();
    Stream const stream(random_words(4 * kL / 2, 6));
    int frames = 0;
    feed(*engine, stream, 0, 3, [&](std::size_t, SpectrumResults const& results) {
        std::int64_t bin = 0;
        float value = 0;
        EXPECT_FALSE(results.window_peak(bin, value));
        ++frames;
    });
    EXPECT_EQ(frames, 2);
}

TEST(GpuReceiver, AfterAResetTheFirstFrameSeesNoHistory)
{
    GpuStandinSettings settings;
    auto const engine = make_engine();
    std::vector<std::int16_t> words = random_words(8 * kL / 2, 7);
    int const id = engine->add_complex_row({0, 1, 2, 3, -4, -3, -2, -1}, {1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0},
                                           21 * kBin);
    Stream const stream(words);
    feed(*engine, stream, 0, 3, [](std::size_t, SpectrumResults const&) {});
    engine->reset();
    // Both input slots are zero, and writing starts at the first.
    std::int16_t const* slot = engine->input_slot();
    EXPECT_EQ(std::count(slot, slot + kL, std::int16_t{0}), static_cast<std::ptrdiff_t>(kL));

    // The stream from hop 5 on, as if it began there: its first frame has zeros for a past.
    Stream const restarted(std::vector<std::int16_t>(words.begin() + 5 * kL / 2, words.end()));
    std::vector<std::size_t> frames;
    feed(*engine, restarted, 0, 3, [&](std::size_t f, SpectrumResults const& results) {
        frames.push_back(f);
        expect_row(results.complex_row(id),
                   expected_row(restarted, f, 21, {21, 22, 23, 24, 17, 18, 19, 20}, std::vector<Cf>(8, 1.0)),
                   "frame " + std::to_string(f));
    });
    // What was in flight at the reset is not delivered.
    EXPECT_EQ(frames, (std::vector<std::size_t>{0, 1}));
}

TEST(GpuReceiver, GrowingFramesReleaseThePinnedResultsFirst)
{
    // The stand-in refuses a results buffer that moved while it was pinned.
    GpuStandinSettings settings;
    auto const engine = make_engine();
    Stream const stream(random_words(40 * kL / 2, 8));
    std::size_t f = 0;
    for (int grow = 0; grow < 8; ++grow) {
        engine->add_complex_row(std::vector<std::int64_t>(32, 1), std::vector<float>(64, 0.5f), 40 * kBin);
        engine->add_real_row({0, 1, 2, 3}, {0, 1, 2, 3, 4}, 40 * kBin);
        feed(*engine, stream, f, 3, [](std::size_t, SpectrumResults const&) {});
        f += 3;
    }
    EXPECT_GT(settings.count("rx_unpin"), 0u);
}

struct FailureCase {
    char const* name;
    std::string fail;
    bool unterminated;
    std::size_t failing_call;  // the process() call (from 0) that fails
    std::string text;
};

std::ostream& operator<<(std::ostream& out, FailureCase const& c) { return out << c.name; }

class GpuReceiverFailure : public testing::TestWithParam<FailureCase> {};

TEST_P(GpuReceiverFailure, IsFinalAndSaidAtEveryCall)
{
    FailureCase const& c = GetParam();
    GpuStandinSettings settings{{"FAIL", c.fail}};
    if (c.unterminated)
        settings.set("UNTERMINATED", "1");
    auto const engine = make_engine();
    engine->add_complex_row({0, 1}, {1, 0, 1, 0}, 30 * kBin);
    Stream const stream(random_words(8 * kL / 2, 9));
    std::string const line = "RX-888 GPU receive: " + c.text + "\n";
    for (std::size_t call = 0; call < c.failing_call + 3; ++call) {
        std::copy_n(stream.hop(call), kL / 2, engine->input_slot());
        testing::internal::CaptureStderr();
        bool const ok = engine->process(call, [](SpectrumResults const&) {});
        std::string const err = testing::internal::GetCapturedStderr();
        EXPECT_EQ(ok, call < c.failing_call) << "call " << call;
        EXPECT_EQ(err, call < c.failing_call ? std::string() : line) << "call " << call;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Calls, GpuReceiverFailure,
    testing::Values(FailureCase{"tables", "tables@1", false, 0, "stand-in GPU: tables 1 failed on request"},
                    FailureCase{"launch", "launch@3", false, 2, "stand-in GPU: launch 3 failed on request"},
                    FailureCase{"wait", "wait@2", false, 2, "stand-in GPU: wait 2 failed on request"},
                    // A text that fills the buffer is cut at its last byte.
                    FailureCase{"unterminated", "launch@2", true, 1,
                                [] {
                                    std::string text;
                                    std::string const piece = "stand-in GPU: launch 2 failed on request ";
                                    while (text.size() < 511)
                                        text += piece;
                                    return text.substr(0, 511);
                                }()}),
    [](testing::TestParamInfo<FailureCase> const& info) { return std::string(info.param.name); });

TEST(GpuReceiverFailure, AFailedResetIsSaidByTheNextProcess)
{
    GpuStandinSettings settings{{"FAIL", "reset@1"}};
    auto const engine = make_engine();
    Stream const stream(random_words(4 * kL / 2, 10));
    feed(*engine, stream, 0, 2, [](std::size_t, SpectrumResults const&) {});
    testing::internal::CaptureStderr();
    engine->reset();
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
    testing::internal::CaptureStderr();
    EXPECT_FALSE(engine->process(0, [](SpectrumResults const&) {}));
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "RX-888 GPU receive: stand-in GPU: reset 1 failed on request\n");
}

TEST(GpuReceiver, RowsChangeFromOtherThreadsWhileFramesRun)
{
    GpuStandinSettings settings;
    auto const engine = make_engine();
    Stream const stream(random_words(200 * kL / 2, 11));
    int const steady = engine->add_complex_row({0, 1, -2, -1}, {1, 0, 1, 0, 1, 0, 1, 0}, 30 * kBin);
    std::atomic<bool> done{false};
    std::thread changer([&] {
        while (!done.load()) {
            int const a = engine->add_complex_row({0, 1}, {1, 0, 1, 0}, 50 * kBin);
            int const b = engine->add_real_row({0, 1, 2}, {0, 3}, 60 * kBin);
            engine->set_window(40 * kBin, 20 * kBin, 2 * kBin);
            engine->remove(a);
            engine->remove(b);
        }
    });
    std::size_t delivered = 0;
    feed(*engine, stream, 0, 199, [&](std::size_t, SpectrumResults const& results) {
        EXPECT_NE(results.complex_row(steady), nullptr);
        ++delivered;
    });
    done = true;
    changer.join();
    EXPECT_EQ(delivered, 198u);
}

}  // namespace
