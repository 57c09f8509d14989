#pragma once

#include <complex>
#include <cstddef>
#include <string>
#include <vector>

#include "radio/iq_block.hpp"
#include "radio/radio.hpp"

namespace testbed {

// A stand-in for receiver hardware: on start it hands its prepared blocks to the queue, the way
// a stream thread would, then optionally fails the stream. Counts what the run loop asked of it.
class ScriptedRadio : public Radio {
public:
    ScriptedRadio(double rate_hz, double tuning_offset_hz);

    void start(SampleQueue& queue) override;
    void stop() override;
    double sample_rate() const override;
    double tuning_offset() const override;
    void report_overload() override;

    // Splits IQ into blocks of block_size; the blocks whose indexes are listed are marked as
    // discontinuities.
    void queue_iq(std::vector<std::complex<float>> const& iq, std::size_t block_size,
                  std::vector<std::size_t> const& discontinuities = {});

    std::vector<IqBlock> blocks;
    std::string failure;  // handed to SampleQueue::fail after the blocks, when not empty
    int starts = 0;
    int stops = 0;
    int overload_reports = 0;

private:
    double rate_hz_;
    double tuning_offset_hz_;
};

}  // namespace testbed
