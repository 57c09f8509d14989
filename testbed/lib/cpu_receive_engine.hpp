#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "core/receive_engine.hpp"

namespace testbed {

// A receive engine on the processor, for tests: it keeps every promise of `RawSpectrum` with
// plain maths, so the engine path of its users runs without the hardware.
//
// Input: real signed 16-bit words at adc_rate_hz (word / 32768 full scale), `decimation` words
// per IQ sample of a user whose transform has frame_length points. Per hop it transforms the
// last L = decimation x frame_length words (real transform, scaled by 2 / decimation, so a real
// cosine of amplitude A reads like a complex IQ tone of amplitude A); bin K lies at K x
// adc_rate_hz / L Hz. Rows see bins 0..L/2; other bins read as zero.
// - A complex row of bin count B: the weighted bins, referred to the absolute word clock for
//   the row's centre bin, transformed back (B points, unnormalised); the row is the second half
//   of that transform, B/2 complex samples.
// - A real row: per segment, the largest power |bin x 2 / decimation|^2 of its bins, on the
//   scale of a frame bin of the user's transform (a complex tone of amplitude A at the user's
//   frame length N reads (A N)^2).
// - The window peak: the strongest bin power, on the same scale, in centre +- half width,
//   leaving out the bins closer to the centre than the radius.
// Frames are delivered one call late, as from hardware with work in flight.
class CpuReceiveEngine final : public RawSpectrum {
public:
    CpuReceiveEngine(std::uint64_t frame_length, std::uint64_t decimation, double adc_rate_hz);
    ~CpuReceiveEngine() override;

    int add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights, double frequency_hz) override;
    int add_real_row(std::vector<std::int64_t> offsets, std::vector<std::uint64_t> bounds,
                     double frequency_hz) override;
    void remove(int id) override;
    void set_window(double centre_hz, double width_hz, double radius_hz) override;

    std::uint64_t block_samples() const override;
    std::uint64_t decimation() const override;
    void reset() override;
    std::int16_t* input_slot() override;
    bool process(std::uint64_t frame, ResultsCallback const& callback) override;

    double bin_width_hz() const;
    // From now on every process() fails, as after a hardware fault.
    void fail();
    // Rows currently registered.
    std::size_t row_count() const;

private:
    struct State;
    std::unique_ptr<State> state_;
};

}  // namespace testbed
