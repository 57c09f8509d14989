#include "core/receiver_label.hpp"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(ReceiverLabel, NamesTheReceiverOrTheRecordingReplayed)
{
    struct Case {
        const char* backend;
        const char* serial;
        const char* iq_file;
        const char* label;
    };
    Case const cases[] = {
        {"sdrplay", "", "", "sdrplay"},
        {"sdrplay", "1234ABCD", "", "sdrplay 1234ABCD"},
        {"rx888", "", "", "rx888"},
        {"rtl-sdr", "", "", "rtl-sdr"},
        // A replay involves no receiver of the backend option, its default or a given one.
        {"sdrplay", "", "/data/20m/capture.iq", "iq-file capture.iq"},
        {"rx888", "R0", "capture.iq", "iq-file capture.iq"},
    };
    for (Case const& c : cases) {
        Options options;
        options.backend = c.backend;
        options.serial = c.serial;
        options.iq_file = c.iq_file;
        EXPECT_EQ(receiver_label(options), c.label) << c.backend << " " << c.serial << " " << c.iq_file;
    }
}

}  // namespace
