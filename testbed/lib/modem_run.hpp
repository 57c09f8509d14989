#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "core/sig/modem_output.hpp"
#include "sig/modems/modem.hpp"

namespace testbed {

struct ModemRun {
    std::string text;          // everything printed, in order
    sig::ModemOutput last;     // the output after the last block (its text moved into text)
    std::vector<float> quality;       // after every block
    std::vector<double> frequency_hz; // after every block
};

// Feeds audio to a modem the way the analyzer does: blocks of block_size samples, each followed
// by take_output. The first block carries the discontinuity flag when asked.
ModemRun run_modem(sig::Modem& modem, const std::vector<float>& audio, std::size_t block_size = 1200,
                   bool first_discontinuous = false);

}  // namespace testbed
