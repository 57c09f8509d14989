#include "radio/sample_queue.hpp"

#include <algorithm>
#include <chrono>
#include <complex>
#include <cmath>
#include <stdexcept>
#include <unistd.h>

namespace {

constexpr auto pop_wait = std::chrono::milliseconds(100);

// Truncates a non-negative count to u64, saturating instead of overflowing on absurd rates.
std::uint64_t to_count(double value)
{
    if (!(value > 0.0))
        return 0;
    if (value >= 18446744073709551615.0)
        return UINT64_MAX;
    return static_cast<std::uint64_t>(value);
}

}  // namespace

std::uint64_t queue_capacity_for_memory(std::size_t element_bytes, double rate_hz, double seconds,
                                        double memory_bytes)
{
    double const minimum = rate_hz * 0.5;
    if (!(memory_bytes > 0.0) || element_bytes == 0)
        return to_count(minimum);
    double const limit = memory_bytes * 0.125 / static_cast<double>(element_bytes);
    return to_count(std::max(std::min(rate_hz * seconds, limit), minimum));
}

std::uint64_t queue_capacity(std::size_t element_bytes, double rate_hz, double seconds)
{
    long const pages = sysconf(_SC_PHYS_PAGES);
    long const page_size = sysconf(_SC_PAGESIZE);
    double memory = 0.0;
    if (pages > 0 && page_size > 0)
        memory = static_cast<double>(pages) * static_cast<double>(page_size);
    return queue_capacity_for_memory(element_bytes, rate_hz, seconds, memory);
}

void SampleQueue::configure(double rate_hz, double seconds, std::size_t sample_bytes)
{
    {
        std::scoped_lock lock(mutex_);
        bool const valid = std::isfinite(rate_hz) && rate_hz >= 2.0 && std::isfinite(seconds) &&
                           seconds > 0.0 && queued_ == 0 && !closed_;
        if (valid) {
            capacity_ = queue_capacity(sample_bytes, rate_hz, seconds);
            std::uint64_t const whole_rate = to_count(rate_hz);
            chunk_ = whole_rate > 99 ? whole_rate / 50 : 1;
            deepest_ = 0;
            rate_hz_ = rate_hz;
            return;
        }
    }
    throw std::runtime_error("Cannot configure receive queue");
}

void SampleQueue::push(IqBlock&& block) noexcept
{
    try {
        bool wake = false;
        {
            std::scoped_lock lock(mutex_);
            if (closed_)
                return;
            if (block.discontinuity && block.gap_flags == 0)
                block.gap_flags = GAP_UNKNOWN_SIZE;
            std::uint64_t const n = block.length();
            if (n == 0) {
                pending_discontinuity_ = pending_discontinuity_ || block.discontinuity;
                pending_flags_ |= block.gap_flags;
                pending_gap_ += block.gap_samples;
                return;
            }
            if (capacity_ - std::min(queued_, capacity_) < n) {
                dropped_ += n;
                pending_flags_ |= block.gap_flags | GAP_DROPPED;
                pending_discontinuity_ = true;
                pending_gap_ += block.gap_samples + n;
                return;
            }
            if (pending_discontinuity_) {
                block.discontinuity = true;
                block.gap_flags |= pending_flags_;
                block.gap_samples += pending_gap_;
                pending_discontinuity_ = false;
                pending_flags_ = 0;
                pending_gap_ = 0;
            }
            std::uint64_t const before = queued_;
            blocks_.push_back(std::move(block));
            queued_ += n;
            wake = before < chunk_ && queued_ >= chunk_;
        }
        if (wake)
            condition_.notify_one();
    } catch (...) {
        fail("Cannot queue IQ samples");
    }
}

bool SampleQueue::pop(IqBlock& out)
{
    merge_.clear();
    std::uint64_t total = 0;
    {
        std::unique_lock lock(mutex_);
        if (!closed_) {
            auto const deadline = std::chrono::steady_clock::now() + pop_wait;
            while (queued_ < chunk_ && !closed_) {
                if (condition_.wait_until(lock, deadline) == std::cv_status::timeout)
                    break;
            }
        }
        if (blocks_.empty())
            return false;
        deepest_ = std::max(deepest_, queued_);
        // Counts are block lengths, the same units push added, so raw blocks leave the queue
        // as empty as they came in. Raw blocks are never merged: merging joins only `samples`
        // and would lose the raw data of every block after the first.
        auto take = [&] {
            std::uint64_t const n = blocks_.front().length();
            queued_ -= std::min(queued_, n);
            total += n;
            merge_.push_back(std::move(blocks_.front()));
            blocks_.pop_front();
        };
        take();
        while (!blocks_.empty() && total < chunk_ && !blocks_.front().discontinuity &&
               merge_.front().raw.empty() && blocks_.front().raw.empty())
            take();
    }
    out = std::move(merge_.front());
    if (merge_.size() > 1) {
        std::size_t size = 0;
        for (IqBlock const& block : merge_)
            size += block.samples.size();
        out.samples.reserve(size);
        for (std::size_t i = 1; i < merge_.size(); ++i)
            out.samples.insert(out.samples.end(), merge_[i].samples.begin(),
                               merge_[i].samples.end());
    }
    merge_.clear();
    return true;
}

bool SampleQueue::pop_blocks(std::vector<IqBlock>& out)
{
    std::unique_lock lock(mutex_);
    auto const deadline = std::chrono::steady_clock::now() + pop_wait;
    while (!closed_ && queued_ < chunk_) {
        if (condition_.wait_until(lock, deadline) == std::cv_status::timeout)
            break;
    }
    if (blocks_.empty())
        return false;
    deepest_ = std::max(deepest_, queued_);
    std::uint64_t moved = 0;
    while (!blocks_.empty() && moved < chunk_) {
        std::uint64_t const n = blocks_.front().length();
        queued_ -= std::min(queued_, n);
        moved += n;
        out.push_back(std::move(blocks_.front()));
        blocks_.pop_front();
    }
    return true;
}

void SampleQueue::fail(char const* text) noexcept
{
    try {
        std::scoped_lock lock(mutex_);
        if (failure_.empty()) {
            // An empty text would close the queue without the consumer ever seeing why.
            failure_ = (text != nullptr && *text != '\0') ? text : "Receiver failed";
        }
        closed_ = true;
        condition_.notify_all();
    } catch (...) {
        // Nothing is left to report the failure through; the consumer's stall check remains.
    }
}

void SampleQueue::close()
{
    std::scoped_lock lock(mutex_);
    closed_ = true;
    condition_.notify_all();
}

void SampleQueue::discard()
{
    std::deque<IqBlock> old;
    {
        std::scoped_lock lock(mutex_);
        old.swap(blocks_);
        queued_ = 0;
        pending_discontinuity_ = false;
        pending_flags_ = 0;
        pending_gap_ = 0;
    }
}

std::uint64_t SampleQueue::dropped() const
{
    std::scoped_lock lock(mutex_);
    return dropped_;
}

double SampleQueue::capacity_seconds() const
{
    std::scoped_lock lock(mutex_);
    return rate_hz_ > 0.0 ? static_cast<double>(capacity_) / rate_hz_ : 0.0;
}

double SampleQueue::take_deepest_seconds()
{
    std::scoped_lock lock(mutex_);
    double const seconds = rate_hz_ > 0.0 ? static_cast<double>(deepest_) / rate_hz_ : 0.0;
    deepest_ = 0;
    return seconds;
}

std::string SampleQueue::failure() const
{
    std::scoped_lock lock(mutex_);
    return failure_;
}

std::uint64_t SampleQueue::capacity_samples() const
{
    std::scoped_lock lock(mutex_);
    return capacity_;
}

std::uint64_t SampleQueue::chunk_samples() const
{
    std::scoped_lock lock(mutex_);
    return chunk_;
}
