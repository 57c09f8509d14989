#include "decode/run/retune_mailbox.hpp"

#include <exception>
#include <utility>

namespace {

constexpr char const* stopping_reply = "ERROR Receiver is stopping";

}  // namespace

RetuneMailbox::~RetuneMailbox() { stop(); }

std::string RetuneMailbox::post(Action action)
{
    std::unique_lock lock(mutex_);
    // One action at a time: a second poster waits until the first has its answer, so it never
    // replaces an action the run loop has not taken yet.
    condition_.wait(lock, [this] { return stopping_ || !pending_.load(); });
    if (stopping_)
        return stopping_reply;
    action_ = std::move(action);
    done_ = false;
    pending_.store(true, std::memory_order_release);
    condition_.wait(lock, [this] { return done_ || (stopping_ && !running_); });
    if (done_) {
        std::string reply = reply_;
        done_ = false;
        condition_.notify_all();
        return reply;
    }
    action_ = nullptr;
    pending_.store(false);
    condition_.notify_all();
    return stopping_reply;
}

void RetuneMailbox::run_pending()
{
    Action action;
    {
        std::scoped_lock lock(mutex_);
        if (!action_ || stopping_)
            return;
        action = std::move(action_);
        action_ = nullptr;
        running_ = true;
    }
    std::string reply;
    try {
        reply = action();
    } catch (std::exception const& error) {
        reply = std::string("ERROR ") + error.what();
    } catch (...) {
        // The run ends with this; the poster must not wait for a reply that will never come.
        {
            std::scoped_lock lock(mutex_);
            running_ = false;
        }
        condition_.notify_all();
        throw;
    }
    {
        std::scoped_lock lock(mutex_);
        reply_ = std::move(reply);
        done_ = true;
        running_ = false;
        pending_.store(false);
    }
    condition_.notify_all();
}

void RetuneMailbox::stop()
{
    {
        std::scoped_lock lock(mutex_);
        stopping_ = true;
    }
    condition_.notify_all();
}
