// FX3 boot images: the parser's table of good and bad images, the checks on the file itself,
// the firmware search order, and uploads into the stand-in's bootloaders down to the bytes
// that land in their memory.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "core/options.hpp"
#include "rx888/fx3_firmware.hpp"
#include "rx888/usb_library.hpp"
#include "tests/rx888/rx888_standin.hpp"
#include "tests/support/error_of.hpp"

using testing::ElementsAre;
using testing::HasSubstr;

namespace {

std::string hex(std::vector<std::uint8_t> const& bytes)
{
    static char const digits[] = "0123456789abcdef";
    std::string text;
    for (std::uint8_t b : bytes) {
        text += digits[b >> 4];
        text += digits[b & 15];
    }
    return text;
}

struct ParseCase {
    std::string name;
    std::vector<std::uint8_t> bytes;
    std::string error;                    // empty: parsed
    std::vector<std::size_t> section_sizes;  // bytes, in order
    std::uint32_t entry = 0;
};

void PrintTo(ParseCase const& c, std::ostream* out) { *out << c.name; }

class Fx3ImageParse : public testing::TestWithParam<ParseCase> {};

TEST_P(Fx3ImageParse, ReadsSectionsAndEntryOrRefuses)
{
    ParseCase const& c = GetParam();
    if (!c.error.empty()) {
        EXPECT_EQ(error_of([&] { parse_fx3_image(c.bytes, "fw.img"); }), c.error);
        return;
    }
    Fx3Image const image = parse_fx3_image(c.bytes, "fw.img");
    std::vector<std::size_t> sizes;
    for (Fx3Image::Section const& section : image.sections)
        sizes.push_back(section.data.size());
    EXPECT_EQ(sizes, c.section_sizes);
    EXPECT_EQ(image.entry, c.entry);
}

// The bytes with `extra` zero bytes added (negative: that many taken off the end).
std::vector<std::uint8_t> with_tail(std::vector<std::uint8_t> bytes, int extra)
{
    bytes.resize(static_cast<std::size_t>(static_cast<int>(bytes.size()) + extra), 0);
    return bytes;
}

// A section header claiming 2^30 words: 4 x n wraps to 0 in 32 bits.
std::vector<std::uint8_t> huge_section()
{
    std::vector<std::uint8_t> bytes = {'C', 'Y', 0, 0, 0x00, 0x00, 0x00, 0x40, 0x00, 0x00, 0x00, 0x40};
    return with_tail(bytes, 16);
}

std::string const kSignature = "RX-888 firmware is not a Cypress FX3 image (missing 'CY' signature): fw.img";

INSTANTIATE_TEST_SUITE_P(
    Table, Fx3ImageParse,
    testing::Values(
        ParseCase{"entry_only", fx3_image_bytes({}, 0x40000100), "", {}, 0x40000100},
        ParseCase{"two_sections", fx3_image_bytes({{0x40000000, pattern(4100, 1)}, {0x40008000, pattern(8, 2)}}, 0x40000040),
                  "", {4100, 8}, 0x40000040},
        ParseCase{"no_signature", {'C', 'X', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, kSignature, {}, 0},
        ParseCase{"shorter_than_a_header", {'C', 'Y', 0, 0, 0, 0, 0}, kSignature, {}, 0},
        ParseCase{"section_runs_past_the_end", with_tail(fx3_image_bytes({{0x40000000, pattern(64, 1)}}, 0, false), -4),
                  "Truncated RX-888 firmware section", {}, 0},
        ParseCase{"last_section_ends_the_file", fx3_image_bytes({{0x40000000, pattern(64, 1)}}, 0, false),
                  "Truncated RX-888 firmware image", {}, 0},
        ParseCase{"three_stray_bytes", with_tail(fx3_image_bytes({{0x40000000, pattern(64, 1)}}, 0, false), 3),
                  "Truncated RX-888 firmware image", {}, 0},
        ParseCase{"half_a_header", with_tail(fx3_image_bytes({{0x40000000, pattern(64, 1)}}, 0, false), 5),
                  "Truncated RX-888 firmware image", {}, 0},
        ParseCase{"word_count_that_wraps", huge_section(), "Truncated RX-888 firmware section", {}, 0}),
    [](testing::TestParamInfo<ParseCase> const& info) { return info.param.name; });

TEST(Fx3ImageFile, OnlyARegularFileOfAtMostOneMebibyte)
{
    TempDir dir;
    EXPECT_EQ(error_of([&] { read_fx3_image_file((dir / "missing.img").string()); }),
              "RX-888 firmware image not found: " + (dir / "missing.img").string());
    std::filesystem::create_directory(dir / "folder.img");
    EXPECT_EQ(error_of([&] { read_fx3_image_file((dir / "folder.img").string()); }),
              "RX-888 firmware image is not a regular file: " + (dir / "folder.img").string());
    // A FIFO with no writer must not hang the start-up.
    ASSERT_EQ(::mkfifo((dir / "fifo.img").c_str(), 0600), 0);
    EXPECT_EQ(error_of([&] { read_fx3_image_file((dir / "fifo.img").string()); }),
              "RX-888 firmware image is not a regular file: " + (dir / "fifo.img").string());
    std::string const big = write_image(dir, "big.img", std::vector<std::uint8_t>(fx3_image_size_limit + 1, 0));
    EXPECT_EQ(error_of([&] { read_fx3_image_file(big); }), "RX-888 firmware image is larger than 1 MiB: " + big);
    std::vector<std::uint8_t> const largest(fx3_image_size_limit, 7);
    EXPECT_EQ(read_fx3_image_file(write_image(dir, "largest.img", largest)), largest);
}

TEST(Rx888FirmwareSearch, CandidatesInOrder)
{
    std::string const local = "/usr/local/share/norvane/firmware/SDDC_FX3.img";
    std::string const system = "/usr/share/norvane/firmware/SDDC_FX3.img";
    EXPECT_THAT(rx888_firmware_candidates("/x/data", "/home/u"),
                ElementsAre("/x/data/norvane/firmware/SDDC_FX3.img", local, system));
    EXPECT_THAT(rx888_firmware_candidates("", "/home/u"),
                ElementsAre("/home/u/.local/share/norvane/firmware/SDDC_FX3.img", local, system));
    EXPECT_THAT(rx888_firmware_candidates("", ""), ElementsAre(local, system));
}

// Sets an environment variable for the life of the object.
class ScopedEnvironment {
public:
    ScopedEnvironment(char const* name, std::string const& value) : name_(name)
    {
        if (char const* old = std::getenv(name)) {
            had_ = true;
            old_ = old;
        }
        setenv(name, value.c_str(), 1);
    }
    ~ScopedEnvironment()
    {
        if (had_)
            setenv(name_, old_.c_str(), 1);
        else
            unsetenv(name_);
    }

private:
    char const* name_;
    bool had_ = false;
    std::string old_;
};

TEST(Rx888FirmwareSearch, TheUsersDataDirectoryComesFirstAndHidesHome)
{
    TempDir data;
    TempDir home;
    std::filesystem::create_directories(data / "norvane/firmware");
    std::filesystem::create_directories(home / ".local/share/norvane/firmware");
    std::string const in_home = write_image(home, ".local/share/norvane/firmware/SDDC_FX3.img", fx3_image_bytes({}, 0));
    ScopedEnvironment const home_variable("HOME", home.path().string());
    {
        ScopedEnvironment const data_variable("XDG_DATA_HOME", data.path().string());
        // The data directory has no image: the home one is not looked at.
        EXPECT_NE(find_rx888_firmware(), in_home);
        std::string const in_data = write_image(data, "norvane/firmware/SDDC_FX3.img", fx3_image_bytes({}, 0));
        EXPECT_EQ(find_rx888_firmware(), in_data);
    }
    ScopedEnvironment const empty_data("XDG_DATA_HOME", "");
    EXPECT_EQ(find_rx888_firmware(), in_home);
    Options options;
    options.rx888_firmware = "/given/SDDC_FX3.img";
    EXPECT_EQ(rx888_firmware_path(options), "/given/SDDC_FX3.img");
    options.rx888_firmware.clear();
    EXPECT_EQ(rx888_firmware_path(options), in_home);
}

TEST(Fx3Upload, WritesEverySectionInChunksThenJumps)
{
    UsbStandin standin{{"DEVICES", "boot:B1:2:1.4:app-serial=SN1"}};
    std::vector<std::uint8_t> const first = pattern(4100, 3);  // 1025 words
    std::vector<std::uint8_t> const second = pattern(12, 9);
    std::string const path =
        write_image(standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, first}, {0x40010000, second}}, 0x40000124));
    auto usb = UsbLibrary::load(usb_standin_path());
    ensure_rx888_firmware(*usb, path);

    // 4096 bytes at 0x40000000, the last 4 at 0x40001000, then the second section, then the
    // entry jump without data.
    EXPECT_THAT(standin.log_of("control 40 a0"),
                ElementsAre("control 40 a0 0000 4000 4096", "control 40 a0 1000 4000 4 " + hex({first.end() - 4, first.end()}),
                            "control 40 a0 0000 4001 12 " + hex(second), "control 40 a0 0124 4000 0"));
    EXPECT_THAT(standin.memory(), ElementsAre("device usb-2-1-4", "entry 0x40000124", "0x40000000 " + hex(first),
                                              "0x40010000 " + hex(second)));
    // It came back as the receiver, under its serial.
    UsbDeviceList const list(*usb);
    ASSERT_EQ(list.size(), 1u);
    libusb_device_descriptor descriptor{};
    usb->get_device_descriptor(list[0], &descriptor);
    EXPECT_EQ(descriptor.idProduct, rx888_application_product);
}

TEST(Fx3Upload, EveryBootloaderGetsItsOwnPass)
{
    UsbStandin standin{{"DEVICES", "boot:B1:2:1.4;app:SN3:2:1.6;boot:B2:2:1.5"}};
    std::string const path = write_image(standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(8, 1)}}, 0x40000000));
    StderrCapture err;
    auto usb = UsbLibrary::load(usb_standin_path());
    ensure_rx888_firmware(*usb, path);
    EXPECT_EQ(standin.log_of("jump ").size(), 2u);
    std::string const announcement = "RX-888: uploading FX3 firmware " + path + " to the bootloader device (04b4:00f3)\n";
    EXPECT_EQ(err.text(), announcement + announcement);
    UsbDeviceList const list(*usb);
    int applications = 0;
    for (std::size_t i = 0; i < list.size(); ++i) {
        libusb_device_descriptor descriptor{};
        usb->get_device_descriptor(list[i], &descriptor);
        applications += descriptor.idProduct == rx888_application_product ? 1 : 0;
    }
    EXPECT_EQ(applications, 3);
}

TEST(Fx3Upload, NothingHappensWithoutABootloader)
{
    UsbStandin standin{{"DEVICES", "app:SN1:2:1.4"}};
    auto usb = UsbLibrary::load(usb_standin_path());
    ensure_rx888_firmware(*usb, "/does/not/matter.img");
    EXPECT_TRUE(standin.log_of("open").empty());
    EXPECT_TRUE(standin.log_of("control").empty());
}

TEST(Fx3Upload, ABadImageWritesNothing)
{
    UsbStandin standin{{"DEVICES", "boot:B1:2:1.4"}};
    std::string const path =
        write_image(standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(64, 1)}}, 0, false));
    StderrCapture err;
    auto usb = UsbLibrary::load(usb_standin_path());
    EXPECT_EQ(error_of([&] { ensure_rx888_firmware(*usb, path); }), "Truncated RX-888 firmware image");
    EXPECT_TRUE(standin.log_of("control").empty());
    EXPECT_EQ(standin.log_of("open ").size(), standin.log_of("close ").size());
}

TEST(Fx3Upload, ADeviceThatNeverComesBackIsReported)
{
    UsbStandin standin{{"DEVICES", "boot:B1:2:1.4:reenumerate=-1"}};
    std::string const path = write_image(standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(8, 1)}}, 0x40000000));
    StderrCapture err;
    auto usb = UsbLibrary::load(usb_standin_path());
    EXPECT_EQ(error_of([&] { ensure_rx888_firmware(*usb, path); }),
              "RX-888 firmware uploaded, but the application device (04b4:00f1) did not re-enumerate; replug the "
              "receiver");
}

TEST(Fx3Upload, AStopEndsTheWaitAtOnce)
{
    UsbStandin standin{{"DEVICES", "boot:B1:2:1.4:reenumerate=-1"}};
    std::string const path = write_image(standin.dir(), "fw.img", fx3_image_bytes({{0x40000000, pattern(8, 1)}}, 0x40000000));
    StderrCapture err;
    auto usb = UsbLibrary::load(usb_standin_path());
    std::atomic<bool> stop{false};
    std::thread stopper([&] {
        standin.wait_for_log("jump ");
        stop = true;
    });
    auto const begin = std::chrono::steady_clock::now();
    EXPECT_NO_THROW(ensure_rx888_firmware(*usb, path, [&] { return stop.load(); }));
    double const waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    stopper.join();
    // Without the stop the wait would last five seconds.
    EXPECT_LT(waited, 2.0);
}

TEST(Fx3Upload, AnUnopenableBootloaderIsAnError)
{
    UsbStandin standin{{"DEVICES", "boot:B1:2:1.4:open=fail"}};
    auto usb = UsbLibrary::load(usb_standin_path());
    EXPECT_EQ(error_of([&] { ensure_rx888_firmware(*usb, "/x.img"); }),
              "RX-888 open RX-888 bootloader (check USB permissions): LIBUSB_ERROR_ACCESS");
}

}  // namespace
