#include "sig/known_channels.hpp"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace {

std::vector<std::string> ids_of(const std::vector<AnalysisChannel>& channels) {
    std::vector<std::string> ids;
    for (const AnalysisChannel& c : channels) ids.push_back(c.id);
    return ids;
}

// A capture wide enough for every row, 1.8 MHz to 144.2 MHz.
constexpr double wide_centre_hz = 73000000;
constexpr double wide_width_hz = 160000000;

TEST(KnownChannels, TableHasUniqueRowsThatAllBecomeChannels) {
    init_known_channels();
    init_known_channels();  // a second call changes nothing
    const auto& table = known_channels();
    ASSERT_EQ(table.size(), 58u);
    std::set<std::string> ids;
    for (const KnownChannel& row : table) EXPECT_TRUE(ids.insert(row.id).second) << row.id;

    // Every row is valid and fits a wide capture: none is skipped for a broken spec.
    const auto channels = known_channels_in_range(wide_centre_hz, wide_width_hz);
    ASSERT_EQ(channels.size(), table.size());
    for (std::size_t i = 0; i < table.size(); ++i) {
        EXPECT_EQ(channels[i].id, table[i].id);
        EXPECT_EQ(channels[i].dial_hz, table[i].dial_hz) << table[i].id;
        EXPECT_EQ(channels[i].usb, table[i].usb) << table[i].id;
        EXPECT_EQ(channels[i].bandwidth_hz, table[i].bandwidth_hz) << table[i].id;
        EXPECT_TRUE(channels[i].enabled);
    }
    EXPECT_EQ(table.front().id, "psk20");
    EXPECT_EQ(table.back().id, "w1aw80");
}

TEST(KnownChannels, TwentyMetreCaptureHoldsTheTwentyMetreRowsInTableOrder) {
    const auto channels = known_channels_in_range(14100000, 2000000);
    EXPECT_EQ(ids_of(channels), (std::vector<std::string>{"psk20", "w1aw20", "ibp20", "jtty20", "sstv20", "cw20",
                                                          "olw20", "rtty20"}));
    ASSERT_FALSE(channels.empty());
    EXPECT_EQ(channels[0], parse_analysis_channel("id=psk20,frequency=14069500,modulation=USB,bandwidth=4200,"
                                                  "modes=auto,olivia=8/250@3000+8/250@3500"));
}

TEST(KnownChannels, RowsCarryTheirModesAndVariants) {
    const auto channels = known_channels_in_range(wide_centre_hz, wide_width_hz);
    auto find = [&](const std::string& id) -> const AnalysisChannel& {
        for (const AnalysisChannel& c : channels)
            if (c.id == id) return c;
        throw std::runtime_error("no row " + id);
    };
    const AnalysisChannel& fax = find("faxkvm16");
    EXPECT_EQ(fax.modes, std::vector<sig::Mode>{sig::Mode::WEFAX});
    EXPECT_FALSE(fax.modes_auto);
    EXPECT_EQ(fax.wefax, "120/576");
    EXPECT_FALSE(fax.report);

    const AnalysisChannel& jtty = find("jtty160");
    EXPECT_EQ(jtty.modes, std::vector<sig::Mode>{sig::Mode::JTTY});
    EXPECT_TRUE(only_jtty_modes(jtty, false));

    const AnalysisChannel& olivia = find("olw20");
    EXPECT_TRUE(olivia.modes_auto);
    EXPECT_EQ(olivia.olivia, (std::vector<sig::OliviaEntry>{{"32/1000", 1000}, {"16/1000", 1000}, {"32/1000", 2000},
                                                       {"16/1000", 2000}}));

    const AnalysisChannel& sstv = find("sstv40");
    EXPECT_EQ(sstv.modes, std::vector<sig::Mode>{sig::Mode::SSTV});
    EXPECT_EQ(passband_edges(sstv), std::make_pair(7168000.0, 7171000.0));
}

struct Capture {
    const char* name;
    double centre_hz;
    double width_hz;
    std::vector<std::string> ids;
};

std::ostream& operator<<(std::ostream& out, const Capture& c) { return out << c.name; }

class KnownChannelsInRange : public testing::TestWithParam<Capture> {};

TEST_P(KnownChannelsInRange, KeepsTheRowsWhosePassbandFits) {
    EXPECT_EQ(ids_of(known_channels_in_range(GetParam().centre_hz, GetParam().width_hz)), GetParam().ids);
}

// usable range = centre +- 0.45 x width; width 200000 gives +- 90000 Hz.
INSTANTIATE_TEST_SUITE_P(
    Edges, KnownChannelsInRange,
    testing::Values(
        Capture{"nothing_in_the_table", 100000000, 2000000, {}},
        // sstv40 is lower sideband: 7168000..7171000.
        Capture{"lsb_row_low_edge_on_the_limit", 7168000 + 90000, 200000, {"sstv40"}},
        Capture{"lsb_row_low_edge_past_the_limit", 7168000 + 90001, 200000, {}},
        // jtty2 is alone near 144 MHz: 144160000..144163000.
        Capture{"high_edge_on_the_limit", 144163000 - 90000, 200000, {"jtty2"}},
        Capture{"high_edge_past_the_limit", 144163000 - 90001, 200000, {}},
        // The range ends between the dial frequency and the upper edge.
        Capture{"range_ends_inside_the_passband", 144161500 - 90000, 200000, {}},
        Capture{"narrow_capture_around_one_row", 1839000 + 1500, 10000, {"jtty160"}}));

TEST(KnownChannels, IdentifiersCompareByteForByte) {
    EXPECT_TRUE(is_known_channel_id("psk20"));
    EXPECT_TRUE(is_known_channel_id("w1aw80"));
    EXPECT_FALSE(is_known_channel_id("PSK20"));
    EXPECT_FALSE(is_known_channel_id("psk20 "));
    EXPECT_FALSE(is_known_channel_id("psk2"));
    EXPECT_FALSE(is_known_channel_id(""));
}

}  // namespace
