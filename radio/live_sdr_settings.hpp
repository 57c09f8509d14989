#pragma once

#include <map>
#include <string>

// Receiver settings changed while streaming (RADIO SET), key to value text, in byte-wise key
// order. A parse accepts either the SDRplay keys (agc, gain-reduction, lna-state, ppm, antenna,
// rf-notch, mw-notch) or, with rx888, the RX-888 keys (rx888-attenuation, rx888-gain).
using LiveSdrSettings = std::map<std::string, std::string>;

// One number from text (leading white space allowed, trailing white space only, no suffixes),
// finite, within lo..hi and whole when integer is asked. "Invalid live SDR value: " and the text.
double parse_live_sdr_value(std::string const& text, bool integer, double lo, double hi);

// "key=value,key=value": keys and values taken exactly as written, each key once, every value
// checked; the first fault is thrown with its message.
LiveSdrSettings parse_live_sdr_settings(std::string const& text, bool rx888);

// "key=value" pairs joined by "," in key order.
std::string format_live_sdr_settings(LiveSdrSettings const& settings);
