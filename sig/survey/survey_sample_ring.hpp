#pragma once

// The hand-over from the decode loop to the survey thread: a single-producer, single-consumer
// ring of complex samples, and beside it a ring of marks that tie a sample index to the UTC
// time of that sample. Each index is written by one side only and published with release
// order, so neither side ever takes a lock on the sample path.

#include <atomic>
#include <complex>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace sig {

class SurveySampleRing {
public:
    struct Mark {
        std::uint64_t index = 0;  // counts accepted samples since the start
        double time = 0.0;        // UTC seconds of that sample
    };

    // What one take handed out.
    struct Pass {
        std::size_t count = 0;     // samples copied out; 0 when none could be taken
        double start_time = 0.0;   // UTC of the first of them
        bool needs_mark = false;   // samples wait but their time is not known yet
    };

    static constexpr std::size_t kMarkSlots = 4097;  // 4096 usable

    // usable samples: the ring holds one slot more. Throws std::invalid_argument for 0.
    SurveySampleRing(std::size_t usable, double rate_hz);

    // Producer. Copies what fits of n samples, the first taken at UTC `time`. When the ring is
    // full and keep_waiting (may be empty) says so, it waits 200 us and tries again; otherwise
    // the rest is left out. A call that wrote anything writes one mark for its first sample (a
    // full mark ring loses the mark). Returns the samples accepted.
    std::size_t push(const std::complex<float>* samples, std::size_t n, double time,
                     const std::function<bool()>& keep_waiting);

    // Consumer. Takes up to max samples into out (resized) and works out the time of the first
    // one from the latest mark at or before it, counting samples at the rate after it.
    Pass take(std::vector<std::complex<float>>& out, std::size_t max);

    std::size_t usable() const { return slots_ - 1; }
    std::size_t available() const;
    std::uint64_t pushed() const { return pushed_; }    // producer side only
    std::uint64_t taken() const { return taken_; }      // consumer side only
    std::size_t marks_pending() const;

private:
    void catch_up_marks();

    std::vector<std::complex<float>> ring_;
    std::size_t slots_;
    double rate_hz_;
    std::atomic<std::size_t> write_{0};
    std::atomic<std::size_t> read_{0};
    std::vector<Mark> marks_;
    std::atomic<std::size_t> mark_write_{0};
    std::atomic<std::size_t> mark_read_{0};
    std::uint64_t pushed_ = 0;  // producer
    std::uint64_t taken_ = 0;   // consumer
    Mark current_;              // consumer: the latest mark at or before taken_
    bool current_valid_ = false;
    Mark next_;                 // consumer: a mark read but not yet reached
    bool next_held_ = false;
};

}  // namespace sig
