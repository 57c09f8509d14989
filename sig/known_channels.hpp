#pragma once

// The built-in table of frequencies worth watching (calling areas, bulletins, beacons, JTTY
// dial frequencies, weather fax, SSTV) and the analysis channels made from the rows that fit
// a capture.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "sig/analysis_channel_spec.hpp"

struct KnownChannel {
    std::string id;        // identifier of the analysis channel built from the row
    double dial_hz = 0.0;  // dial frequency
    bool usb = true;       // false: lower sideband
    double bandwidth_hz = 0.0;
    std::string spec;  // the row's remaining analysis spec fields, e.g. "modes=jtty"
    std::string title;
    std::string description;  // descriptive only; nothing reads title or description
};

// Builds the table; called once before main runs. Calling it again changes nothing.
void init_known_channels();

// The table, in its fixed order; built on first use if init_known_channels has not run.
// Never changed once built, so any thread may read it.
const std::vector<KnownChannel>& known_channels();

// True when id equals, byte for byte, the identifier of a row: such analysis channels are
// known-channel windows.
bool is_known_channel_id(std::string_view id);

// The analysis channels of the rows whose passband fits centre +- 0.45 x capture width, in
// table order (at most 64). Rows that do not fit are left out silently.
std::vector<AnalysisChannel> known_channels_in_range(double centre_hz, double capture_width_hz);

// The windows a run watches on a capture: known_channels_in_range, each reporting its spots when
// `report` is set (--known-channels-report); a window that watches only JTTY always reports.
std::vector<AnalysisChannel> known_channel_windows(double centre_hz, double capture_width_hz, bool report);

// The window of the row with this identifier, whatever the capture, under the same report rule;
// nothing for an identifier that names no row.
std::optional<AnalysisChannel> known_channel_window(std::string_view id, bool report);
