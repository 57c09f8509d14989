#pragma once

// The spec text of an analysis channel: a comma list of key=value fields such as
// id=psk20,frequency=14069500,modulation=USB,bandwidth=4200,modes=auto,olivia=8/250@3000,
// the same on the command line, in the configuration file, on the control socket and in the
// known-channel presets.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/analysis_channel.hpp"

// Parses and validates a spec; anything malformed raises std::runtime_error with the user's
// message, and no partial record is returned.
AnalysisChannel parse_analysis_channel(std::string_view spec);

// Raises std::runtime_error with the first rule the channel breaks.
void validate_analysis_channel(const AnalysisChannel& channel);

// The (low, high) RF edges of the passband in Hz.
std::pair<double, double> passband_edges(const AnalysisChannel& channel);

// Validates, then raises CaptureFitError when an enabled channel's passband leaves
// centre +- 0.45 x capture width (edges inclusive). A disabled channel is only validated.
void check_passband_in_capture(const AnalysisChannel& channel, double centre_hz, double capture_width_hz);

// The canonical spec text of a valid channel; parse_analysis_channel of it gives the channel back.
std::string format_analysis_channel(const AnalysisChannel& channel);

// True when the channel names fixed modes and every one is JTTY; otherwise fallback
// (known channels that only watch JTTY always report, the others as the user chose).
bool only_jtty_modes(const AnalysisChannel& channel, bool fallback);

// Readers of one field value of a channel spec text.
double parse_analysis_number(std::string_view text);
bool parse_analysis_bool(std::string_view value, std::string_view key);
