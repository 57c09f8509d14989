#include "testbed/lib/modem_run.hpp"

#include <algorithm>

namespace testbed {

ModemRun run_modem(sig::Modem& modem, const std::vector<float>& audio, std::size_t block_size,
                   bool first_discontinuous) {
    ModemRun run;
    sig::AudioBlock block;
    for (std::size_t start = 0; start < audio.size(); start += block_size) {
        const std::size_t end = std::min(audio.size(), start + block_size);
        block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(start),
                             audio.begin() + static_cast<std::ptrdiff_t>(end));
        block.time = static_cast<double>(start) / 12000.0;
        block.discontinuity = first_discontinuous && start == 0;
        ++block.sequence;
        modem.process(block);
        run.last = modem.take_output();
        run.text += run.last.text;
        run.last.text.clear();
        run.quality.push_back(run.last.quality);
        run.frequency_hz.push_back(run.last.frequency_hz);
    }
    return run;
}

}  // namespace testbed
