#include "sig/known_channels.hpp"

#include <algorithm>
#include <exception>
#include <string>

namespace {

constexpr std::size_t max_known_windows = 64;

std::vector<KnownChannel> build_table() {
    constexpr bool usb = true;
    constexpr bool lsb = false;
    const std::string olivia_psk = "modes=auto,olivia=8/250@3000+8/250@3500";
    const std::string fax = "modes=wefax,wefax=120/576,report=off";
    const std::string sstv = "modes=sstv,report=off";
    return {
        {"psk20", 14069500, usb, 4200, olivia_psk, "PSK 20 m",
         "PSK31 calling area on 20 m, with two Olivia 8/250 decoders above it"},
        {"w1aw20", 14093500, usb, 5000, "modes=auto", "W1AW 20 m", "W1AW digital bulletins on 20 m"},
        {"ibp20", 14099200, usb, 1600, "modes=auto", "Beacons 20 m", "NCDXF/IARU beacons on 14100 kHz"},
        {"ibp17", 18109200, usb, 1600, "modes=auto", "Beacons 17 m", "NCDXF/IARU beacons on 18110 kHz"},
        {"ibp15", 21149200, usb, 1600, "modes=auto", "Beacons 15 m", "NCDXF/IARU beacons on 21150 kHz"},
        {"ibp12", 24929200, usb, 1600, "modes=auto", "Beacons 12 m", "NCDXF/IARU beacons on 24930 kHz"},
        {"ibp10", 28199200, usb, 1600, "modes=auto", "Beacons 10 m", "NCDXF/IARU beacons on 28200 kHz"},
        {"psk40", 7068700, usb, 5000, "modes=auto,olivia=8/250@3800+8/250@4300", "PSK 40 m",
         "PSK31 calling area on 40 m, with two Olivia 8/250 decoders above it"},
        {"w1aw40", 7093500, usb, 5000, "modes=auto", "W1AW 40 m", "W1AW digital bulletins on 40 m"},
        {"w1aw15", 21093500, usb, 5000, "modes=auto", "W1AW 15 m", "W1AW digital bulletins on 15 m"},
        {"psk80", 3579500, usb, 5000, "modes=auto,olivia=8/250@3500", "PSK 80 m",
         "PSK31 calling area on 80 m, with one Olivia 8/250 decoder"},
        {"jtty20", 14090000, usb, 3000, "modes=jtty", "JTTY 20 m", "JTTY dial frequency on 20 m"},
        {"jtty40", 7078000, usb, 3000, "modes=jtty", "JTTY 40 m", "JTTY dial frequency on 40 m"},
        {"jtty15", 21090000, usb, 3000, "modes=jtty", "JTTY 15 m", "JTTY dial frequency on 15 m"},
        {"jtty10", 28090000, usb, 3000, "modes=jtty", "JTTY 10 m", "JTTY dial frequency on 10 m"},
        {"jtty80", 3572000, usb, 3000, "modes=jtty", "JTTY 80 m", "JTTY dial frequency on 80 m"},
        {"jtty30", 10140000, usb, 3000, "modes=jtty", "JTTY 30 m", "JTTY dial frequency on 30 m"},
        {"jtty17", 18104000, usb, 3000, "modes=jtty", "JTTY 17 m", "JTTY dial frequency on 17 m"},
        {"jtty12", 24920000, usb, 3000, "modes=jtty", "JTTY 12 m", "JTTY dial frequency on 12 m"},
        {"jtty160", 1839000, usb, 3000, "modes=jtty", "JTTY 160 m", "JTTY dial frequency on 160 m"},
        {"jtty6", 50160000, usb, 3000, "modes=jtty", "JTTY 6 m", "JTTY dial frequency on 6 m"},
        {"jtty2", 144160000, usb, 3000, "modes=jtty", "JTTY 2 m", "JTTY dial frequency on 2 m"},
        {"faxnmg8", 8502000, usb, 3000, fax, "NMG New Orleans 8503.9",
         "Weather fax from NMG New Orleans on 8503.9 kHz, on the air 0000 to 0255, 0600 to 0855, 1200 to 1455 "
         "and 1800 to 2055 UTC"},
        {"faxnmg12", 12788000, usb, 3000, fax, "NMG New Orleans 12789.9",
         "Weather fax from NMG New Orleans on 12789.9 kHz"},
        {"faxnmg4", 4316000, usb, 3000, fax, "NMG New Orleans 4317.9", "Weather fax from NMG New Orleans on 4317.9 kHz"},
        {"faxnmg17", 17144500, usb, 3000, fax, "NMG New Orleans 17146.4",
         "Weather fax from NMG New Orleans on 17146.4 kHz"},
        {"faxnmf6", 6338600, usb, 3000, fax, "NMF Boston 6340.5", "Weather fax from NMF Boston on 6340.5 kHz"},
        {"faxnmf9", 9108100, usb, 3000, fax, "NMF Boston 9110.0", "Weather fax from NMF Boston on 9110.0 kHz"},
        {"faxnmf4", 4233100, usb, 3000, fax, "NMF Boston 4235.0", "Weather fax from NMF Boston on 4235.0 kHz"},
        {"faxnmf12", 12748100, usb, 3000, fax, "NMF Boston 12750.0", "Weather fax from NMF Boston on 12750.0 kHz"},
        {"faxnmc8", 8680100, usb, 3000, fax, "NMC Pt. Reyes 8682.0", "Weather fax from NMC Point Reyes on 8682.0 kHz"},
        {"faxnmc12", 12784100, usb, 3000, fax, "NMC Pt. Reyes 12786.0",
         "Weather fax from NMC Point Reyes on 12786.0 kHz"},
        {"faxnmc17", 17149300, usb, 3000, fax, "NMC Pt. Reyes 17151.2",
         "Weather fax from NMC Point Reyes on 17151.2 kHz"},
        {"faxnmc22", 22525100, usb, 3000, fax, "NMC Pt. Reyes 22527.0",
         "Weather fax from NMC Point Reyes on 22527.0 kHz"},
        {"faxkvm16", 16133100, usb, 3000, fax, "KVM70 Honolulu 16135.0", "Weather fax from KVM70 Honolulu on 16135.0 kHz"},
        {"sstv20", 14230000, usb, 3000, sstv, "SSTV 14230", "SSTV calling frequency 14230 kHz"},
        {"sstv15", 21340000, usb, 3000, sstv, "SSTV 21340", "SSTV calling frequency 21340 kHz"},
        {"sstv10", 28680000, usb, 3000, sstv, "SSTV 28680", "SSTV calling frequency 28680 kHz"},
        {"sstv40", 7171000, lsb, 3000, sstv, "SSTV 7171", "SSTV calling frequency 7171 kHz, lower sideband"},
        {"cw20", 14046700, usb, 1600, "modes=auto", "W1AW CW 20 m", "W1AW code practice and CW bulletins on 20 m"},
        {"olw20", 14106500, usb, 5000, "modes=auto,olivia=32/1000@1000+16/1000@1000+32/1000@2000+16/1000@2000",
         "Olivia 20 m", "Olivia area on 20 m, with 32/1000 and 16/1000 decoders at 1000 and 2000 Hz"},
        {"rtty20", 14083000, usb, 5000, "modes=auto", "RTTY 20 m", "RTTY area on 20 m"},
        {"dig17", 18096500, usb, 3400, "modes=auto,olivia=8/250@2500", "Digital 17 m",
         "Mixed digital area on 17 m, with one Olivia 8/250 decoder"},
        {"w1aw17", 18102000, usb, 4500, "modes=auto", "W1AW 17 m", "W1AW digital bulletins on 17 m"},
        {"cw17", 18076700, usb, 1600, "modes=auto", "W1AW CW 17 m", "W1AW code practice and CW bulletins on 17 m"},
        {"psk15", 21069500, usb, 4200, olivia_psk, "PSK 15 m",
         "PSK31 calling area on 15 m, with two Olivia 8/250 decoders above it"},
        {"rtty15", 21083000, usb, 5000, "modes=auto", "RTTY 15 m", "RTTY area on 15 m"},
        {"cw15", 21066700, usb, 1600, "modes=auto", "W1AW CW 15 m", "W1AW code practice and CW bulletins on 15 m"},
        {"psk10", 28119500, usb, 4200, olivia_psk, "PSK 10 m",
         "PSK31 calling area on 10 m, with two Olivia 8/250 decoders above it"},
        {"rtty10", 28083000, usb, 5000, "modes=auto", "RTTY 10 m", "RTTY area on 10 m"},
        {"w1aw10", 28093500, usb, 5000, "modes=auto", "W1AW 10 m", "W1AW digital bulletins on 10 m"},
        {"bcn10a", 28254500, usb, 1600, "modes=auto", "Beacon Q9AA", "10 m beacon Q9AA"},
        {"bcn10b", 28293700, usb, 1600, "modes=auto", "Beacon Q9BB", "10 m beacon Q9BB"},
        {"cw40", 7046700, usb, 1600, "modes=auto", "W1AW CW 40 m", "W1AW code practice and CW bulletins on 40 m"},
        {"rtty40", 7083000, usb, 5000, "modes=auto", "RTTY 40 m", "RTTY area on 40 m"},
        {"dig30", 10141000, usb, 5000, "modes=auto,olivia=8/250@2000+16/1000@3000", "Digital 30 m",
         "Mixed digital area on 30 m, with Olivia 8/250 and 16/1000 decoders"},
        {"dwd30", 10099300, usb, 3000, "modes=auto", "DWD RTTY 30 m",
         "German weather service RTTY on 10100.8 kHz, 50 baud, all day"},
        {"w1aw80", 3594800, usb, 5000, "modes=auto", "W1AW 80 m", "W1AW digital bulletins on 80 m"},
    };
}

// The row as an analysis spec text; the table holds whole hertz, written without a fraction.
std::string row_spec(const KnownChannel& row) {
    return "id=" + row.id + ",frequency=" + std::to_string(static_cast<long long>(row.dial_hz)) +
           ",modulation=" + (row.usb ? "USB" : "LSB") +
           ",bandwidth=" + std::to_string(static_cast<long long>(row.bandwidth_hz)) + "," + row.spec;
}

}  // namespace

const std::vector<KnownChannel>& known_channels() {
    static const std::vector<KnownChannel> table = build_table();
    return table;
}

void init_known_channels() { (void)known_channels(); }

bool is_known_channel_id(std::string_view id) {
    const auto& table = known_channels();
    return std::any_of(table.begin(), table.end(), [&](const KnownChannel& row) { return row.id == id; });
}

std::vector<AnalysisChannel> known_channels_in_range(double centre_hz, double capture_width_hz) {
    std::vector<AnalysisChannel> result;
    for (const KnownChannel& row : known_channels()) {
        if (result.size() >= max_known_windows) break;
        try {
            AnalysisChannel channel = parse_analysis_channel(row_spec(row));
            check_passband_in_capture(channel, centre_hz, capture_width_hz);
            result.push_back(std::move(channel));
        } catch (const std::exception&) {
            // Out of this capture: the row simply does not apply.
        }
    }
    return result;
}

namespace {

AnalysisChannel with_report_rule(AnalysisChannel channel, bool report) {
    // JTTY-only windows always report: their text is nothing but call signs and grids.
    channel.report = only_jtty_modes(channel, false) || report;
    return channel;
}

}  // namespace

std::vector<AnalysisChannel> known_channel_windows(double centre_hz, double capture_width_hz, bool report) {
    std::vector<AnalysisChannel> windows = known_channels_in_range(centre_hz, capture_width_hz);
    for (AnalysisChannel& window : windows) window = with_report_rule(std::move(window), report);
    return windows;
}

std::optional<AnalysisChannel> known_channel_window(std::string_view id, bool report) {
    for (const KnownChannel& row : known_channels()) {
        if (row.id == id) return with_report_rule(parse_analysis_channel(row_spec(row)), report);
    }
    return std::nullopt;
}
