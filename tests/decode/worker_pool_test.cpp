#include "decode/worker_pool.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <atomic>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

struct SplitCase {
    std::uint64_t count;
    std::uint64_t parts;
    std::vector<WorkRange> expected;
};

void PrintTo(SplitCase const& c, std::ostream* os) { *os << c.count << " in " << c.parts << " parts"; }

class SplitRanges : public testing::TestWithParam<SplitCase> {};

TEST_P(SplitRanges, CutsIntoRangesOfSixteens)
{
    EXPECT_EQ(split_ranges(GetParam().count, GetParam().parts), GetParam().expected);
}

std::vector<WorkRange> even(std::uint64_t n, std::uint64_t length)
{
    std::vector<WorkRange> ranges;
    for (std::uint64_t i = 0; i < n; ++i)
        ranges.push_back({i * length, length});
    return ranges;
}

INSTANTIATE_TEST_SUITE_P(
    Table, SplitRanges,
    testing::Values(SplitCase{0, 4, {{0, 0}}},
                    SplitCase{20, 4, {{0, 16}, {16, 4}}},
                    SplitCase{1024, 8, even(8, 128)},
                    SplitCase{1024, 3, {{0, 336}, {336, 336}, {672, 336}, {1008, 16}}},
                    SplitCase{96, 96, even(6, 16)},
                    SplitCase{40, 40, {{0, 16}, {16, 16}, {32, 8}}},
                    SplitCase{5, 1, {{0, 5}}},
                    SplitCase{100, 0, {{0, 96}, {96, 4}}},
                    SplitCase{1024, 1, {{0, 1024}}}));

class WorkerPoolRun : public testing::TestWithParam<std::uint32_t> {};

TEST_P(WorkerPoolRun, RunsEveryIndexExactlyOnce)
{
    WorkerPool pool(GetParam());
    EXPECT_EQ(pool.thread_count(), GetParam() > 1 ? GetParam() - 1 : 0);
    for (std::uint64_t count : {0u, 1u, 2u, 7u, 1000u}) {
        std::vector<std::atomic<int>> hits(count);
        pool.run(count, [&](std::uint64_t i) { hits[i].fetch_add(1); });
        for (std::uint64_t i = 0; i < count; ++i)
            ASSERT_EQ(hits[i].load(), 1) << "count " << count << " index " << i;
    }
}

INSTANTIATE_TEST_SUITE_P(Workers, WorkerPoolRun, testing::Values(1u, 2u, 4u, 16u));

TEST(WorkerPool, SingleIndexRunsOnTheCallingThread)
{
    WorkerPool pool(4);
    std::thread::id ran_on;
    pool.run(1, [&](std::uint64_t) { ran_on = std::this_thread::get_id(); });
    EXPECT_EQ(ran_on, std::this_thread::get_id());
}

TEST(WorkerPool, FirstExceptionIsRethrownAfterAllIndicesAndThenCleared)
{
    WorkerPool pool(4);
    std::vector<std::atomic<int>> attempted(8);
    auto task = [&](std::uint64_t i) {
        attempted[i].fetch_add(1);
        if (i == 3)
            throw std::runtime_error("index 3 failed");
    };
    try {
        pool.run(8, task);
        FAIL() << "the failure of index 3 was not rethrown";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "index 3 failed");
    }
    for (auto const& a : attempted)
        EXPECT_EQ(a.load(), 1);

    std::atomic<int> ran{0};
    EXPECT_NO_THROW(pool.run(8, [&](std::uint64_t) { ran.fetch_add(1); }));
    EXPECT_EQ(ran.load(), 8);
}

TEST(WorkerPool, WithoutThreadsAnExceptionStopsTheRunAtOnce)
{
    WorkerPool pool(1);
    std::vector<int> ran;
    EXPECT_THROW(pool.run(8,
                          [&](std::uint64_t i) {
                              ran.push_back(static_cast<int>(i));
                              if (i == 3)
                                  throw std::runtime_error("stop");
                          }),
                 std::runtime_error);
    EXPECT_EQ(ran, (std::vector<int>{0, 1, 2, 3}));
}

TEST(WorkerPool, EmptyTaskIsABadFunctionCall)
{
    std::function<void(std::uint64_t)> empty;
    WorkerPool serial(1);
    EXPECT_THROW(serial.run(3, empty), std::bad_function_call);
    WorkerPool pooled(4);
    EXPECT_THROW(pooled.run(3, empty), std::bad_function_call);
    EXPECT_NO_THROW(pooled.run(0, empty));
}

// Many short runs back to back, some failing at random indices: every run must see each of its
// own indices once, report its own first failure, and never leak a failure into the next run.
TEST(WorkerPool, StressManyRunsWithFailures)
{
    WorkerPool pool(8);
    std::vector<std::atomic<int>> hits(257);
    for (std::uint64_t run = 0; run < 2000; ++run) {
        std::uint64_t const count = 2 + run % 256;
        for (std::uint64_t i = 0; i < count; ++i)
            hits[i].store(0);
        bool const failing = run % 7 == 0;
        std::uint64_t const bad = run % count;
        bool threw = false;
        try {
            pool.run(count, [&](std::uint64_t i) {
                hits[i].fetch_add(1);
                if (failing && (i == bad || i == (bad + 1) % count))
                    throw std::runtime_error(std::to_string(run));
            });
        } catch (std::runtime_error const& e) {
            threw = true;
            ASSERT_EQ(e.what(), std::to_string(run));
        }
        ASSERT_EQ(threw, failing) << "run " << run;
        for (std::uint64_t i = 0; i < count; ++i)
            ASSERT_EQ(hits[i].load(), 1) << "run " << run << " index " << i;
    }
}

TEST(WorkerPool, IdlePoolsAreDestroyedAndJoined)
{
    for (int i = 0; i < 50; ++i) {
        WorkerPool pool(16);
        if (i % 2 == 0)
            pool.run(32, [](std::uint64_t) {});
    }
}
