#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

// Standard error of this process, collected while the tap lives: for tests that wait for a line
// another thread writes. Descriptor 2 goes into a pipe that a reader thread drains; the original
// descriptor comes back when the tap goes. Child processes started meanwhile would inherit the
// pipe, so start none while a tap is open.
class StderrTap {
public:
    StderrTap();
    ~StderrTap();
    StderrTap(StderrTap const&) = delete;
    StderrTap& operator=(StderrTap const&) = delete;

    // Waits until `text` has been written (count times in all), or the timeout.
    bool wait_for(std::string const& text, std::chrono::milliseconds timeout, std::size_t count = 1);
    std::string text() const;
    std::size_t count(std::string const& text) const;

private:
    int saved_ = -1;
    int read_end_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable grew_;
    std::string text_;
};
