#pragma once

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include "decode/interval_audio.hpp"

// The sample buffers of one capture slot's intervals, reused from interval to interval. A
// 96-channel FT8 capture fills 69 MB of fresh buffers every 15 s otherwise: each one's pages
// are faulted in and zeroed by the kernel as it fills, and given back to it when the decoder
// has written its WAV file.
//
// A buffer taken from the pool travels inside its `IntervalAudio` (the `DecodeJob`'s samples)
// and comes back only when that is destroyed: when the decoder worker has finished the job, or
// the job was dropped from the queue. A job still held by a worker is never handed out again.
// The pool may go first (a band change replaces the capture while its jobs are queued): its
// buffers are then freed as they come back.
//
// Shared between the capture's thread, which takes, and the decoder workers, which give back.
class IntervalBufferPool : public std::enable_shared_from_this<IntervalBufferPool> {
public:
    // Buffers reserve `samples` floats; at most `idle_limit` of them wait in the pool, and any
    // that come back beyond that are freed (a decoder backlog that has cleared).
    static std::shared_ptr<IntervalBufferPool> make(std::size_t samples, std::size_t idle_limit = 1);

    // An empty buffer reserved to one interval: a waiting one, else a new one.
    IntervalAudio take();
    // Makes new buffers until `count` wait in the pool (no more than its idle limit), so that
    // their pages are made present now rather than while a later interval fills them.
    void make_ready(std::size_t count);

    std::size_t samples() const { return samples_; }
    std::size_t idle() const;       // buffers waiting in the pool
    std::size_t allocations() const;  // buffers made new so far

private:
    friend class IntervalAudio;
    IntervalBufferPool(std::size_t samples, std::size_t idle_limit) : samples_(samples), idle_limit_(idle_limit) {}
    void give_back(std::vector<float>&& buffer);

    std::size_t const samples_;
    std::size_t const idle_limit_;
    mutable std::mutex mutex_;
    std::vector<std::vector<float>> idle_;
    std::size_t allocations_ = 0;
};
