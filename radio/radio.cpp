#include "radio/radio.hpp"

#include <stdexcept>

#include "radio/radio_replies.hpp"

Radio::~Radio() = default;

double Radio::center_for(double frequency_hz) const { return frequency_hz - tuning_offset(); }

std::shared_ptr<SpectrumRows> Radio::receive_engine(std::size_t, std::string& reason)
{
    reason = "not available for this radio";
    return {};
}

void Radio::check_retune(double)
{
    throw std::runtime_error("Live RF retuning is currently supported for local SDRplay receivers");
}

void Radio::retune(double hz) { check_retune(hz); }

std::string Radio::control(std::string const& request)
{
    // A backend without hardware control measures nothing: every reading says so rather than
    // showing numbers a client could mistake for a quiet band.
    RadioMeter meter;
    meter.levels.state = "unavailable";
    meter.overload.state = "unavailable";
    meter.if_gain.state = "unavailable";
    if (request == "RADIO METER")
        return format_meter_reply(meter);
    if (request == "RADIO IFGAIN")
        return format_ifgain_reply(meter.if_gain);
    if (request == "RADIO LEVELS" || request == "RADIO LEVELS RESET")
        return format_levels_reply(meter.levels);
    if (request == "RADIO OVERLOAD")
        return format_overload_reply(meter.overload);
    throw std::runtime_error("This receiver backend does not support live hardware control");
}

void Radio::report_overload() {}
