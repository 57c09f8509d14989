#include "decode/interval_buffer_pool.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <cstdint>

namespace {

// Makes the whole pages of a fresh buffer present and writable in one call. Filled as the
// capture fills it, a few hundred bytes per slot and block, each of the 175 or so pages of an
// FT8 interval would be faulted in on its own, and in a virtual machine a fault costs several
// times its kernel work: about 0.3 s of CPU over the first two intervals of 96 channels. A
// kernel without the call (before 5.14) leaves the pages to be faulted in as before.
void make_present(std::vector<float>& buffer)
{
    auto const page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto const first = reinterpret_cast<std::uintptr_t>(buffer.data());
    std::uintptr_t const begin = (first + page - 1) & ~(page - 1);
    std::uintptr_t const end = (first + buffer.capacity() * sizeof(float)) & ~(page - 1);
    if (end > begin)
        (void)::madvise(reinterpret_cast<void*>(begin), end - begin, MADV_POPULATE_WRITE);
}

// A new buffer with room for `samples`, its pages present.
std::vector<float> new_buffer(std::size_t samples)
{
    std::vector<float> buffer;
    buffer.reserve(samples);
    make_present(buffer);
    return buffer;
}

}  // namespace

std::shared_ptr<IntervalBufferPool> IntervalBufferPool::make(std::size_t samples, std::size_t idle_limit)
{
    std::shared_ptr<IntervalBufferPool> pool(new IntervalBufferPool(samples, idle_limit));
    // Room for every buffer the pool may keep, so giving one back never allocates.
    pool->idle_.reserve(idle_limit);
    return pool;
}

IntervalAudio IntervalBufferPool::take()
{
    std::vector<float> buffer;
    bool fresh = false;
    {
        std::scoped_lock lock(mutex_);
        if (!idle_.empty()) {
            buffer = std::move(idle_.back());
            idle_.pop_back();
        } else {
            ++allocations_;
            fresh = true;
        }
    }
    if (fresh) {
        buffer = new_buffer(samples_);
    } else {
        buffer.clear();
        buffer.reserve(samples_);
    }
    return IntervalAudio(std::move(buffer), weak_from_this());
}

void IntervalBufferPool::make_ready(std::size_t count)
{
    count = std::min(count, idle_limit_);
    for (;;) {
        {
            std::scoped_lock lock(mutex_);
            if (idle_.size() >= count)
                return;
            ++allocations_;
        }
        std::vector<float> buffer = new_buffer(samples_);
        std::scoped_lock lock(mutex_);
        idle_.push_back(std::move(buffer));
    }
}

std::size_t IntervalBufferPool::idle() const
{
    std::scoped_lock lock(mutex_);
    return idle_.size();
}

std::size_t IntervalBufferPool::allocations() const
{
    std::scoped_lock lock(mutex_);
    return allocations_;
}

void IntervalBufferPool::give_back(std::vector<float>&& buffer)
{
    std::scoped_lock lock(mutex_);
    if (idle_.size() < idle_limit_)
        idle_.push_back(std::move(buffer));
}

void IntervalAudio::release() noexcept
{
    std::shared_ptr<IntervalBufferPool> const pool = pool_.lock();
    pool_.reset();
    if (!pool) {
        samples_ = {};
        return;
    }
    try {
        pool->give_back(std::move(samples_));
    } catch (...) {
        // A lock that could not be taken: the buffer is freed instead of reused.
    }
    samples_ = {};
}
