#pragma once

// The GPU receive engine: the RX-888's raw ADC words in, for every hop of the channelizer the
// rows that its channels, the live audio channels and the spectrum views registered, computed
// by the GPU plug-in (rx888/gpu_plugin.hpp) from one real transform of L = D x N words.
//
// Rows are kept here and sent to the plug-in as tables whenever they changed, before the next
// launch. Each process() launches the block just written and delivers the frame launched by the
// call before (two input slots, two result frames), so a new row appears one call after the
// call that saw it. A row's bins are offsets from the bin nearest its frequency; offsets are
// wrapped modulo N like the bins of the N-point transform they stand for, and bins that fall
// outside 0..L/2 read zero. The first plug-in failure is final: every later process() says so
// on standard error and returns false.

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/receive_engine.hpp"

struct GpuLibrary;

class GpuReceiver final : public RawSpectrum {
public:
    // The steady clock that ages the spectrum window.
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    // The engine for the channelizer's frame length N and the decimation D, at the ADC clock.
    // On success `reason` reads "GPU (<device>)"; on failure the result is empty and `reason`
    // holds the plug-in's text ("GPU receive engine could not start" when it gave none).
    static std::shared_ptr<GpuReceiver> create(GpuLibrary const& library, std::uint64_t frame_length,
                                               std::uint32_t decimation, double adc_clock_hz, std::string& reason,
                                               Clock clock = {});
    ~GpuReceiver() override;
    GpuReceiver(GpuReceiver const&) = delete;
    GpuReceiver& operator=(GpuReceiver const&) = delete;

    int add_complex_row(std::vector<std::int64_t> offsets, std::vector<float> weights, double frequency_hz) override;
    // Throws std::invalid_argument for bounds that fall or pass the row's bins.
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

    struct State;

private:
    explicit GpuReceiver(std::unique_ptr<State> state);
    std::unique_ptr<State> state_;
};
