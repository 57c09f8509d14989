#pragma once

#include <string>

#include "core/sig/candidate.hpp"
#include "core/sig/mode.hpp"
#include "core/sig/modem_settings.hpp"

namespace sig {

// The variant a new modem for this mode is built with. A channel's own RTTY or WEFAX setting
// wins; RTTY never takes the classifier's estimate (the modem measures rate and shift itself),
// WEFAX does; other modes take the candidate's variant as it is.
std::string resolve_variant(Mode mode, const Candidate& candidate, const ModemSettings& settings);

}  // namespace sig
