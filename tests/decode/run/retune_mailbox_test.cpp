// The hand-off between the control thread that posts a band change and the run loop that runs it.
#include "decode/run/retune_mailbox.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <stdexcept>
#include <string>
#include <thread>

namespace {

// The run loop's side: waits for a posted action the way its passes see it, then runs it.
void run_when_posted(RetuneMailbox& mailbox)
{
    while (!mailbox.pending())
        std::this_thread::yield();
    mailbox.run_pending();
}

TEST(RetuneMailbox, ThePosterGetsTheActionsReplyFromTheRunLoopThread)
{
    RetuneMailbox mailbox;
    std::thread::id ran_on;
    std::future<std::string> reply = std::async(std::launch::async, [&] {
        return mailbox.post([&] {
            ran_on = std::this_thread::get_id();
            return std::string("OK RETUNE center=7074000.000000 channels=0");
        });
    });
    run_when_posted(mailbox);
    EXPECT_EQ(reply.get(), "OK RETUNE center=7074000.000000 channels=0");
    EXPECT_EQ(ran_on, std::this_thread::get_id());
    EXPECT_FALSE(mailbox.pending());
}

TEST(RetuneMailbox, AnActionsErrorBecomesTheReply)
{
    RetuneMailbox mailbox;
    std::future<std::string> reply = std::async(std::launch::async, [&] {
        return mailbox.post([]() -> std::string { throw std::runtime_error("SDRplay retune failed"); });
    });
    run_when_posted(mailbox);
    EXPECT_EQ(reply.get(), "ERROR SDRplay retune failed");
}

TEST(RetuneMailbox, EachOfTwoPostsGetsItsOwnReply)
{
    RetuneMailbox mailbox;
    for (std::string const answer : {"OK first", "OK second"}) {
        std::future<std::string> reply =
            std::async(std::launch::async, [&] { return mailbox.post([answer] { return answer; }); });
        run_when_posted(mailbox);
        EXPECT_EQ(reply.get(), answer);
    }
}

TEST(RetuneMailbox, APostArrivingWhileTheLoopLeavesIsRefusedAndNeverRuns)
{
    RetuneMailbox mailbox;
    mailbox.stop();
    bool ran = false;
    EXPECT_EQ(mailbox.post([&] {
        ran = true;
        return std::string("OK");
    }),
              "ERROR Receiver is stopping");
    mailbox.run_pending();
    EXPECT_FALSE(ran);
}

TEST(RetuneMailbox, StopReleasesAPosterWhoseActionNeverStarted)
{
    RetuneMailbox mailbox;
    std::atomic<bool> ran{false};
    std::future<std::string> reply = std::async(std::launch::async, [&] {
        return mailbox.post([&] {
            ran = true;
            return std::string("OK");
        });
    });
    while (!mailbox.pending())
        std::this_thread::yield();
    mailbox.stop();
    EXPECT_EQ(reply.get(), "ERROR Receiver is stopping");
    mailbox.run_pending();  // a last pass after stopping starts nothing
    EXPECT_FALSE(ran);
}

TEST(RetuneMailbox, AnActionAlreadyRunningWhenStopComesStillAnswers)
{
    RetuneMailbox mailbox;
    std::promise<void> started;
    std::promise<void> release;
    std::future<std::string> reply = std::async(std::launch::async, [&] {
        return mailbox.post([&] {
            started.set_value();
            release.get_future().wait();
            return std::string("OK RETUNE center=14074000.000000 channels=1");
        });
    });
    std::thread loop([&] { run_when_posted(mailbox); });
    started.get_future().wait();
    mailbox.stop();
    release.set_value();
    loop.join();
    EXPECT_EQ(reply.get(), "OK RETUNE center=14074000.000000 channels=1");
}

TEST(RetuneMailbox, AForeignExceptionLeavesTheLoopAndThePosterIsReleasedByStop)
{
    RetuneMailbox mailbox;
    std::future<std::string> reply =
        std::async(std::launch::async, [&] { return mailbox.post([]() -> std::string { throw 42; }); });
    while (!mailbox.pending())
        std::this_thread::yield();
    EXPECT_THROW(mailbox.run_pending(), int);
    mailbox.stop();  // the run loop's way out
    EXPECT_EQ(reply.get(), "ERROR Receiver is stopping");
}

}  // namespace
