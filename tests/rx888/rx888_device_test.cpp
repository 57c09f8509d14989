// The USB layer and the RX-888 device against the stand-in libusb: loading the library,
// choosing and opening the one receiver the options name, and the configuration's exact
// vendor requests.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <stdexcept>
#include <string>
#include <vector>

#include "rx888/rx888_device.hpp"
#include "rx888/usb_library.hpp"
#include "tests/rx888/rx888_standin.hpp"
#include "tests/support/error_of.hpp"

using testing::ElementsAreArray;
using testing::HasSubstr;

namespace {

TEST(UsbLibrary, RefusesWhatCannotBeLoadedOrIsIncomplete)
{
    UsbStandin standin;
    EXPECT_THAT(error_of([] { UsbLibrary::load("/nonexistent/libusb-stand-in.so"); }),
                testing::StartsWith("RX-888 USB library: /nonexistent/libusb-stand-in.so: cannot open shared object file"));
    EXPECT_EQ(error_of([] { UsbLibrary::load(usb_standin_without_error_name_path()); }),
              "RX-888 USB library is missing libusb_error_name");
}

TEST(UsbLibrary, AFailedInitialisationNamesTheError)
{
    UsbStandin standin{{"FAIL", "init@1"}};
    EXPECT_EQ(error_of([] { UsbLibrary::load(usb_standin_path()); }),
              "RX-888 initialize libusb: LIBUSB_ERROR_ACCESS");
    // Nothing stayed loaded: the library is loaded afresh, reads its settings again and works.
    standin.set("FAIL", "");
    EXPECT_NO_THROW(UsbLibrary::load(usb_standin_path()));
}

TEST(UsbLibrary, PortPathsNameTheSocket)
{
    UsbStandin standin{{"DEVICES", "app:A:2:1.4;app:B:3:;app:C:1:7.1.2.3"}};
    auto usb = UsbLibrary::load(usb_standin_path());
    UsbDeviceList const list(*usb);
    ASSERT_EQ(list.size(), 3u);
    EXPECT_EQ(usb_port_path(*usb, list[0]), "usb-2-1-4");
    EXPECT_EQ(error_of([&] { usb_port_path(*usb, list[1]); }), "RX-888 requires a stable USB port path or serial");
    EXPECT_EQ(usb_port_path(*usb, list[2]), "usb-1-7-1-2-3");
}

TEST(UsbLibrary, AFailedListingNamesTheError)
{
    UsbStandin standin{{"FAIL", "list@1"}};
    auto usb = UsbLibrary::load(usb_standin_path());
    EXPECT_EQ(error_of([&] { UsbDeviceList const list(*usb); }), "RX-888 enumerate USB devices: LIBUSB_ERROR_IO");
}

struct OpenCase {
    std::string name;
    std::string devices;
    std::string serial;
    std::string error;   // empty: opened
    std::string opened;  // the port path of the device that was kept
};

void PrintTo(OpenCase const& c, std::ostream* out) { *out << c.name; }

class Rx888DeviceOpen : public testing::TestWithParam<OpenCase> {};

std::string const kNone =
    "No compatible RX-888 MKII application device (04b4:00f1); use --list-devices to inspect firmware/bootloader state";

TEST_P(Rx888DeviceOpen, SelectsTheNamedReceiverAndLeavesNothingElseOpen)
{
    OpenCase const& c = GetParam();
    UsbStandin standin{{"DEVICES", c.devices}};
    auto usb = UsbLibrary::load(usb_standin_path());
    {
        Rx888Device device(usb.get());
        std::string const error = error_of([&] { device.open(c.serial); });
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(device.is_open(), c.error.empty());
        if (c.error.empty()) {
            EXPECT_TRUE(device.claimed());
            // The handle kept is the one named, and nothing else is still open.
            std::vector<std::string> opens = standin.log_of("open ");
            std::vector<std::string> closes = standin.log_of("close ");
            ASSERT_EQ(opens.size(), closes.size() + 1);
            for (std::string const& close : closes)
                opens.erase(std::find(opens.begin(), opens.end(), "open " + close.substr(6)));
            EXPECT_EQ(opens, std::vector<std::string>{"open " + c.opened});
            EXPECT_EQ(standin.log_of("claim "), std::vector<std::string>{"claim " + c.opened});
        }
    }
    // After a failure, or once the device is closed, every handle opened was closed again.
    EXPECT_EQ(standin.log_of("open ").size(), standin.log_of("close ").size());
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rx888DeviceOpen,
    testing::Values(
        OpenCase{"the_only_receiver", "app:SN1:2:1.4", "", "", "usb-2-1-4"},
        OpenCase{"two_receivers_need_a_choice", "app:SN1:2:1.4;app:SN2:2:1.5", "",
                 "Multiple RX-888 candidates; select --serial SERIAL_OR_USB_PORT", ""},
        OpenCase{"chosen_by_port_path", "app:SN1:2:1.4;app:SN2:2:1.5", "usb-2-1-5", "", "usb-2-1-5"},
        OpenCase{"chosen_by_serial", "app:SN1:2:1.4;app:SN2:2:1.5", "SN1", "", "usb-2-1-4"},
        OpenCase{"serial_names_nothing", "app:SN1:2:1.4", "SN9", kNone, ""},
        OpenCase{"unopenable_other_port_is_skipped", "app:SN1:2:1.4:open=fail;app:SN2:2:1.5", "SN2", "", "usb-2-1-5"},
        OpenCase{"unopenable_without_a_choice", "app:SN1:2:1.4:open=fail;app:SN2:2:1.5", "",
                 "RX-888 open device (check USB permissions): LIBUSB_ERROR_ACCESS", ""},
        OpenCase{"unopenable_named_by_port", "app:SN1:2:1.4:open=fail", "usb-2-1-4",
                 "RX-888 open device (check USB permissions): LIBUSB_ERROR_ACCESS", ""},
        OpenCase{"bootloader_and_strangers_are_not_receivers", "boot:B1:2:1.3;pid=3ddc:N1:2:1.6;vid=1d50.00f1:X:2:1.7", "",
                 kNone, ""},
        OpenCase{"a_receiver_among_strangers", "vid=1d50.00f1:X:2:1.7;app:SN1:2:1.4", "", "", "usb-2-1-4"},
        OpenCase{"usb2_port", "app:SN1:2:1.4:speed=3", "", "RX-888 requires USB 3 SuperSpeed", ""},
        OpenCase{"busy", "app:SN1:2:1.4:claim=busy", "", "RX-888 claim interface (device may be busy): LIBUSB_ERROR_BUSY", ""},
        OpenCase{"other_model", "app:SN1:2:1.4:identity=3.2.2", "",
                 "RX-888 native driver requires MKII model 4 and firmware 2.2; receiver was not reconfigured", ""},
        OpenCase{"other_firmware", "app:SN1:2:1.4:identity=4.2.1", "",
                 "RX-888 native driver requires MKII model 4 and firmware 2.2; receiver was not reconfigured", ""},
        OpenCase{"no_receiver_at_all", "boot:B1:2:1.3", "", kNone, ""}),
    [](testing::TestParamInfo<OpenCase> const& info) { return info.param.name; });

TEST(Rx888DeviceOpen, AMuteIdentityClosesTheHandle)
{
    UsbStandin standin{{"FAIL", "identity@1"}};
    auto usb = UsbLibrary::load(usb_standin_path());
    Rx888Device device(usb.get());
    EXPECT_EQ(error_of([&] { device.open(""); }), "RX-888 read firmware identity: LIBUSB_ERROR_TIMEOUT");
    EXPECT_FALSE(device.is_open());
    EXPECT_EQ(standin.log_of("close ").size(), 1u);
    EXPECT_EQ(standin.log_of("release ").size(), 1u);
}

struct ConfigureCase {
    std::string name;
    Rx888Settings settings;
    std::vector<std::string> requests;
    double applied_gain_db;
};

void PrintTo(ConfigureCase const& c, std::ostream* out) { *out << c.name; }

class Rx888Configure : public testing::TestWithParam<ConfigureCase> {};

TEST_P(Rx888Configure, SendsTheRequestsInOrderWithTheirBytes)
{
    UsbStandin standin;
    auto usb = UsbLibrary::load(usb_standin_path());
    Rx888Device device(usb.get());
    device.open("");
    double const applied = device.configure(GetParam().settings);
    EXPECT_NEAR(applied, GetParam().applied_gain_db, 0.005);
    std::vector<std::string> sent = standin.log_of("control 40 ");
    EXPECT_THAT(sent, ElementsAreArray(GetParam().requests));
}

INSTANTIATE_TEST_SUITE_P(
    Table, Rx888Configure,
    testing::Values(ConfigureCase{"defaults", {false, false, 10, 0}, default_configure_log(), 1.47},
                    ConfigureCase{"half_rate_bias_tee_full_attenuation",
                                  {true, true, 31.5, -8},
                                  {"control 40 ab 0000 0000 4 00000000", "control 40 b2 0000 0000 4 0090d003",
                                   "control 40 ad 0000 0000 4 00010100", "control 40 b8 0000 0000 4 00000000",
                                   "control 40 b6 003f 000a 1 00", "control 40 b6 0007 000b 1 00"},
                                  -8.17},
                    ConfigureCase{"no_attenuation_most_gain",
                                  {false, false, 0, 32},
                                  {"control 40 ab 0000 0000 4 00000000", "control 40 b2 0000 0000 4 0020a107",
                                   "control 40 ad 0000 0000 4 00000100", "control 40 b8 0000 0000 4 00000000",
                                   "control 40 b6 0000 000a 1 00", "control 40 b6 00e5 000b 1 00"},
                                  32.01}),
    [](testing::TestParamInfo<ConfigureCase> const& info) { return info.param.name; });

TEST(Rx888Vga, CodesAndTheGainTheyApply)
{
    struct Row {
        double gain_db;
        unsigned code;
        double applied_db;
    };
    for (Row const row : {Row{0, 0x83, 1.4664}, Row{-8, 0x07, -8.1741}, Row{-1, 0x10, -0.9936}, Row{32, 0xE5, 32.0104},
                          Row{34, 0xFF, 34.0}, Row{-0.01, 0x12, 0.0294}, Row{20, 0x99, 19.8828}}) {
        EXPECT_EQ(rx888_vga_code(row.gain_db), row.code) << row.gain_db << " dB";
        EXPECT_NEAR(rx888_vga_gain_db(static_cast<std::uint8_t>(row.code)), row.applied_db, 1e-3) << row.gain_db << " dB";
    }
    EXPECT_EQ(rx888_vga_gain_db(0x00), -120.0);
    EXPECT_EQ(rx888_vga_gain_db(0x80), -120.0);
}

TEST(Rx888Device, ShortAndFailedRequestsAreErrors)
{
    UsbStandin standin{{"FAIL", "setarg@1"}};
    auto usb = UsbLibrary::load(usb_standin_path());
    Rx888Device device(usb.get());
    device.open("");
    EXPECT_EQ(error_of([&] { device.set_arg(rx888_attenuator_argument, 63); }), "RX-888 set HF gain: LIBUSB_ERROR_PIPE");
    EXPECT_NO_THROW(device.set_arg(rx888_attenuator_argument, 63));
    // An unknown request is refused by the firmware with a stall.
    EXPECT_EQ(error_of([&] { device.command(0xC5, 0); }), "RX-888 write firmware command: LIBUSB_ERROR_PIPE");
    EXPECT_TRUE(device.answers_probe());
}

}  // namespace
