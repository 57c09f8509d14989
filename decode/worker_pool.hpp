#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

// A small fork-join pool: run() calls task(0) .. task(count - 1) once each, spread over the
// pool's threads and the calling thread, and returns when all have finished. A pool built for
// `workers` runs workers - 1 threads of its own; the caller is the last worker. Tasks of one
// run must touch disjoint data. One run at a time, from the owner's thread.
class WorkerPool {
public:
    explicit WorkerPool(std::uint32_t workers);
    ~WorkerPool();
    WorkerPool(WorkerPool const&) = delete;
    WorkerPool& operator=(WorkerPool const&) = delete;

    // Every index runs even when some throw; the first exception is rethrown afterwards.
    // Without threads, or for fewer than 2 indices, the indices run in order on the caller
    // and the first exception leaves at once.
    void run(std::uint64_t count, std::function<void(std::uint64_t)> const& task);

    // Threads of the pool itself (workers - 1).
    std::uint32_t thread_count() const;

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};

// A range of indices handed to one task: [start, start + length).
struct WorkRange {
    std::uint64_t start = 0;
    std::uint64_t length = 0;
    bool operator==(WorkRange const&) const = default;
};

// Cuts 0..count-1 into consecutive ranges for about `parts` tasks: lengths are multiples of 16
// (the last may be shorter), at least 16; parts 0 means one range of count rounded down to 16.
// A count of 0 gives the single range (0, 0).
std::vector<WorkRange> split_ranges(std::uint64_t count, std::uint64_t parts);
