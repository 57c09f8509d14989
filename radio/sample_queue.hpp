#pragma once

#include "radio/iq_block.hpp"

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

// Elements of element_bytes each that a buffer of `seconds` at rate_hz may hold: at most an
// eighth of physical memory, at least half a second.
std::uint64_t queue_capacity(std::size_t element_bytes, double rate_hz, double seconds);

// The same rule for a machine with memory_bytes of physical memory; 0 means unknown, which
// leaves only the half-second minimum.
std::uint64_t queue_capacity_for_memory(std::size_t element_bytes, double rate_hz, double seconds,
                                        double memory_bytes);

// The bounded hand-off of IqBlocks from a receiver's stream thread to the run loop.
//
// push never blocks on room and never throws: a block that does not fit whole is dropped and
// counted, and the next accepted block is marked as a discontinuity that carries the loss.
// The single consumer pops either merged blocks of at least `chunk` samples (pop) or whole
// blocks (pop_blocks), waiting at most 100 ms. fail() carries a backend's fatal error (the
// first text wins) and closes the queue; after close or fail, pushes are ignored and pops
// return what remains, then false without waiting.
class SampleQueue {
public:
    SampleQueue() = default;
    SampleQueue(SampleQueue const&) = delete;
    SampleQueue& operator=(SampleQueue const&) = delete;

    // Once, before the radio starts: rate_hz finite and >= 2, seconds finite and > 0, the queue
    // empty and open; else "Cannot configure receive queue". sample_bytes: the memory one IQ
    // sample takes in the blocks (8 for complex floats; 2 D for raw blocks of D words per
    // sample), which bounds the capacity to an eighth of physical memory.
    void configure(double rate_hz, double seconds, std::size_t sample_bytes = 8);

    void push(IqBlock&& block) noexcept;
    bool pop(IqBlock& out);
    bool pop_blocks(std::vector<IqBlock>& out);

    void fail(char const* text) noexcept;
    void close();
    // Throws away queued samples and any pending loss mark (a retune's old frequency).
    void discard();

    std::uint64_t dropped() const;
    double capacity_seconds() const;
    double take_deepest_seconds();
    std::string failure() const;
    std::uint64_t capacity_samples() const;
    std::uint64_t chunk_samples() const;

private:
    mutable std::mutex mutex_;
    std::condition_variable condition_;
    std::deque<IqBlock> blocks_;
    std::vector<IqBlock> merge_;  // consumer-only scratch of pop
    bool closed_ = false;
    bool pending_discontinuity_ = false;
    std::uint32_t pending_flags_ = 0;
    std::uint64_t pending_gap_ = 0;
    std::uint64_t dropped_ = 0;
    std::uint64_t queued_ = 0;
    std::uint64_t capacity_ = 32000;
    std::uint64_t chunk_ = 1280;
    std::uint64_t deepest_ = 0;
    double rate_hz_ = 0.0;
    std::string failure_;
};
