#pragma once

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>

// The hand-off of a prepared band change from the control thread to the run loop. The control
// thread posts one action and waits for its reply; the run loop runs it between two batches of
// blocks, so no block is ever split between two pipelines. Once stopped, posts are refused and
// a poster whose action was never started is released, both with "ERROR Receiver is stopping".
class RetuneMailbox {
public:
    using Action = std::function<std::string()>;

    RetuneMailbox() = default;
    ~RetuneMailbox();
    RetuneMailbox(RetuneMailbox const&) = delete;
    RetuneMailbox& operator=(RetuneMailbox const&) = delete;

    // Control thread: hands the action over and blocks until it ran (its reply) or the mailbox
    // stopped before it started.
    std::string post(Action action);

    // Run loop: a cheap hint that an action may wait; run_pending() tests it again under the lock.
    bool pending() const { return pending_.load(std::memory_order_acquire); }

    // Run loop: runs a waiting action, if any and not stopping. A std::exception from the action
    // becomes the reply "ERROR " + its message; anything else leaves through the caller after the
    // poster has been set free to be released by stop().
    void run_pending();

    // No action is accepted or started from now on; wakes every waiting poster.
    void stop();

private:
    std::atomic<bool> pending_{false};
    std::mutex mutex_;
    std::condition_variable condition_;
    Action action_;
    std::string reply_;
    bool stopping_ = false;
    bool done_ = false;
    bool running_ = false;
};
