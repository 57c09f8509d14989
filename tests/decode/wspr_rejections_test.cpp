#include "decode/wspr_rejections.hpp"

#include <gtest/gtest.h>

#include "report/wspr_reporter.hpp"

namespace {

TEST(WsprRejections, CountsInvalidSpotsAndWritesOnlyTheFirst)
{
    WsprRejections rejections;
    EXPECT_EQ(rejections.summary(), "");

    ::testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i)
        rejections.guard([] { throw InvalidWsprSpot(); });
    rejections.guard([] {});
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "WSPRnet spot rejected: Invalid WSPRnet spot; reception continues\n");
    EXPECT_EQ(rejections.count(), 3u);
    EXPECT_EQ(rejections.summary(), "WSPRnet rejected 3 invalid spots");
}

TEST(WsprRejections, OtherErrorsStillEndTheJob)
{
    WsprRejections rejections;
    EXPECT_THROW(rejections.guard([] { throw std::runtime_error("WSPRnet queue broken"); }),
                 std::runtime_error);
    EXPECT_EQ(rejections.count(), 0u);
}

}  // namespace
