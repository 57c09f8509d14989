#include "radio/sample_queue.hpp"

#include <gtest/gtest.h>

#include <ostream>

#include <cmath>
#include <limits>
#include <thread>

namespace {

// A block of n samples whose real parts count up from first, so order and gaps can be checked.
IqBlock block_of(std::uint64_t n, float first = 0.0f)
{
    IqBlock block;
    for (std::uint64_t i = 0; i < n; ++i)
        block.samples.emplace_back(first + static_cast<float>(i), 0.0f);
    return block;
}

IqBlock raw_block(std::uint64_t iq_samples, std::uint32_t per_sample)
{
    IqBlock block;
    block.raw.assign(iq_samples * per_sample, 7);
    block.raw_per_sample = per_sample;
    return block;
}

// rate 2000 Hz for 1 s: capacity 2000 samples, chunk 40.
void make_small(SampleQueue& queue) { queue.configure(2000.0, 1.0); }

}  // namespace

struct CapacityCase {
    double rate_hz;
    double seconds;
    double memory_bytes;
    std::uint64_t expected;
};

void PrintTo(CapacityCase const& c, std::ostream* os)
{
    *os << c.rate_hz << " Hz x " << c.seconds << " s with " << c.memory_bytes << " bytes";
}

class QueueCapacity : public testing::TestWithParam<CapacityCase> {};

TEST_P(QueueCapacity, FollowsSecondsWithinMemoryBounds)
{
    CapacityCase const c = GetParam();
    EXPECT_EQ(queue_capacity_for_memory(8, c.rate_hz, c.seconds, c.memory_bytes), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, QueueCapacity,
    testing::Values(CapacityCase{2000000.0, 8.0, 64e9, 16000000},  // ample memory
                    CapacityCase{2000000.0, 8.0, 0.0, 1000000},    // memory unknown: half a second
                    CapacityCase{2000000.0, 0.1, 64e9, 1000000},   // below the half-second floor
                    CapacityCase{2000000.0, 8.0, 64e6, 1000000},   // an eighth of memory is 1e6
                    CapacityCase{2000000.0, 8.0, 128e6, 2000000},  // an eighth of memory is 2e6
                    CapacityCase{1000.5, 1.0, 64e9, 1000}));       // truncated

TEST(SampleQueue, ConfigureSetsCapacityAndChunkFromRate)
{
    SampleQueue queue;
    EXPECT_EQ(queue.capacity_samples(), 32000u);
    EXPECT_EQ(queue.chunk_samples(), 1280u);
    EXPECT_EQ(queue.capacity_seconds(), 0.0);

    queue.configure(2000000.0, 8.0);
    EXPECT_EQ(queue.capacity_samples(), queue_capacity(8, 2000000.0, 8.0));
    EXPECT_EQ(queue.chunk_samples(), 40000u);
    EXPECT_DOUBLE_EQ(queue.capacity_seconds(),
                     static_cast<double>(queue.capacity_samples()) / 2000000.0);

    SampleQueue slow;
    slow.configure(99.0, 1.0);
    EXPECT_EQ(slow.chunk_samples(), 1u);
    SampleQueue hundred;
    hundred.configure(100.0, 1.0);
    EXPECT_EQ(hundred.chunk_samples(), 2u);
}

TEST(SampleQueue, MachineCapacityUsesPhysicalMemory)
{
    // This machine has far more than 8 x 8 x 16e6 bytes, so the memory bound does not bite.
    EXPECT_EQ(queue_capacity(8, 2000000.0, 8.0), 16000000u);
}

struct BadConfigure {
    double rate_hz;
    double seconds;
};

void PrintTo(BadConfigure const& c, std::ostream* os) { *os << c.rate_hz << " Hz x " << c.seconds << " s"; }

class SampleQueueRefuses : public testing::TestWithParam<BadConfigure> {};

TEST_P(SampleQueueRefuses, BadArguments)
{
    SampleQueue queue;
    try {
        queue.configure(GetParam().rate_hz, GetParam().seconds);
        FAIL() << "configure accepted bad arguments";
    } catch (std::runtime_error const& e) {
        EXPECT_STREQ(e.what(), "Cannot configure receive queue");
    }
    EXPECT_EQ(queue.capacity_samples(), 32000u);
    EXPECT_EQ(queue.chunk_samples(), 1280u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, SampleQueueRefuses,
    testing::Values(BadConfigure{1.5, 1.0}, BadConfigure{std::nan(""), 1.0},
                    BadConfigure{std::numeric_limits<double>::infinity(), 1.0}, BadConfigure{2000.0, 0.0},
                    BadConfigure{2000.0, -1.0}, BadConfigure{2000.0, std::nan("")},
                    BadConfigure{2000.0, std::numeric_limits<double>::infinity()}));

TEST(SampleQueue, ConfigureRefusesQueueHoldingSamplesOrClosed)
{
    SampleQueue holding;
    holding.push(block_of(10));
    EXPECT_THROW(holding.configure(2000.0, 1.0), std::runtime_error);

    SampleQueue closed;
    closed.close();
    EXPECT_THROW(closed.configure(2000.0, 1.0), std::runtime_error);
}

TEST(SampleQueue, EmptyDiscontinuousBlockMarksTheNextBlock)
{
    SampleQueue queue;
    make_small(queue);
    IqBlock mark;
    mark.discontinuity = true;
    mark.gap_flags = GAP_SEQUENCE;
    mark.gap_samples = 100;
    queue.push(std::move(mark));
    queue.push(block_of(50));

    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_TRUE(out.discontinuity);
    EXPECT_EQ(out.gap_flags, GAP_SEQUENCE);
    EXPECT_EQ(out.gap_samples, 100u);
    EXPECT_EQ(out.samples.size(), 50u);
}

TEST(SampleQueue, DiscontinuityWithoutCauseBecomesUnknownSize)
{
    SampleQueue queue;
    make_small(queue);
    IqBlock block = block_of(50);
    block.discontinuity = true;
    queue.push(std::move(block));
    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_TRUE(out.discontinuity);
    EXPECT_EQ(out.gap_flags, GAP_UNKNOWN_SIZE);
}

TEST(SampleQueue, OverflowDropsWholeBlocksAndMarksTheNextAccepted)
{
    SampleQueue queue;
    make_small(queue);
    queue.push(block_of(1800));
    IqBlock refused = block_of(500);
    refused.discontinuity = true;
    refused.gap_flags = GAP_SEQUENCE;
    refused.gap_samples = 3;
    queue.push(std::move(refused));
    queue.push(block_of(500));
    EXPECT_EQ(queue.dropped(), 1000u);

    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_FALSE(out.discontinuity);
    EXPECT_EQ(out.samples.size(), 1800u);

    IqBlock accepted = block_of(200);
    accepted.utc = 42.0;
    queue.push(std::move(accepted));
    ASSERT_TRUE(queue.pop(out));
    EXPECT_TRUE(out.discontinuity);
    EXPECT_EQ(out.gap_flags, GAP_SEQUENCE | GAP_DROPPED);
    EXPECT_EQ(out.gap_samples, 1003u);
    EXPECT_EQ(out.utc, 42.0);

    // The mark is carried once.
    queue.push(block_of(100));
    ASSERT_TRUE(queue.pop(out));
    EXPECT_FALSE(out.discontinuity);
    EXPECT_EQ(out.gap_flags, 0u);
    EXPECT_EQ(out.gap_samples, 0u);
}

TEST(SampleQueue, PopMergesUpToChunkButNeverAcrossADiscontinuity)
{
    SampleQueue queue;  // chunk 1280
    IqBlock first = block_of(100, 0.0f);
    first.utc = 5.0;
    queue.push(std::move(first));
    queue.push(block_of(100, 100.0f));
    queue.push(block_of(100, 200.0f));

    IqBlock out;
    ASSERT_TRUE(queue.pop(out));  // waits its 100 ms for a chunk, then takes what is there
    ASSERT_EQ(out.samples.size(), 300u);
    for (std::size_t i = 0; i < out.samples.size(); ++i)
        ASSERT_EQ(out.samples[i].real(), static_cast<float>(i));
    EXPECT_EQ(out.utc, 5.0);

    queue.push(block_of(100, 0.0f));
    IqBlock split = block_of(100, 100.0f);
    split.discontinuity = true;
    split.gap_flags = GAP_DROPPED;
    split.utc = 9.0;
    queue.push(std::move(split));
    queue.push(block_of(100, 200.0f));

    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.samples.size(), 100u);
    EXPECT_FALSE(out.discontinuity);
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.samples.size(), 200u);
    EXPECT_TRUE(out.discontinuity);
    EXPECT_EQ(out.utc, 9.0);
    EXPECT_EQ(out.samples.front().real(), 100.0f);
}

TEST(SampleQueue, PopStopsMergingOnceAChunkIsTaken)
{
    SampleQueue queue;
    make_small(queue);  // chunk 40
    queue.push(block_of(30));
    queue.push(block_of(30));
    queue.push(block_of(30));
    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.samples.size(), 60u);
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.samples.size(), 30u);
}

TEST(SampleQueue, PopBlocksMovesWholeBlocksUntilAChunk)
{
    SampleQueue queue;
    make_small(queue);  // chunk 40
    for (int i = 0; i < 3; ++i)
        queue.push(raw_block(30, 4));
    std::vector<IqBlock> out;
    ASSERT_TRUE(queue.pop_blocks(out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out[0].raw.size(), 120u);
    out.clear();
    ASSERT_TRUE(queue.pop_blocks(out));
    EXPECT_EQ(out.size(), 1u);
    queue.close();
    out.clear();
    EXPECT_FALSE(queue.pop_blocks(out));
}

TEST(SampleQueue, RawBlocksCountByIqLengthAndLeaveTheQueueEmpty)
{
    SampleQueue queue;
    make_small(queue);  // capacity 2000
    queue.push(raw_block(2000, 4));     // 8000 raw words, 2000 IQ samples: exactly full
    queue.push(raw_block(1, 4));
    EXPECT_EQ(queue.dropped(), 1u);

    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.raw.size(), 8000u);
    // Popping by the merging pop must free the block's whole counted length.
    queue.push(block_of(2000));
    EXPECT_EQ(queue.dropped(), 1u);
    ASSERT_TRUE(queue.pop(out));
    EXPECT_TRUE(out.discontinuity);
    EXPECT_EQ(out.samples.size(), 2000u);
}

TEST(SampleQueue, PopNeverMergesRawBlocks)
{
    SampleQueue queue;
    make_small(queue);  // chunk 40
    queue.push(raw_block(10, 2));
    queue.push(raw_block(10, 2));
    queue.close();
    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.raw.size(), 20u);
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.raw.size(), 20u);
    EXPECT_FALSE(queue.pop(out));
}

TEST(SampleQueue, FirstFailureWinsAndClosesTheQueue)
{
    SampleQueue queue;
    make_small(queue);
    queue.push(block_of(10));
    queue.fail("rtl_tcp server closed the connection");
    queue.fail("a later fault");
    EXPECT_EQ(queue.failure(), "rtl_tcp server closed the connection");

    queue.push(block_of(10));  // ignored after the failure
    EXPECT_EQ(queue.dropped(), 0u);
    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_EQ(out.samples.size(), 10u);
    EXPECT_FALSE(queue.pop(out));
    std::vector<IqBlock> blocks;
    EXPECT_FALSE(queue.pop_blocks(blocks));
}

TEST(SampleQueue, FailureWithoutTextStillReachesTheConsumer)
{
    SampleQueue null_text;
    null_text.fail(nullptr);
    EXPECT_FALSE(null_text.failure().empty());
    SampleQueue empty_text;
    empty_text.fail("");
    EXPECT_FALSE(empty_text.failure().empty());
}

TEST(SampleQueue, DiscardClearsQueuedSamplesAndPendingMark)
{
    SampleQueue queue;
    make_small(queue);
    queue.push(block_of(1900));
    queue.push(block_of(500));  // refused: a mark is pending
    queue.discard();
    EXPECT_EQ(queue.dropped(), 500u);

    queue.push(block_of(2000));  // the whole capacity is free again
    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_FALSE(out.discontinuity);
    EXPECT_EQ(out.gap_samples, 0u);
    EXPECT_EQ(out.samples.size(), 2000u);
}

TEST(SampleQueue, DeepestBacklogIsTakenAndReset)
{
    SampleQueue queue;
    make_small(queue);
    queue.push(block_of(1000));
    IqBlock out;
    ASSERT_TRUE(queue.pop(out));
    EXPECT_DOUBLE_EQ(queue.take_deepest_seconds(), 0.5);
    EXPECT_DOUBLE_EQ(queue.take_deepest_seconds(), 0.0);
}

// A producer thread outpaces a consumer through a small queue: every sample either arrives in
// order or is accounted for by the gap carried on the next block that arrives.
TEST(SampleQueue, ProducerThreadLossesAreFullyAccounted)
{
    SampleQueue queue;
    queue.configure(4000.0, 0.5);  // capacity 2000, chunk 80
    constexpr int block_count = 4000;
    constexpr std::uint64_t block_length = 37;

    std::jthread producer([&] {
        for (int b = 0; b < block_count; ++b)
            queue.push(block_of(block_length, static_cast<float>(b * block_length)));
        queue.close();
    });

    std::uint64_t expected_next = 0;
    std::uint64_t received = 0;
    std::uint64_t gaps = 0;
    IqBlock out;
    while (queue.pop(out)) {
        auto const first = static_cast<std::uint64_t>(out.samples.front().real());
        if (out.discontinuity) {
            EXPECT_EQ(out.gap_flags, GAP_DROPPED);
            gaps += out.gap_samples;
            expected_next += out.gap_samples;
        }
        ASSERT_EQ(first, expected_next);
        for (std::size_t i = 0; i < out.samples.size(); ++i)
            ASSERT_EQ(static_cast<std::uint64_t>(out.samples[i].real()), first + i);
        expected_next += out.samples.size();
        received += out.samples.size();
    }
    producer.join();

    // A loss at the very end has no later block to carry its mark.
    EXPECT_EQ(received + queue.dropped(), block_count * block_length);
    EXPECT_LE(gaps, queue.dropped());
    EXPECT_EQ(received + gaps, expected_next);
}

TEST(SampleQueue, RawBlocksAreBudgetedByTheBytesTheyCarry)
{
    // 30 s of 250 kHz IQ as raw blocks of 256 words per sample is 3.84 GB: the memory bound
    // counts 512 bytes per sample, not the 8 of a complex float.
    SampleQueue raw;
    raw.configure(250000.0, 30.0, 512);
    EXPECT_EQ(raw.capacity_samples(), queue_capacity(512, 250000.0, 30.0));
    SampleQueue complex;
    complex.configure(250000.0, 30.0);
    EXPECT_EQ(complex.capacity_samples(), queue_capacity(8, 250000.0, 30.0));
    // With 24 GiB of memory the raw queue holds 3 GiB / 512 bytes, the complex one all 30 s.
    double const memory = 24.0 * 1024 * 1024 * 1024;
    EXPECT_EQ(queue_capacity_for_memory(512, 250000.0, 30.0, memory), 6291456u);
    EXPECT_EQ(queue_capacity_for_memory(8, 250000.0, 30.0, memory), 7500000u);
}
