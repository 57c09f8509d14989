#include "decode/interval_buffer_pool.hpp"

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
    {
        std::scoped_lock lock(mutex_);
        if (!idle_.empty()) {
            buffer = std::move(idle_.back());
            idle_.pop_back();
        } else {
            ++allocations_;
        }
    }
    buffer.clear();
    buffer.reserve(samples_);
    return IntervalAudio(std::move(buffer), weak_from_this());
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
