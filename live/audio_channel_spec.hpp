#pragma once

// The spec text of a live audio channel: a comma list of unique key=value fields, the same
// on the command line, in the configuration file and on the control socket.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>

#include "core/audio_channel.hpp"
#include "core/spec_text.hpp"  // is_valid_channel_id, shared with analysis channels and views

// Parses and validates a spec; a malformed or invalid spec raises std::runtime_error with
// the user's message.
AudioChannel parse_audio_channel(std::string_view spec);

// Raises std::runtime_error with the first rule the channel breaks.
void validate_audio_channel(const AudioChannel& channel);

// The (low, high) RF edges of the channel in Hz.
std::pair<double, double> audio_passband(const AudioChannel& channel);

// Validates, then raises CaptureFitError when an enabled channel's passband leaves
// centre +- 0.45 x capture width (edges inclusive). A disabled channel is only validated.
void require_passband_in_capture(const AudioChannel& channel, double centre_hz, double capture_width_hz);

// The canonical spec text of a valid channel; parse_audio_channel of it gives the channel back.
std::string format_audio_channel(const AudioChannel& channel);

// Readers of one field value of a channel spec text.
double parse_channel_number(std::string_view text);
bool parse_enabled_flag(std::string_view text);
