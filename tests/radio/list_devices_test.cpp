#include "radio/list_devices.hpp"

#include "tests/radio/sdrplay_standin.hpp"

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <sstream>
#include <stdexcept>
#include <ostream>
#include <string>
#include <vector>

namespace {

struct Listing {
    std::string out;
    std::string err;
    std::string error;  // the message thrown, empty when the listing returned
};

Listing run_listing(Options const& options, Rx888DeviceLister const& rx888, Rx888Diagnostics const& diagnostics = {})
{
    std::ostringstream out;
    std::ostringstream err;
    Listing listing;
    try {
        list_devices(options, out, err, rx888, diagnostics);
    } catch (std::runtime_error const& error) {
        listing.error = error.what();
    }
    listing.out = out.str();
    listing.err = err.str();
    return listing;
}

// An RX-888 part that prints `lines` devices, then fails when `fails` is set.
Rx888DeviceLister rx888_lines(int lines, bool fails = false)
{
    return [lines, fails](Options const&, std::ostream& out, std::ostream&, std::uint64_t& next) {
        for (int k = 0; k < lines; ++k)
            out << next++ << ": RX-888 MKII serial=R" << k << " available=1\n";
        if (fails)
            throw std::runtime_error("libusb went away");
    };
}

std::string const missing_library = "/nonexistent/libsdrplay_api.so";
std::string const missing_message =
    "Cannot load receiver library: /nonexistent/libsdrplay_api.so: cannot open shared object file: No such file or "
    "directory";

struct ListingCase {
    char const* name;
    char const* devices;  // nullptr: no SDRplay library at all
    char const* fail;
    int rx888_lines;
    bool rx888_fails;
    Listing expected;
};

void PrintTo(ListingCase const& c, std::ostream* os) { *os << c.name; }

}  // namespace

class DeviceListing : public testing::TestWithParam<ListingCase> {};

TEST_P(DeviceListing, NumbersSdrplayThenRx888InOneSequence)
{
    ListingCase const& c = GetParam();
    StandinSetup setup({{"DEVICES", c.devices ? c.devices : ""}, {"FAIL", c.fail}});
    Options options = standin_options();
    if (!c.devices)
        options.api_library = missing_library;
    Listing const listing = run_listing(options, rx888_lines(c.rx888_lines, c.rx888_fails));
    EXPECT_EQ(listing.out, c.expected.out);
    EXPECT_EQ(listing.err, c.expected.err);
    EXPECT_EQ(listing.error, c.expected.error);
    // The API is left closed and unloaded whatever happened.
    Trace const trace = setup.trace();
    if (!trace.empty() && trace.front() == "Open") {
        EXPECT_EQ(trace.back(), "Close");
    }
    void* handle = dlopen(standin_path().c_str(), RTLD_NOW | RTLD_NOLOAD);
    EXPECT_EQ(handle, nullptr);
    if (handle)
        dlclose(handle);
}

INSTANTIATE_TEST_SUITE_P(
    Table, DeviceListing,
    testing::Values(
        ListingCase{"BothKinds", "2:B100:1,255:A200:0", "", 1, false,
                    {"0: RSP2 serial=B100 available=1\n1: RSP1A serial=A200 available=0\n"
                     "2: RX-888 MKII serial=R0 available=1\n",
                     "", ""}},
        ListingCase{"UnknownModels", "5:X5:1,0:X0:1,7:X7:1,6:X6:1,4:X4:1,3:X3:1,1:X1:1", "", 0, false,
                    {"0: Unknown RSP serial=X5 available=1\n1: Unknown RSP serial=X0 available=1\n"
                     "2: RSPdxR2 serial=X7 available=1\n3: RSP1B serial=X6 available=1\n"
                     "4: RSPdx serial=X4 available=1\n5: RSPduo serial=X3 available=1\n"
                     "6: RSP1 serial=X1 available=1\n",
                     "", ""}},
        ListingCase{"NothingFound", "", "", 0, false, {"No receivers found\n", "", ""}},
        ListingCase{"NoLibraryButRx888", nullptr, "", 1, false,
                    {"0: RX-888 MKII serial=R0 available=1\n", "SDRplay enumeration unavailable: " + missing_message + "\n",
                     ""}},
        ListingCase{"NoLibraryNothingElse", nullptr, "", 0, false, {"", "", missing_message}},
        ListingCase{"EnumerationFails", "2:B100:1", "GetDevices", 0, false,
                    {"", "", "Enumerate devices: Fail"}},
        ListingCase{"LockFailsRx888Listed", "2:B100:1", "LockDeviceApi", 1, false,
                    {"0: RX-888 MKII serial=R0 available=1\n",
                     "SDRplay enumeration unavailable: Lock API: Fail\n", ""}},
        // Lines an RX-888 part printed before it failed are still devices found.
        ListingCase{"Rx888FailsAfterPrinting", nullptr, "", 2, true,
                    {"0: RX-888 MKII serial=R0 available=1\n1: RX-888 MKII serial=R1 available=1\n",
                     "SDRplay enumeration unavailable: " + missing_message + "\n", ""}},
        ListingCase{"Rx888FailsAfterPrintingNoError", "", "", 1, true,
                    {"0: RX-888 MKII serial=R0 available=1\n", "", ""}},
        ListingCase{"Rx888FailsBeforePrinting", "", "", 0, true, {"No receivers found\n", "", ""}}),
    [](auto const& info) { return info.param.name; });

TEST(DeviceListing, EnumerationCallsAndReleasesTheApi)
{
    StandinSetup setup({{"DEVICES", "2:B100:1"}});
    Listing const listing = run_listing(standin_options(), {});
    EXPECT_EQ(listing.out, "0: RSP2 serial=B100 available=1\n");
    EXPECT_EQ(setup.trace(), (Trace{"Open", "ApiVersion", "LockDeviceApi", "GetDevices", "UnlockDeviceApi", "Close"}));
}

TEST(DeviceListing, OtherBackends)
{
    Options options = standin_options();
    options.backend = "rtl-sdr";
    EXPECT_EQ(run_listing(options, rx888_lines(1)).error,
              "RTL device selection belongs to the external server: run rtl_tcp -d INDEX_OR_SERIAL; --list-devices is "
              "SDRplay-only");

    options.backend = "rx888";
    EXPECT_EQ(run_listing(options, rx888_lines(1)).error, "RX-888 device diagnostics are not available in this build");
    Listing const diagnostics =
        run_listing(options, rx888_lines(1), [](Options const&, std::ostream& out) { out << "diagnostics\n"; });
    EXPECT_EQ(diagnostics.out, "diagnostics\n");
    EXPECT_EQ(diagnostics.error, "");
}
