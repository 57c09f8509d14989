#include "radio/radio_replies.hpp"

#include <iomanip>
#include <locale>
#include <sstream>

OverloadStatus decode_overload_state(std::uint64_t word)
{
    OverloadStatus status;
    switch (word & 3u) {
    case 2: status.state = "detected"; break;
    case 1: status.state = "clear"; break;
    default: status.state = "unknown"; break;
    }
    status.events = word >> 2;
    return status;
}

std::string format_overload_reply(OverloadStatus const& status)
{
    return "OK OVERLOAD state=" + status.state + ",events=" + std::to_string(status.events);
}

std::string format_ifgain_reply(IfGainStatus const& status)
{
    std::string const reduction = status.state == "ready" ? std::to_string(status.reduction_db) : "na";
    return "OK IFGAIN state=" + status.state + ",reduction=" + reduction;
}

std::string format_strongest_reply(StrongestSignal const& strongest)
{
    std::ostringstream out;
    out.imbue(std::locale::classic());
    out << std::setprecision(17) << "OK STRONGEST " << strongest.frequency_hz << ' ' << strongest.level_db;
    return out.str();
}

std::string format_meter_reply(RadioMeter const& meter)
{
    std::string reply = format_levels_reply(meter.levels);
    reply += '\n';
    reply += format_overload_reply(meter.overload);
    reply += '\n';
    reply += format_ifgain_reply(meter.if_gain);
    if (meter.strongest.present) {
        reply += '\n';
        reply += format_strongest_reply(meter.strongest);
    }
    return reply;
}
