#pragma once

#include <cstddef>
#include <memory>
#include <utility>
#include <vector>

class IntervalBufferPool;

// The samples of one decoder interval, owned alone (moved, never copied). Storage taken from an
// `IntervalBufferPool` goes back to it when this is destroyed or assigned over, and is freed
// when the pool is gone; storage given as a plain vector is simply freed.
class IntervalAudio {
public:
    IntervalAudio() = default;
    // Implicit: a plain vector of samples is interval audio too, owned by nobody's pool.
    IntervalAudio(std::vector<float> samples) : samples_(std::move(samples)) {}
    ~IntervalAudio() { release(); }
    IntervalAudio(IntervalAudio&& other) noexcept
        : samples_(std::move(other.samples_)), pool_(std::move(other.pool_))
    {
        other.samples_ = {};
    }
    IntervalAudio& operator=(IntervalAudio&& other) noexcept
    {
        if (this != &other) {
            release();
            samples_ = std::move(other.samples_);
            pool_ = std::move(other.pool_);
            other.samples_ = {};
        }
        return *this;
    }
    IntervalAudio(IntervalAudio const&) = delete;
    IntervalAudio& operator=(IntervalAudio const&) = delete;

    float const* data() const { return samples_.data(); }
    std::size_t size() const { return samples_.size(); }
    std::size_t capacity() const { return samples_.capacity(); }
    bool empty() const { return samples_.empty(); }
    float const* begin() const { return samples_.data(); }
    float const* end() const { return samples_.data() + samples_.size(); }
    float operator[](std::size_t i) const { return samples_[i]; }
    float front() const { return samples_.front(); }
    float back() const { return samples_.back(); }

    void append(float const* first, std::size_t count) { samples_.insert(samples_.end(), first, first + count); }
    void clear() { samples_.clear(); }  // keeps the storage

private:
    friend class IntervalBufferPool;
    IntervalAudio(std::vector<float> samples, std::weak_ptr<IntervalBufferPool> pool)
        : samples_(std::move(samples)), pool_(std::move(pool))
    {
    }
    void release() noexcept;

    std::vector<float> samples_;
    std::weak_ptr<IntervalBufferPool> pool_;
};
