#include "sig/survey/survey_sample_ring.hpp"

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <stdexcept>

namespace sig {

namespace {

void sleep_200us()
{
    timespec wait{0, 200000};
    while (::nanosleep(&wait, &wait) != 0 && errno == EINTR) {
    }
}

}  // namespace

SurveySampleRing::SurveySampleRing(std::size_t usable, double rate_hz)
    : slots_(usable + 1), rate_hz_(rate_hz), marks_(kMarkSlots)
{
    if (usable == 0)
        throw std::invalid_argument("Survey ring needs room for at least one sample");
    ring_.resize(slots_);
}

std::size_t SurveySampleRing::push(const std::complex<float>* samples, std::size_t n, double time,
                                   const std::function<bool()>& keep_waiting)
{
    std::size_t written = 0;
    bool marked = false;
    std::uint64_t const first_index = pushed_;
    while (written < n) {
        std::size_t const write = write_.load(std::memory_order_relaxed);
        std::size_t const read = read_.load(std::memory_order_acquire);
        std::size_t const free = (read + slots_ - 1 - write) % slots_;
        std::size_t const k = std::min(n - written, free);
        if (k == 0) {
            if (!keep_waiting || !keep_waiting())
                break;
            sleep_200us();
            continue;
        }
        std::size_t const first = std::min(k, slots_ - write);
        std::copy(samples + written, samples + written + first, ring_.begin() + static_cast<std::ptrdiff_t>(write));
        std::copy(samples + written + first, samples + written + k, ring_.begin());
        write_.store((write + k) % slots_, std::memory_order_release);
        if (!marked) {
            marked = true;
            std::size_t const mw = mark_write_.load(std::memory_order_relaxed);
            std::size_t const mr = mark_read_.load(std::memory_order_acquire);
            if ((mw + 1) % kMarkSlots != mr) {
                marks_[mw] = {first_index, time};
                mark_write_.store((mw + 1) % kMarkSlots, std::memory_order_release);
            }
        }
        pushed_ += k;
        written += k;
    }
    return written;
}

std::size_t SurveySampleRing::available() const
{
    std::size_t const write = write_.load(std::memory_order_acquire);
    std::size_t const read = read_.load(std::memory_order_relaxed);
    return (write + slots_ - read) % slots_;
}

std::size_t SurveySampleRing::marks_pending() const
{
    std::size_t const mw = mark_write_.load(std::memory_order_acquire);
    std::size_t const mr = mark_read_.load(std::memory_order_acquire);
    return (mw + kMarkSlots - mr) % kMarkSlots;
}

void SurveySampleRing::catch_up_marks()
{
    if (next_held_) {
        if (next_.index > taken_)
            return;
        current_ = next_;
        current_valid_ = true;
        next_held_ = false;
    }
    for (;;) {
        std::size_t const mr = mark_read_.load(std::memory_order_relaxed);
        if (mr == mark_write_.load(std::memory_order_acquire))
            return;
        Mark const mark = marks_[mr];
        mark_read_.store((mr + 1) % kMarkSlots, std::memory_order_release);
        if (mark.index <= taken_) {
            current_ = mark;
            current_valid_ = true;
        } else {
            next_ = mark;
            next_held_ = true;
            return;
        }
    }
}

SurveySampleRing::Pass SurveySampleRing::take(std::vector<std::complex<float>>& out, std::size_t max)
{
    catch_up_marks();
    Pass pass;
    std::size_t const ready = available();
    if (ready == 0)
        return pass;
    if (!current_valid_) {
        pass.needs_mark = true;
        return pass;
    }
    // A pass may run past the next mark; the mark times the passes after it.
    std::size_t const k = std::min(ready, max);
    out.resize(k);
    std::size_t const read = read_.load(std::memory_order_relaxed);
    std::size_t const first = std::min(k, slots_ - read);
    std::copy(ring_.begin() + static_cast<std::ptrdiff_t>(read), ring_.begin() + static_cast<std::ptrdiff_t>(read + first),
              out.begin());
    std::copy(ring_.begin(), ring_.begin() + static_cast<std::ptrdiff_t>(k - first),
              out.begin() + static_cast<std::ptrdiff_t>(first));
    read_.store((read + k) % slots_, std::memory_order_release);
    pass.count = k;
    pass.start_time = current_.time + static_cast<double>(taken_ - current_.index) / rate_hz_;
    taken_ += k;
    return pass;
}

}  // namespace sig
