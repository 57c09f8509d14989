#include "testbed/lib/cpu_receive_engine.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <numbers>
#include <vector>

namespace {

// Frame length 64 at decimation 2: L = 128 words, blocks of 64, bins 0..64 of 1000 Hz.
constexpr std::uint64_t frame_length = 64;
constexpr std::uint64_t decimation = 2;
constexpr double adc_rate = 128000.0;

// A cosine on bin 20 (20000 Hz): a whole number of cycles in every transform.
void write_block(testbed::CpuReceiveEngine& engine, double amplitude = 0.5)
{
    std::int16_t* slot = engine.input_slot();
    for (std::uint64_t m = 0; m < engine.block_samples(); ++m) {
        double const phase = 2.0 * std::numbers::pi * 20.0 * static_cast<double>(m) / 128.0;
        slot[m] = static_cast<std::int16_t>(std::lround(amplitude * 32768.0 * std::cos(phase)));
    }
}

struct Seen {
    std::vector<bool> complex_present;
    std::vector<float> real_values;
    bool peak = false;
    std::int64_t peak_bin = 0;
    float peak_value = 0;
};

Seen process(testbed::CpuReceiveEngine& engine, std::uint64_t frame, int complex_id, int real_id, int& calls)
{
    Seen seen;
    bool const ok = engine.process(frame, [&](SpectrumResults const& results) {
        ++calls;
        seen.complex_present.push_back(results.complex_row(complex_id) != nullptr);
        if (float const* real = results.real_row(real_id)) {
            seen.real_values.assign(real, real + 2);
        }
        seen.peak = results.window_peak(seen.peak_bin, seen.peak_value);
    });
    EXPECT_TRUE(ok);
    return seen;
}

TEST(CpuReceiveEngine, DeliversEachFrameOneCallLateWithItsRows)
{
    testbed::CpuReceiveEngine engine(frame_length, decimation, adc_rate);
    EXPECT_EQ(engine.block_samples(), 64u);
    EXPECT_EQ(engine.decimation(), 2u);
    EXPECT_DOUBLE_EQ(engine.bin_width_hz(), 1000.0);
    int const complex_id = engine.add_complex_row({-1, 0, 1, 2}, {1, 0, 1, 0, 1, 0, 1, 0}, 19000.0);
    // Two segments around bin 20 (offsets from bin 18): bins 18..19 and 20..22.
    int const real_id = engine.add_real_row({0, 1, 2, 3, 4}, {0, 2, 5}, 18000.0);
    // 16..32 kHz around 24 kHz, leaving out 22..26 kHz: the cosine at 20 kHz is 4 bins below.
    engine.set_window(24000.0, 16000.0, 2000.0);

    int calls = 0;
    write_block(engine);
    process(engine, 0, complex_id, real_id, calls);
    EXPECT_EQ(calls, 0);  // the first frame is still in flight
    for (std::uint64_t frame = 1; frame < 4; ++frame) {
        write_block(engine);
        Seen const seen = process(engine, frame, complex_id, real_id, calls);
        ASSERT_EQ(seen.complex_present.size(), 1u);
        EXPECT_TRUE(seen.complex_present[0]);
        if (frame >= 2) {  // both halves of the transform hold the cosine
            ASSERT_EQ(seen.real_values.size(), 2u);
            // The largest bin of each segment, unscaled: amplitude 0.5 x 64 points, squared.
            EXPECT_NEAR(seen.real_values[0], 0.0, 1e-3);
            EXPECT_NEAR(seen.real_values[1], 1024.0, 1.0);
            EXPECT_TRUE(seen.peak);
            EXPECT_EQ(seen.peak_bin, -4);
            EXPECT_NEAR(seen.peak_value, 1024.0, 1.0);
        }
    }
    EXPECT_EQ(calls, 3);

    // A removed row survives in the frame in flight, then reads null.
    engine.remove(complex_id);
    write_block(engine);
    Seen const in_flight = process(engine, 4, complex_id, real_id, calls);
    ASSERT_EQ(in_flight.complex_present.size(), 1u);
    EXPECT_TRUE(in_flight.complex_present[0]);
    write_block(engine);
    Seen const after = process(engine, 5, complex_id, real_id, calls);
    ASSERT_EQ(after.complex_present.size(), 1u);
    EXPECT_FALSE(after.complex_present[0]);
}

TEST(CpuReceiveEngine, BinsOutsideTheSpectrumReadAsZero)
{
    testbed::CpuReceiveEngine engine(frame_length, decimation, adc_rate);
    // Offsets -21 and +45 from bin 20 fall below 0 and above L/2 = 64.
    int const id = engine.add_complex_row({-21, 45}, {1, 0, 1, 0}, 20000.0);
    std::vector<float> row;
    for (std::uint64_t frame = 0; frame < 3; ++frame) {
        write_block(engine);
        engine.process(frame, [&](SpectrumResults const& results) {
            float const* values = results.complex_row(id);
            ASSERT_NE(values, nullptr);
            row.assign(values, values + 2);
        });
    }
    EXPECT_EQ(row, (std::vector<float>{0.0f, 0.0f}));
}

TEST(CpuReceiveEngine, ResetDropsTheFrameInFlightAndFailureIsFinal)
{
    testbed::CpuReceiveEngine engine(frame_length, decimation, adc_rate);
    int calls = 0;
    auto const count = [&calls](SpectrumResults const&) { ++calls; };
    write_block(engine);
    EXPECT_TRUE(engine.process(0, count));
    engine.reset();
    write_block(engine);
    EXPECT_TRUE(engine.process(0, count));
    EXPECT_EQ(calls, 0);
    engine.fail();
    EXPECT_FALSE(engine.process(1, count));
    EXPECT_FALSE(engine.process(2, count));
    EXPECT_EQ(calls, 0);
}

TEST(CpuReceiveEngine, WindowNeverSetGivesNoPeak)
{
    testbed::CpuReceiveEngine engine(frame_length, decimation, adc_rate);
    bool peak = true;
    for (std::uint64_t frame = 0; frame < 3; ++frame) {
        write_block(engine);
        engine.process(frame, [&](SpectrumResults const& results) {
            std::int64_t bin = 0;
            float value = 0;
            peak = results.window_peak(bin, value);
        });
    }
    EXPECT_FALSE(peak);
}

}  // namespace
