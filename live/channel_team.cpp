#include "live/channel_team.hpp"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

// A dispatch is one generation. A worker joins a generation only under the mutex, where it
// takes the job, the count and the generation together, and only while indexes of it are still
// unfinished; the dispatcher returns only when every index has finished and no worker is left
// inside the claim loop. So no worker can take an index of a later generation with an earlier
// generation's job or count (the index counter is reset for each generation), and the job
// object it calls lives until it is done.
struct ChannelTeam::Impl {
    std::vector<std::thread> workers;
    std::mutex mutex;
    std::condition_variable work;  // new generation or stop
    std::condition_variable done;  // pending and claimers both reached 0
    Job const* job = nullptr;
    std::uint64_t count = 0;
    std::uint64_t pending = 0;   // indexes of this generation not yet finished
    std::uint64_t claimers = 0;  // workers inside the claim loop of this generation
    std::uint64_t generation = 0;
    bool stop = false;
    std::exception_ptr failure;
    std::atomic<std::uint64_t> next {0};

    // Takes indexes until none is left; job and total are the caller's snapshot of its generation.
    void claim(Job const& current, std::uint64_t total)
    {
        for (;;) {
            std::uint64_t const i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= total)
                return;
            std::exception_ptr error;
            try {
                current(i);
            } catch (...) {
                error = std::current_exception();
            }
            std::scoped_lock lock(mutex);
            if (error && !failure)
                failure = error;
            if (--pending == 0 && claimers == 0)
                done.notify_all();
        }
    }

    void worker()
    {
        std::uint64_t served = 0;
        std::unique_lock lock(mutex);
        for (;;) {
            work.wait(lock, [&] { return stop || generation != served; });
            if (stop)
                return;
            served = generation;
            // A worker that wakes after its generation has finished must not touch the index
            // counter: the next dispatch may already have reset it.
            if (pending == 0)
                continue;
            Job const& current = *job;
            std::uint64_t const total = count;
            ++claimers;
            lock.unlock();
            claim(current, total);
            lock.lock();
            if (--claimers == 0 && pending == 0)
                done.notify_all();
        }
    }
};

ChannelTeam::ChannelTeam(unsigned threads) : impl_(std::make_unique<Impl>())
{
    try {
        for (unsigned i = 0; i < threads; ++i)
            impl_->workers.emplace_back([impl = impl_.get()] { impl->worker(); });
    } catch (...) {
        {
            std::scoped_lock lock(impl_->mutex);
            impl_->stop = true;
        }
        impl_->work.notify_all();
        for (std::thread& thread : impl_->workers)
            thread.join();
        throw;
    }
}

ChannelTeam::~ChannelTeam()
{
    {
        std::scoped_lock lock(impl_->mutex);
        impl_->stop = true;
    }
    impl_->work.notify_all();
    for (std::thread& thread : impl_->workers)
        thread.join();
}

void ChannelTeam::run(std::uint64_t count, Job const& job)
{
    Impl& team = *impl_;
    if (count == 0)
        return;
    {
        std::scoped_lock lock(team.mutex);
        team.job = &job;
        team.count = count;
        team.pending = count;
        team.failure = nullptr;
        team.next.store(0, std::memory_order_relaxed);
        ++team.generation;
    }
    team.work.notify_all();
    team.claim(job, count);
    std::exception_ptr failure;
    {
        std::unique_lock lock(team.mutex);
        team.done.wait(lock, [&] { return team.pending == 0 && team.claimers == 0; });
        team.job = nullptr;
        team.count = 0;
        failure = std::exchange(team.failure, nullptr);
    }
    if (failure)
        std::rethrow_exception(failure);
}

unsigned ChannelTeam::worker_count() const { return static_cast<unsigned>(impl_->workers.size()); }

unsigned ChannelTeam::threads_for(unsigned hardware)
{
    if (hardware <= 7)
        return 1;
    return std::min(hardware / 8, 4u);
}
