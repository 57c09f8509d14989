#pragma once

// A PskReporter under test control: clocks the test sets, and a send hook that records every
// datagram, can fail on request and can hold the sender inside the hook until released.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "report/psk_reporter.hpp"
#include "tests/support/ipfix_reader.hpp"

inline constexpr std::int64_t harness_start_s = 1700000000;

struct PskClocks {
    std::atomic<std::int64_t> now_s{harness_start_s};
    std::atomic<std::int64_t> monotonic_ns{1000000000000};

    PskReportPolicy policy(std::string path = {})
    {
        PskReportPolicy policy;
        policy.path = std::move(path);
        policy.now = [this] { return now_s.load(); };
        policy.monotonic = [this] {
            return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(monotonic_ns.load()));
        };
        return policy;
    }
    void advance_monotonic(std::chrono::nanoseconds by) { monotonic_ns += by.count(); }
};

struct Delivery {
    std::vector<unsigned char> bytes;
    std::chrono::steady_clock::time_point at;
};

class DatagramSink {
public:
    PskReporter::SendHook hook()
    {
        return [this](std::vector<unsigned char> const& bytes) {
            std::unique_lock lock(mutex_);
            ++attempts_;
            attempt_times_.push_back(std::chrono::steady_clock::now());
            cv_.notify_all();
            cv_.wait(lock, [&] { return !hold_; });
            if (failures_left_ > 0) {
                --failures_left_;
                throw std::runtime_error("collector unreachable");
            }
            delivered_.push_back({bytes, std::chrono::steady_clock::now()});
            cv_.notify_all();
        };
    }

    void fail_next(int count)
    {
        std::scoped_lock lock(mutex_);
        failures_left_ = count;
    }
    void hold()
    {
        std::scoped_lock lock(mutex_);
        hold_ = true;
    }
    void release()
    {
        {
            std::scoped_lock lock(mutex_);
            hold_ = false;
        }
        cv_.notify_all();
    }

    // Waits (bounded, for a broken build only) until the hook was entered `count` times.
    bool wait_attempts(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return attempts_ >= count; });
    }
    bool wait_delivered(std::size_t count)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, std::chrono::seconds(20), [&] { return delivered_.size() >= count; });
    }

    std::vector<Delivery> delivered() const
    {
        std::scoped_lock lock(mutex_);
        return delivered_;
    }
    std::vector<std::chrono::steady_clock::time_point> attempt_times() const
    {
        std::scoped_lock lock(mutex_);
        return attempt_times_;
    }
    std::vector<IpfixMessage> messages() const
    {
        std::vector<IpfixMessage> out;
        for (Delivery const& delivery : delivered())
            out.push_back(read_ipfix_message(delivery.bytes));
        return out;
    }
    std::vector<PskSpot> spots() const
    {
        std::vector<PskSpot> out;
        for (IpfixMessage const& message : messages())
            out.insert(out.end(), message.spots.begin(), message.spots.end());
        return out;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    std::size_t attempts_ = 0;
    std::vector<std::chrono::steady_clock::time_point> attempt_times_;
    std::vector<Delivery> delivered_;
    int failures_left_ = 0;
    bool hold_ = false;
};

// "K0AAA", "K0AAB", ...: distinct valid calls.
inline std::string nth_call(int n)
{
    std::string call = "K0AAA";
    call[4] = static_cast<char>('A' + n % 26);
    call[3] = static_cast<char>('A' + n / 26 % 26);
    call[2] = static_cast<char>('A' + n / 676 % 26);
    call[1] = static_cast<char>('0' + n / 17576 % 10);
    return call;
}

inline PskSpot make_spot(std::string call, std::uint32_t time = harness_start_s, std::string grid = "FN31",
                         std::uint32_t frequency_hz = 14075000, std::int32_t snr = -10, std::string mode = "FT8")
{
    return PskSpot{std::move(call), std::move(grid), frequency_hz, time, snr, std::move(mode)};
}

inline std::chrono::milliseconds const an_hour{3600000};
