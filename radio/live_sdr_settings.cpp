#include "radio/live_sdr_settings.hpp"

#include <array>
#include <cmath>
#include <locale>
#include <sstream>
#include <stdexcept>
#include <string_view>

namespace {

constexpr std::array<std::string_view, 7> sdrplay_keys = {"agc",       "gain-reduction", "lna-state", "ppm",
                                                          "antenna",   "rf-notch",       "mw-notch"};
constexpr std::array<std::string_view, 2> rx888_keys = {"rx888-attenuation", "rx888-gain"};

bool in_key_set(std::string const& key, bool rx888)
{
    auto contains = [&](auto const& keys) {
        for (std::string_view known : keys) {
            if (key == known)
                return true;
        }
        return false;
    };
    return rx888 ? contains(rx888_keys) : contains(sdrplay_keys);
}

void check_on_off(std::string const& key, std::string const& value)
{
    if (value != "on" && value != "off")
        throw std::runtime_error(key + " must be on or off");
}

void check_value(std::string const& key, std::string const& value)
{
    if (key == "agc") {
        check_on_off(key, value);
    } else if (key == "gain-reduction") {
        parse_live_sdr_value(value, true, 20, 59);
    } else if (key == "lna-state") {
        parse_live_sdr_value(value, true, 0, 27);
    } else if (key == "ppm") {
        parse_live_sdr_value(value, false, -1000, 1000);
    } else if (key == "antenna") {
        // The name goes back into replies and the device's port selection; a line break or an
        // "=" would forge further fields there.
        if (value.empty() || value.size() > 128 || value.find_first_of("\r\n=") != std::string::npos)
            throw std::runtime_error("Invalid antenna name");
    } else if (key == "rf-notch" || key == "mw-notch") {
        check_on_off(key, value);
    } else if (key == "rx888-attenuation") {
        double const db = parse_live_sdr_value(value, false, 0, 31.5);
        if (db * 2.0 != std::floor(db * 2.0))
            throw std::runtime_error("rx888-attenuation is 0..31.5 dB in 0.5 dB steps");
    } else if (key == "rx888-gain") {
        parse_live_sdr_value(value, false, -8, 32);
    }
}

}  // namespace

double parse_live_sdr_value(std::string const& text, bool integer, double lo, double hi)
{
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    double value = 0.0;
    in >> value;
    bool ok = !in.fail();
    if (ok) {
        in >> std::ws;
        ok = in.eof();
    }
    if (!ok || !std::isfinite(value) || value < lo || value > hi || (integer && value != std::floor(value)))
        throw std::runtime_error("Invalid live SDR value: " + text);
    return value;
}

LiveSdrSettings parse_live_sdr_settings(std::string const& text, bool rx888)
{
    if (text.empty())
        throw std::runtime_error("No live SDR settings supplied");
    LiveSdrSettings settings;
    std::size_t begin = 0;
    // A comma at the very end leaves no piece after it; it is refused below as a trailing comma
    // rather than as an empty pair.
    while (begin < text.size()) {
        std::size_t end = text.find(',', begin);
        if (end == std::string::npos)
            end = text.size();
        std::string const piece = text.substr(begin, end - begin);
        begin = end + 1;

        std::size_t const equals = piece.find('=');
        if (equals == std::string::npos || equals == 0 || equals + 1 == piece.size())
            throw std::runtime_error("Live SDR settings need nonempty key=value pairs");
        std::string const key = piece.substr(0, equals);
        std::string const value = piece.substr(equals + 1);
        if (!in_key_set(key, rx888))
            throw std::runtime_error("Setting requires restart or is unsupported live: " + key);
        if (settings.count(key) != 0)
            throw std::runtime_error("Duplicate live SDR setting: " + key);
        settings.emplace(key, value);
        check_value(key, value);
    }
    if (text.back() == ',')
        throw std::runtime_error("Trailing comma in live SDR settings");
    return settings;
}

std::string format_live_sdr_settings(LiveSdrSettings const& settings)
{
    std::string text;
    for (auto const& [key, value] : settings) {
        if (!text.empty())
            text += ',';
        text += key;
        text += '=';
        text += value;
    }
    return text;
}
