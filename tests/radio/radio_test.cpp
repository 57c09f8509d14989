#include "radio/radio.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "radio/sample_queue.hpp"
#include "tests/support/error_of.hpp"

namespace {

// The least a backend must write: streaming and the two rates. Everything else is the base's.
class PlainRadio : public Radio {
public:
    void start(SampleQueue&) override {}
    void stop() override {}
    double sample_rate() const override { return 2048000.0; }
    double tuning_offset() const override { return 250000.0; }
};

// A backend that can retune: the base retune must reach its check through the virtual call.
class RetuningRadio : public PlainRadio {
public:
    void check_retune(double hz) override
    {
        checked_hz = hz;
        throw std::runtime_error("checked");
    }
    double checked_hz = 0.0;
};

}  // namespace

TEST(Radio, BaseDefaultsForABackendWithoutExtras)
{
    PlainRadio radio;
    EXPECT_EQ(radio.center_for(14074000.0), 13824000.0);

    std::string reason = "left over from an earlier call";
    EXPECT_EQ(radio.receive_engine(131072, reason), nullptr);
    EXPECT_EQ(reason, "not available for this radio");

    EXPECT_EQ(error_of([&] { radio.check_retune(7e6); }),
              "Live RF retuning is currently supported for local SDRplay receivers");
    EXPECT_EQ(error_of([&] { radio.retune(7e6); }),
              "Live RF retuning is currently supported for local SDRplay receivers");
    EXPECT_EQ(error_of([&] { radio.control("RADIO STATUS"); }),
              "This receiver backend does not support live hardware control");
    EXPECT_NO_THROW(radio.report_overload());
}

TEST(Radio, BaseRetuneGoesThroughTheBackendsCheck)
{
    RetuningRadio radio;
    Radio& base = radio;
    EXPECT_EQ(error_of([&] { base.retune(7074000.0); }), "checked");
    EXPECT_EQ(radio.checked_hz, 7074000.0);
}
