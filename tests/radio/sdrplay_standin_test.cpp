// The stand-in library checks what the vendor's library would: these tests drive it through the
// raw API, as a caller other than SdrRadio might, and show that a caller who writes the records
// in the wrong places, or with values the device lacks, cannot start a stream.

#include "radio/sdrplay_api.hpp"
#include "radio/sdrplay_library.hpp"
#include "tests/radio/sdrplay_standin.hpp"

#include <gtest/gtest.h>

#include <cstddef>
#include <cstring>
#include <map>
#include <stdexcept>
#include <ostream>
#include <string>

namespace {

void ignore_stream(std::int16_t*, std::int16_t*, sdrplay::StreamRecord*, unsigned, unsigned, void*) {}
void ignore_event(int, int, sdrplay::EventRecord*, void*) {}

// One device selected on the stand-in, its records at hand; released on destruction.
class Session {
public:
    explicit Session(StandinSetup& setup) : setup_(setup), library_(standin_path())
    {
        SdrplayApiLock lock(library_);
        unsigned count = 0;
        library_.check("Enumerate devices", library_.get_devices(devices_, &count, sdrplay::MAX_DEVICES));
        if (count != 1)
            throw std::runtime_error("expected one device");
        library_.check("Select receiver", library_.select_device(&devices_[0]));
        lock.unlock();
        library_.check("Get receiver parameters", library_.get_device_params(devices_[0].handle, &params_));
    }
    ~Session()
    {
        if (streaming_)
            library_.uninit(devices_[0].handle);
        library_.release_device(&devices_[0]);
    }
    Session(Session const&) = delete;
    Session& operator=(Session const&) = delete;

    sdrplay::DeviceSettings& device() { return *params_->device; }
    sdrplay::ChannelSettings& channel() { return *params_->tuner_a; }

    // Everything a receiver at 14.074 MHz needs, each in its place.
    void configure()
    {
        device().sample_rate.hz = 2000000;
        channel().tuner.rf.hz = 14074000;
        channel().tuner.bandwidth_khz = 1536;
        channel().tuner.if_khz = sdrplay::IF_ZERO;
        channel().tuner.lo_mode = sdrplay::LO_AUTO;
    }

    sdrplay::ErrorCode init()
    {
        sdrplay::ErrorCode const error = library_.init(devices_[0].handle, &callbacks_, nullptr);
        streaming_ = error == sdrplay::SUCCESS;
        return error;
    }

    sdrplay::ErrorCode update(std::uint32_t reason, std::uint32_t extension)
    {
        return library_.update(devices_[0].handle, sdrplay::TUNER_A, reason, extension);
    }

    std::string init_line() const
    {
        Trace const lines = setup_.trace_of("Init");
        return lines.size() == 1 ? lines[0] : "(" + std::to_string(lines.size()) + " Init lines)";
    }

private:
    StandinSetup& setup_;
    SdrplayLibrary library_;
    sdrplay::Device devices_[sdrplay::MAX_DEVICES] = {};
    sdrplay::DeviceParams* params_ = nullptr;
    sdrplay::Callbacks callbacks_{&ignore_stream, &ignore_stream, &ignore_event};
    bool streaming_ = false;
};

template <typename Value>
void put(void* record, std::size_t offset, Value value)
{
    std::memcpy(static_cast<char*>(record) + offset, &value, sizeof value);
}

template <typename Value>
std::string text_at(void const* record, std::size_t offset)
{
    Value value;
    std::memcpy(&value, static_cast<char const*>(record) + offset, sizeof value);
    return std::to_string(value);
}

}  // namespace

// A caller whose declarations followed a field list instead of the library's layout (the sample
// rate first in the device part, the RF frequency first in the channel part, every later field
// shifted) fills the records the way norvane once did. The library finds a sample rate of 0 and
// the halves of a double where its bandwidth and IF codes belong, and refuses to start.
TEST(SdrplayStandin, CallerWritingTheWrongFieldsCannotStart)
{
    StandinSetup setup({{"BLOCKS", "1"}});
    Session session(setup);
    void* device = &session.device();
    void* channel = &session.channel();
    put<double>(device, 0, 2000000.0);  // meant as the sample rate: lands in ppm
    put<double>(device, 8, 0.0);        // meant as ppm: lands in the sample rate
    put<int>(device, 16, sdrplay::TRANSFER_BULK);
    put<double>(channel, 0, 14074000.0);  // meant as the RF frequency: lands on the bandwidth and IF codes
    put<int>(channel, 8, 1536);           // meant as the bandwidth: lands in the LO mode
    put<int>(channel, 12, sdrplay::IF_ZERO);
    put<int>(channel, 16, sdrplay::LO_AUTO);
    std::string const bandwidth = text_at<int>(channel, 0);
    std::string const intermediate = text_at<int>(channel, 4);

    EXPECT_EQ(session.init(), sdrplay::FAIL);
    EXPECT_EQ(session.init_line(), "Init refused fs=0 bw=" + bandwidth + " if=" + intermediate);
}

TEST(SdrplayStandin, CallerWritingTheRightFieldsStarts)
{
    StandinSetup setup({{"BLOCKS", "1"}});
    Session session(setup);
    session.configure();
    EXPECT_EQ(session.init(), sdrplay::SUCCESS);
    std::map<std::string, std::string> const values = trace_values(session.init_line());
    EXPECT_EQ(values.at("fs"), "2000000");
    EXPECT_EQ(values.at("rf"), "14074000");
    EXPECT_EQ(values.at("bw"), "1536");
    EXPECT_EQ(values.at("if"), "0");
}

// ---- Init's range checks, one value at a time ----

struct RangeCase {
    char const* name;
    void (*write)(sdrplay::DeviceSettings&, sdrplay::ChannelSettings&);
    char const* refused;  // the Init line's refusal, empty when Init succeeds
};

void PrintTo(RangeCase const& c, std::ostream* os) { *os << c.name; }

class SdrplayStandinRange : public testing::TestWithParam<RangeCase> {};

TEST_P(SdrplayStandinRange, InitRefusesWhatTheDeviceLacks)
{
    RangeCase const& c = GetParam();
    StandinSetup setup({{"BLOCKS", "1"}});
    Session session(setup);
    session.configure();
    c.write(session.device(), session.channel());
    std::string const refused = c.refused;
    EXPECT_EQ(session.init(), refused.empty() ? sdrplay::SUCCESS : sdrplay::FAIL);
    if (refused.empty())
        EXPECT_EQ(session.init_line().rfind("Init fs=", 0), 0u) << session.init_line();
    else
        EXPECT_EQ(session.init_line(), "Init refused " + refused);
}

using D = sdrplay::DeviceSettings;
using C = sdrplay::ChannelSettings;

INSTANTIATE_TEST_SUITE_P(
    Table, SdrplayStandinRange,
    testing::Values(
        RangeCase{"RfAt1k", [](D&, C& c) { c.tuner.rf.hz = 1000; }, ""},
        RangeCase{"RfBelow1k", [](D&, C& c) { c.tuner.rf.hz = 999; }, "rf=999"},
        RangeCase{"RfAt2G", [](D&, C& c) { c.tuner.rf.hz = 2e9; }, ""},
        RangeCase{"RfAbove2G", [](D&, C& c) { c.tuner.rf.hz = 2000000001; }, "rf=2000000001"},
        RangeCase{"RateAt10M", [](D& d, C&) { d.sample_rate.hz = 10e6; }, ""},
        RangeCase{"RateAbove10M", [](D& d, C&) { d.sample_rate.hz = 10000001; }, "fs=10000001"},
        RangeCase{"RateBelow2M", [](D& d, C&) { d.sample_rate.hz = 1999999; }, "fs=1999999"},
        RangeCase{"Bandwidth8000", [](D&, C& c) { c.tuner.bandwidth_khz = 8000; }, ""},
        RangeCase{"BandwidthNotACode", [](D&, C& c) { c.tuner.bandwidth_khz = 1000; }, "bw=1000"},
        RangeCase{"LowIf2048", [](D&, C& c) { c.tuner.if_khz = 2048; }, ""},
        RangeCase{"IfNotACode", [](D&, C& c) { c.tuner.if_khz = 100; }, "if=100"},
        // Fresh records hold an IF code the library refuses: a caller must choose one.
        RangeCase{"IfLeftUnset", [](D&, C& c) { c.tuner.if_khz = -1; }, "if=-1"},
        RangeCase{"Decimation64", [](D&, C& c) { c.decimation = {1, 64, 0}; }, ""},
        RangeCase{"DecimationNotAPowerOfTwo", [](D&, C& c) { c.decimation = {1, 3, 0}; }, "dec_factor=3"},
        RangeCase{"DecimationFactorUnusedWhenOff", [](D&, C& c) { c.decimation = {0, 3, 0}; }, ""},
        RangeCase{"SeveralAtOnce",
                  [](D& d, C& c) {
                      d.sample_rate.hz = 0;
                      c.tuner.rf.hz = 0;
                  },
                  "rf=0 fs=0"}),
    [](auto const& info) { return info.param.name; });

// Update takes over only the fields its flags name: a change made without its flag is reported
// and never reaches the device, which is how the tests of SdrRadio see a wrong flag.
TEST(SdrplayStandin, UpdateTakesOverOnlyTheFlaggedFields)
{
    StandinSetup setup({{"BLOCKS", "1"}});
    Session session(setup);
    session.configure();
    ASSERT_EQ(session.init(), sdrplay::SUCCESS);
    session.channel().tuner.gain.reduction_db = 33;
    session.device().ppm = 1.5;
    EXPECT_EQ(session.update(sdrplay::UPDATE_GAIN_REDUCTION, sdrplay::UPDATE_EXT_NONE), sdrplay::SUCCESS);
    // The ppm change is still pending: the next update of anything else reports it again.
    session.channel().tuner.rf.hz = 7074000;
    EXPECT_EQ(session.update(sdrplay::UPDATE_RF_FREQUENCY, sdrplay::UPDATE_EXT_NONE), sdrplay::SUCCESS);
    EXPECT_EQ(session.update(sdrplay::UPDATE_PPM, sdrplay::UPDATE_EXT_NONE), sdrplay::SUCCESS);
    EXPECT_EQ(setup.trace_of("Update"), (Trace{"Update tuner=1 reason=0x8000 ext=0 gr=33 lna=2 ignored=ppm",
                                               "Update tuner=1 reason=0x20000 ext=0 rf=7074000 ignored=ppm",
                                               "Update tuner=1 reason=0x2 ext=0 ppm=1.5"}));
}

TEST(SdrplayStandin, UpdateRefusesAnRfFrequencyOutsideTheDevice)
{
    StandinSetup setup({{"BLOCKS", "1"}});
    Session session(setup);
    session.configure();
    ASSERT_EQ(session.init(), sdrplay::SUCCESS);
    session.channel().tuner.rf.hz = 2100000000;
    EXPECT_EQ(session.update(sdrplay::UPDATE_RF_FREQUENCY, sdrplay::UPDATE_EXT_NONE), sdrplay::FAIL);
    EXPECT_EQ(setup.trace_of("Update"), Trace{"Update tuner=1 reason=0x20000 ext=0 rf=2100000000 refused"});
}
