#include "report/wspr_message.hpp"

#include <sstream>
#include <string>

#include "core/station_checks.hpp"

namespace {

bool is_power_text(std::string const& text)
{
    if (text.empty() || text.size() > 2)
        return false;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
    }
    return true;
}

}  // namespace

bool parse_wspr_message(DecodedSpot& spot)
{
    std::string message = spot.message;
    auto const tail = message.find(" [drift=");
    if (tail != std::string::npos)
        message.resize(tail);

    std::istringstream in(message);
    std::string a;
    std::string b;
    if (!(in >> a >> b))
        return false;
    spot.sender.clear();
    spot.grid.clear();

    std::string call;
    std::string power;
    if (is_bracketed_call(a)) {  // "<...>" included
        std::string c;
        if (!(in >> c))
            return false;
        if (b.size() != 6 || !is_valid_locator(b))
            return false;
        if (a != "<...>")
            call = a.substr(1, a.size() - 2);
        spot.grid = b;
        power = c;
    } else if (b.size() == 4 && is_valid_locator(b)) {
        std::string c;
        if (!(in >> c))
            return false;
        call = a;
        spot.grid = b;
        power = c;
    } else {
        call = a;
        power = b;
    }
    spot.sender = call;

    std::string extra;
    if (in >> extra)
        return false;
    if (!call.empty() && !is_valid_callsign(call))
        return false;
    if (!is_power_text(power))
        return false;
    spot.dbm = std::stoi(power);
    return spot.dbm <= 60;
}
