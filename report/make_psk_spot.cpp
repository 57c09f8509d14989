#include "report/make_psk_spot.hpp"

#include <algorithm>
#include <cmath>
#include <string_view>
#include <vector>

#include "core/ascii_case.hpp"
#include "core/station_checks.hpp"
#include "report/wspr_message.hpp"

namespace {

bool all_of_class(std::string_view text, bool (*in_class)(char))
{
    return std::all_of(text.begin(), text.end(), in_class);
}

bool upper_letter(char c) { return c >= 'A' && c <= 'Z'; }
bool digit(char c) { return c >= '0' && c <= '9'; }

// ^([A-Z]{1,4}|[0-9]{3})$: the "DX", "NA", "POTA" or "123" between CQ and the caller.
bool is_cq_modifier(std::string_view token)
{
    if (token.size() >= 1 && token.size() <= 4 && all_of_class(token, upper_letter))
        return true;
    return token.size() == 3 && all_of_class(token, digit);
}

// ^(R?[+-][0-9]{2}|RRR|RR73|73|[0-9]{6})$: the tails of a directed message that carry no locator.
bool is_report_tail(std::string_view token)
{
    if (token == "RRR" || token == "RR73" || token == "73")
        return true;
    if (token.size() == 6 && all_of_class(token, digit))
        return true;
    if (!token.empty() && token.front() == 'R')
        token.remove_prefix(1);
    return token.size() == 3 && (token[0] == '+' || token[0] == '-') && digit(token[1]) && digit(token[2]);
}

std::vector<std::string> split_blanks(std::string_view text)
{
    constexpr std::string_view blanks = " \t\n\v\f\r";
    std::vector<std::string> tokens;
    std::size_t at = text.find_first_not_of(blanks);
    while (at != std::string_view::npos) {
        std::size_t const end = std::min(text.find_first_of(blanks, at), text.size());
        tokens.emplace_back(text.substr(at, end - at));
        at = text.find_first_not_of(blanks, end);
    }
    return tokens;
}

// The call and locator of the transmitting station in an FT8/FT4 message; false when the
// message is not one that names its sender.
bool read_ft_sender(std::string const& message, std::string& call, std::string& grid)
{
    std::string text = upper_ascii(message);
    auto const separator = text.find("; ");
    if (separator != std::string::npos) {
        // Combined messages ("TU; ..." and "... RR73; ...") put the new exchange after the
        // separator; any other "; " text is free text.
        if (text.rfind("TU; ", 0) != 0 && text.find(" RR73; ") == std::string::npos)
            return false;
        text = text.substr(separator + 2);
    }
    std::vector<std::string> tokens = split_blanks(text);
    for (auto& token : tokens) {
        if (is_bracketed_call(token))
            token = token.substr(1, token.size() - 2);
    }
    if (tokens.size() < 2 || tokens.size() > 5)
        return false;

    std::size_t call_index = 0;
    bool cq_shape = false;
    std::string const& first = tokens[0];
    if (first == "CQ" || first == "QRZ" || first == "DE" || first == "CQDX") {
        cq_shape = true;
        std::size_t allowed = 0;
        if (is_valid_callsign(tokens[1])) {
            call_index = 1;
            allowed = 3;
        } else if (is_cq_modifier(tokens[1])) {
            call_index = 2;
            allowed = 4;
        } else {
            return false;
        }
        if (tokens.size() > allowed)
            return false;
    } else {
        if (!is_valid_callsign(first) && first != "...")
            return false;
        if (tokens.size() < 3)
            return false;
        call_index = 1;
    }
    if (call_index >= tokens.size() || !is_valid_callsign(tokens[call_index]))
        return false;
    call = tokens[call_index];
    grid.clear();

    std::size_t tail = call_index + 1;
    if (cq_shape && tail == tokens.size())
        return true;
    if (tokens[tail] == "R" && tail + 1 < tokens.size())
        ++tail;
    if (tail + 1 != tokens.size())
        return false;
    std::string const& taken = tokens[tail];
    if (taken != "RR73" && is_valid_locator(taken)) {
        grid = taken;
        return true;
    }
    return is_report_tail(taken);
}

bool place_and_time(PskSpot& out, DecodedSpot const& spot, double dial_hz, double start_utc)
{
    double const frequency = dial_hz + static_cast<double>(spot.audio_hz);
    if (!std::isfinite(frequency) || frequency < 1.0 || frequency > 4294967295.0)
        return false;
    if (!std::isfinite(start_utc) || start_utc < 0.0 || start_utc > 4294967295.0)
        return false;
    out.frequency_hz = static_cast<std::uint32_t>(std::round(frequency));
    out.time = static_cast<std::uint32_t>(std::trunc(start_utc));
    out.snr = spot.snr;
    return true;
}

bool is_js8(DigitalMode mode)
{
    return mode == DigitalMode::JS8 || mode == DigitalMode::JS8_FAST || mode == DigitalMode::JS8_TURBO ||
           mode == DigitalMode::JS8_SLOW;
}

}  // namespace

std::optional<PskSpot> make_psk_spot(DecodedSpot const& spot, DigitalMode mode, double dial_hz, double start_utc)
{
    PskSpot out;
    if (mode == DigitalMode::WSPR) {
        DecodedSpot parsed = spot;
        if (!parse_wspr_message(parsed) || parsed.sender.empty())
            return std::nullopt;
        if (!place_and_time(out, spot, dial_hz, start_utc))
            return std::nullopt;
        out.sender_call = parsed.sender;
        out.sender_grid = parsed.grid;
        out.mode = "WSPR";
        return out;
    }
    if (is_js8(mode)) {
        std::string call = upper_ascii(spot.sender);
        if (!is_valid_callsign(call) || !place_and_time(out, spot, dial_hz, start_utc))
            return std::nullopt;
        std::string grid = upper_ascii(spot.grid);
        if (!grid.empty() && !is_valid_locator(grid))
            return std::nullopt;
        out.sender_call = std::move(call);
        out.sender_grid = std::move(grid);
        out.mode = "JS8";
        return out;
    }
    std::string call;
    std::string grid;
    if (!read_ft_sender(spot.message, call, grid) || !place_and_time(out, spot, dial_hz, start_utc))
        return std::nullopt;
    out.sender_call = std::move(call);
    out.sender_grid = std::move(grid);
    out.mode = mode == DigitalMode::FT8 ? "FT8" : mode == DigitalMode::FT4 ? "FT4" : "unknown";
    return out;
}
