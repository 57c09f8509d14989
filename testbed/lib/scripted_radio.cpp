#include "testbed/lib/scripted_radio.hpp"

#include <algorithm>

#include "radio/sample_queue.hpp"

namespace testbed {

ScriptedRadio::ScriptedRadio(double rate_hz, double tuning_offset_hz)
    : rate_hz_(rate_hz), tuning_offset_hz_(tuning_offset_hz)
{
}

void ScriptedRadio::start(SampleQueue& queue)
{
    ++starts;
    for (IqBlock& block : blocks)
        queue.push(std::move(block));
    blocks.clear();
    if (!failure.empty())
        queue.fail(failure.c_str());
}

void ScriptedRadio::stop() { ++stops; }

double ScriptedRadio::sample_rate() const { return rate_hz_; }

double ScriptedRadio::tuning_offset() const { return tuning_offset_hz_; }

void ScriptedRadio::report_overload() { ++overload_reports; }

void ScriptedRadio::queue_iq(std::vector<std::complex<float>> const& iq, std::size_t block_size,
                             std::vector<std::size_t> const& discontinuities)
{
    for (std::size_t at = 0; at < iq.size(); at += block_size) {
        IqBlock block;
        block.samples.assign(iq.begin() + static_cast<std::ptrdiff_t>(at),
                             iq.begin() + static_cast<std::ptrdiff_t>(std::min(iq.size(), at + block_size)));
        block.discontinuity =
            std::find(discontinuities.begin(), discontinuities.end(), blocks.size()) != discontinuities.end();
        blocks.push_back(std::move(block));
    }
}

}  // namespace testbed
