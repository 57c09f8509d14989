#include "testbed/lib/picture_run.hpp"

#include <algorithm>

namespace testbed {

std::vector<sig::EventKind> PictureRun::kinds() const {
    std::vector<sig::EventKind> out;
    for (const sig::Event& e : events) out.push_back(e.kind);
    return out;
}

const sig::Event* PictureRun::first(sig::EventKind kind) const {
    for (const sig::Event& e : events)
        if (e.kind == kind) return &e;
    return nullptr;
}

PictureRun run_picture_modem(sig::Modem& modem, const std::vector<float>& audio, double start_time,
                             std::size_t block_size) {
    PictureRun run;
    sig::AudioBlock block;
    for (std::size_t start = 0; start < audio.size(); start += block_size) {
        const std::size_t end = std::min(audio.size(), start + block_size);
        block.samples.assign(audio.begin() + static_cast<std::ptrdiff_t>(start),
                             audio.begin() + static_cast<std::ptrdiff_t>(end));
        block.time = start_time + static_cast<double>(start) / 12000.0;
        ++block.sequence;
        modem.process(block);
        sig::ModemOutput out = modem.take_output();
        for (sig::Event& event : out.events) run.events.push_back(std::move(event));
        run.frequency_hz.push_back(out.frequency_hz);
        run.quality.push_back(out.quality);
    }
    return run;
}

}  // namespace testbed
