#pragma once

#include "core/sig/modem_settings.hpp"

namespace sig {

// The mode settings of a channel that names nothing: automatic mode selection, no fixed modes,
// both variants "auto", reporting on, no fixed Olivia decoders. The survey builds its decoders'
// modems with it.
inline void default_analysis_config(ModemSettings& settings) { settings = ModemSettings{}; }

}  // namespace sig
