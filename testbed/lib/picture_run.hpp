#pragma once

#include <cstddef>
#include <vector>

#include "core/sig/event.hpp"
#include "sig/modems/modem.hpp"

namespace testbed {

struct PictureRun {
    std::vector<sig::Event> events;    // every event, in order
    std::vector<double> frequency_hz;  // after every block
    std::vector<float> quality;        // after every block

    // The kinds of the events, in order.
    std::vector<sig::EventKind> kinds() const;
    // The first event of that kind; null when there is none.
    const sig::Event* first(sig::EventKind kind) const;
};

// Feeds audio to a picture modem the way the analyzer does, in blocks stamped with UTC times
// from start_time on, taking the output after each block.
PictureRun run_picture_modem(sig::Modem& modem, const std::vector<float>& audio, double start_time,
                             std::size_t block_size = 1200);

}  // namespace testbed
