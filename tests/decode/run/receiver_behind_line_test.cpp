#include "decode/run/receiver_behind_line.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>

namespace {

struct BehindCase {
    const char* name;
    ReceiveBacklog backlog;
    std::optional<std::string> line;
};

void PrintTo(BehindCase const& c, std::ostream* os) { *os << c.name; }

class ReceiverBehindLine : public testing::TestWithParam<BehindCase> {};

TEST_P(ReceiverBehindLine, SaysNothingIsLostOnlyWhenNothingWasDropped)
{
    EXPECT_EQ(receiver_behind_line(GetParam().backlog), GetParam().line);
}

INSTANTIATE_TEST_SUITE_P(
    Table, ReceiverBehindLine,
    testing::Values(
        BehindCase{"keeping_up", {0.999, 8, 0, 60.0, 64000}, std::nullopt},
        BehindCase{"a_second_behind", {1.0, 8, 0, 60.0, 64000},
                   "Receiver is 1 s behind (buffer 8 s): decodes are delayed, nothing is lost"},
        BehindCase{"behind_and_dropping", {8.0, 8, 16000, 60.2, 64000},
                   "Receiver is 8 s behind (buffer 8 s): decodes are delayed, and 0.25 s of IQ (16000 samples) "
                   "were dropped in the last 60 s"},
        BehindCase{"dropping_from_the_start", {1.5, 8, 128000, std::nullopt, 64000},
                   "Receiver is 1.5 s behind (buffer 8 s): decodes are delayed, and 2 s of IQ (128000 samples) "
                   "were dropped since the receiver started"},
        // Drops are told even when the backlog has gone down again since.
        BehindCase{"caught_up_after_dropping", {0.2, 0.5, 2000000, 74.6, 2000000},
                   "Receive buffer (0.5 s) overflowed: 1 s of IQ (2000000 samples) were dropped in the last 75 s"}),
    [](testing::TestParamInfo<BehindCase> const& info) { return std::string(info.param.name); });

}  // namespace
