// A receiver whose transfers never come back, not even when cancelled: stopping gives up
// after a bounded wait and leaves those transfers (and everything they may still touch) to
// libusb rather than freeing memory it owns. Its own file: the stand-in's state is left
// behind in the process on purpose.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <vector>

#include "radio/sample_queue.hpp"
#include "rx888/rx888_radio.hpp"
#include "tests/rx888/rx888_standin.hpp"

namespace {

TEST(Rx888Wedge, StopWaitsABoundedTimeAndFreesNothingLibusbStillOwns)
{
    StderrCapture err;
    UsbStandin standin{{"SCRIPT", "20:wedge"}, {"SLOW", "4"}};
    Options options = rx888_options();
    options.rx888_rate = "half";
    options.sample_rate = 4000000;
    SampleQueue queue;
    auto radio = make_rx888_radio(options);
    queue.configure(radio->sample_rate(), 8);
    radio->start(queue);
    ASSERT_TRUE(standin.wait_for_log("event 20 wedge"));
    auto const begin = std::chrono::steady_clock::now();
    radio->stop();
    double const waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    EXPECT_GT(waited, 2.5);
    EXPECT_LT(waited, 6.0);
    EXPECT_THAT(err.text(), testing::HasSubstr(" USB transfers did not finish after they were cancelled; they are left "
                                               "to libusb\n"));
    // The stand-in aborts the process when a transfer in flight is freed or its context ends.
    radio.reset();
    EXPECT_TRUE(standin.log_of("exit").empty());
}

}  // namespace
