#pragma once

// A parallel-for reused for every spectrum frame: one job over the indexes 0 .. count-1, spread
// over a few sleeping worker threads and the calling thread, which takes part and returns only
// when every index has finished. Per call one job is installed and the workers are woken once.
//
// The calling thread is the only dispatcher: run is never called from two threads at once.
// The job must not throw; if it does anyway, the first exception is rethrown by run after
// every index has finished.

#include <cstdint>
#include <functional>
#include <memory>

class ChannelTeam {
public:
    using Job = std::function<void(std::uint64_t)>;

    explicit ChannelTeam(unsigned threads);
    // Stops and joins the workers.
    ~ChannelTeam();
    ChannelTeam(ChannelTeam const&) = delete;
    ChannelTeam& operator=(ChannelTeam const&) = delete;

    void run(std::uint64_t count, Job const& job);

    unsigned worker_count() const;

    // Workers for a machine reporting `hardware` threads: 1 up to 7 (and when the count is
    // unknown, 0), else one per 8 threads, at most 4. The calling thread works beside them.
    static unsigned threads_for(unsigned hardware);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};
