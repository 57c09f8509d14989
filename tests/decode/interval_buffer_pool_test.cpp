// Interval buffers: storage taken from the pool belongs to the interval audio (and so to the
// decoder job) that carries it until that is destroyed or assigned over; only then does the
// pool hand it out again, and a job still held by a worker thread keeps its samples whatever
// the capture fills meanwhile. The pool keeps at most its idle limit and may go before the
// audio it handed out.
#include "decode/interval_buffer_pool.hpp"

#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstdint>
#include <future>
#include <numeric>
#include <thread>
#include <utility>
#include <vector>

#include "decode/decode_job.hpp"

namespace {

constexpr std::size_t kSamples = 3000;

// A buffer filled as the capture fills it: one interval of counting samples from `first`.
IntervalAudio filled(IntervalBufferPool& pool, float first)
{
    IntervalAudio audio = pool.take();
    std::vector<float> samples(kSamples);
    std::iota(samples.begin(), samples.end(), first);
    audio.append(samples.data(), samples.size());
    return audio;
}

bool counts_from(IntervalAudio const& audio, float first)
{
    if (audio.size() != kSamples)
        return false;
    for (std::size_t i = 0; i < kSamples; ++i) {
        if (audio[i] != first + static_cast<float>(i))
            return false;
    }
    return true;
}

TEST(IntervalBufferPool, StorageComesBackOnlyWhenTheJobHoldingItIsGone)
{
    auto const pool = IntervalBufferPool::make(kSamples);
    auto job = std::make_unique<DecodeJob>();
    job->audio = filled(*pool, 0.0f);
    float const* const held = job->audio.data();
    EXPECT_EQ(pool->allocations(), 1u);

    // While the job lives, the next interval gets other storage.
    IntervalAudio next = pool->take();
    EXPECT_NE(next.data(), held);
    EXPECT_EQ(pool->allocations(), 2u);
    EXPECT_EQ(pool->idle(), 0u);
    // A job moved on (into the decoder queue, say) still holds it.
    DecodeJob queued = std::move(*job);
    job.reset();
    EXPECT_EQ(pool->idle(), 0u);
    EXPECT_TRUE(counts_from(queued.audio, 0.0f));

    queued = DecodeJob{};  // finished: assigned over, as a worker's next job does
    EXPECT_EQ(pool->idle(), 1u);
    IntervalAudio again = pool->take();
    EXPECT_EQ(again.data(), held);
    EXPECT_TRUE(again.empty());
    EXPECT_GE(again.capacity(), kSamples);
    EXPECT_EQ(pool->allocations(), 2u);
}

TEST(IntervalBufferPool, AJobAWorkerStillHoldsIsNeverHandedOut)
{
    auto const pool = IntervalBufferPool::make(kSamples);
    DecodeJob job;
    job.audio = filled(*pool, 100.0f);
    float const* const held = job.audio.data();

    std::promise<void> release;
    std::promise<bool> intact_before_release;
    std::promise<void> finished;
    std::thread worker([&, job = std::move(job)]() mutable {
        release.get_future().wait();
        intact_before_release.set_value(counts_from(job.audio, 100.0f));
        job = DecodeJob{};
        finished.set_value();
    });
    // The capture goes on filling intervals while the worker decodes.
    std::vector<IntervalAudio> filling;
    for (int i = 0; i < 3; ++i) {
        filling.push_back(filled(*pool, -1000.0f * static_cast<float>(i + 1)));
        EXPECT_NE(filling.back().data(), held);
    }
    release.set_value();
    EXPECT_TRUE(intact_before_release.get_future().get());
    finished.get_future().wait();
    worker.join();
    EXPECT_EQ(pool->take().data(), held);
}

TEST(IntervalBufferPool, KeepsNoMoreThanItsIdleLimit)
{
    auto const pool = IntervalBufferPool::make(kSamples, 2);
    {
        std::vector<IntervalAudio> backlog;
        for (int i = 0; i < 4; ++i)
            backlog.push_back(pool->take());
    }
    EXPECT_EQ(pool->idle(), 2u);
    EXPECT_EQ(pool->allocations(), 4u);
    IntervalAudio a = pool->take();
    IntervalAudio b = pool->take();
    EXPECT_EQ(pool->allocations(), 4u);
    IntervalAudio c = pool->take();
    EXPECT_EQ(pool->allocations(), 5u);
}

// Buffers made ready wait in the pool, up to its idle limit, and the takes that follow use them.
TEST(IntervalBufferPool, BuffersMadeReadyServeTheNextTakes)
{
    auto const pool = IntervalBufferPool::make(kSamples, 2);
    pool->make_ready(1);
    EXPECT_EQ(pool->idle(), 1u);
    pool->make_ready(5);
    EXPECT_EQ(pool->idle(), 2u);
    EXPECT_EQ(pool->allocations(), 2u);
    pool->make_ready(1);
    EXPECT_EQ(pool->allocations(), 2u);
    IntervalAudio a = pool->take();
    IntervalAudio b = pool->take();
    EXPECT_TRUE(a.empty());
    EXPECT_GE(a.capacity(), kSamples);
    EXPECT_GE(b.capacity(), kSamples);
    EXPECT_EQ(pool->allocations(), 2u);
    IntervalAudio c = pool->take();
    EXPECT_EQ(pool->allocations(), 3u);
}

TEST(IntervalBufferPool, AudioMayOutliveItsPool)
{
    IntervalAudio survivor;
    IntervalAudio assigned;
    {
        auto const pool = IntervalBufferPool::make(kSamples);
        survivor = filled(*pool, 7.0f);
        assigned = pool->take();
        // A plain vector assigned over pooled audio sends the pooled storage back.
        assigned = IntervalAudio(std::vector<float>(5, 1.0f));
        EXPECT_EQ(pool->idle(), 1u);
    }
    // The pool is gone (a band change replaced the capture): the audio is still whole, and its
    // storage is freed when it goes.
    EXPECT_TRUE(counts_from(survivor, 7.0f));
    survivor = IntervalAudio{};
    EXPECT_EQ(assigned.size(), 5u);
}

// The whole pages of a fresh buffer are in memory before the capture writes a sample: one
// FT8 interval, large enough that the allocator maps it fresh, untouched, from the system.
TEST(IntervalBufferPool, AFreshBufferIsInMemoryBeforeItIsFilled)
{
    constexpr std::size_t interval = 180000;
    {
        // Kernels before 5.14 have no way to fault a range in at once; the pool then leaves the
        // pages to the capture's writes, as it always did.
        auto const page = static_cast<std::size_t>(::sysconf(_SC_PAGESIZE));
        void* const probe = ::mmap(nullptr, page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(probe, MAP_FAILED);
        bool const populates = ::madvise(probe, page, MADV_POPULATE_WRITE) == 0;
        ::munmap(probe, page);
        if (!populates)
            GTEST_SKIP() << "this kernel cannot populate a range at once";
    }
    auto const pool = IntervalBufferPool::make(interval);
    IntervalAudio const audio = pool->take();
    ASSERT_GE(audio.capacity(), interval);

    auto const page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto const first = reinterpret_cast<std::uintptr_t>(audio.data());
    std::uintptr_t const begin = (first + page - 1) & ~(page - 1);
    std::uintptr_t const end = (first + interval * sizeof(float)) & ~(page - 1);
    std::vector<unsigned char> resident((end - begin) / page);
    ASSERT_EQ(::mincore(reinterpret_cast<void*>(begin), end - begin, resident.data()), 0);
    std::size_t absent = 0;
    for (unsigned char const flags : resident)
        absent += (flags & 1) == 0 ? 1 : 0;
    EXPECT_EQ(absent, 0u) << "of " << resident.size() << " pages";
}

}  // namespace
