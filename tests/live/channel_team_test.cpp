// The ChannelTeam's parallel-for: every index of every dispatch runs exactly once, with the job
// and count of its own dispatch, however late a worker wakes. Run it under ThreadSanitizer too:
// the stress test is where a worker racing into the next dispatch shows.
#include "live/channel_team.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Workers {
    unsigned hardware;
    unsigned workers;
};

class ChannelTeamSize : public testing::TestWithParam<Workers> {};

TEST_P(ChannelTeamSize, OneWorkerPerEightThreadsUpToFour)
{
    EXPECT_EQ(ChannelTeam::threads_for(GetParam().hardware), GetParam().workers);
}

INSTANTIATE_TEST_SUITE_P(Machines, ChannelTeamSize,
                         testing::Values(Workers {0, 1}, Workers {1, 1}, Workers {4, 1}, Workers {7, 1},
                                         Workers {8, 1}, Workers {15, 1}, Workers {16, 2}, Workers {23, 2},
                                         Workers {24, 3}, Workers {31, 3}, Workers {32, 4}, Workers {64, 4},
                                         Workers {256, 4}));

TEST(ChannelTeam, RunsEveryIndexOnceOnSeveralThreads)
{
    ChannelTeam team(3);
    EXPECT_EQ(team.worker_count(), 3u);
    std::vector<std::atomic<int>> hits(64);
    std::vector<std::thread::id> ran_on(64);
    std::atomic<int> busy {0};
    std::atomic<int> most_at_once {0};
    team.run(64, [&](std::uint64_t i) {
        int const now = ++busy;
        for (int seen = most_at_once.load(); now > seen && !most_at_once.compare_exchange_weak(seen, now);) {
        }
        // Long enough for every thread to join in.
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        ++hits[i];
        ran_on[i] = std::this_thread::get_id();
        --busy;
    });
    for (std::size_t i = 0; i < hits.size(); ++i)
        EXPECT_EQ(hits[i].load(), 1) << i;
    EXPECT_GT(most_at_once.load(), 1) << "the workers took part";
    bool caller_took_part = false;
    for (std::thread::id const id : ran_on)
        caller_took_part = caller_took_part || id == std::this_thread::get_id();
    EXPECT_TRUE(caller_took_part);
}

// Thousands of dispatches of changing sizes back to back, each with its own job object that
// dies when run returns. A worker that woke late and took an index of the next dispatch with the
// previous job or count would hit a dead job, run an index twice or never, or leave the
// dispatcher waiting for good.
TEST(ChannelTeam, BackToBackDispatchesNeverMixGenerations)
{
    ChannelTeam team(ChannelTeam::threads_for(64));
    std::vector<std::atomic<std::uint64_t>> hits(40);
    std::uint64_t expected_total = 0;
    for (std::uint64_t round = 0; round < 20000; ++round) {
        std::uint64_t const count = 1 + (round * 7919) % hits.size();
        auto owner = std::make_unique<std::uint64_t>(round);
        std::uint64_t const* alive = owner.get();
        team.run(count, [alive, round, count, &hits](std::uint64_t i) {
            ASSERT_EQ(*alive, round);
            ASSERT_LT(i, count);
            hits[i].fetch_add(1, std::memory_order_relaxed);
        });
        owner.reset();
        expected_total += count;
        ASSERT_EQ(hits[0].load(), round + 1) << "round " << round;
    }
    std::uint64_t total = 0;
    for (auto const& hit : hits)
        total += hit.load();
    EXPECT_EQ(total, expected_total);
}

TEST(ChannelTeam, AFailingJobIsRethrownAfterEveryIndexRan)
{
    ChannelTeam team(2);
    std::atomic<int> ran {0};
    try {
        team.run(10, [&ran](std::uint64_t i) {
            ++ran;
            if (i == 3)
                throw std::runtime_error("job 3 failed");
        });
        FAIL() << "the failure was lost";
    } catch (std::runtime_error const& error) {
        EXPECT_STREQ(error.what(), "job 3 failed");
    }
    EXPECT_EQ(ran.load(), 10);
    ran = 0;
    team.run(5, [&ran](std::uint64_t) { ++ran; });
    EXPECT_EQ(ran.load(), 5) << "the team goes on";
}

TEST(ChannelTeam, NothingToDoReturnsAtOnceAndIdleWorkersStop)
{
    auto team = std::make_unique<ChannelTeam>(4);
    team->run(0, [](std::uint64_t) { FAIL(); });
    team.reset();  // joins four sleeping workers
    SUCCEED();
}

}  // namespace
