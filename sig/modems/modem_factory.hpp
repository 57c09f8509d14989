#pragma once

#include <memory>

#include "core/sig/candidate.hpp"
#include "core/sig/mode.hpp"
#include "core/sig/modem_context.hpp"
#include "core/sig/modem_settings.hpp"
#include "sig/modems/modem.hpp"

namespace sig {

// Builds the modem for a signal the classifier (or the channel) proposed, tuned to the
// candidate's audio frequency. Empty for modes that have no modem (UNKNOWN, QPSK31, unknown
// values); a std::runtime_error when the mode's modem cannot be built, a std::invalid_argument
// for an Olivia candidate whose variant is not an accepted tones/bandwidth pair.
std::unique_ptr<Modem> make_modem(Mode mode, const Candidate& candidate, const ModemSettings& settings,
                                  const ModemContext& context);

}  // namespace sig
