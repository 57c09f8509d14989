#include "decode/worker_pool.hpp"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <thread>

class WorkerPool::Impl {
public:
    explicit Impl(std::uint32_t workers)
    {
        std::uint32_t const threads = workers > 1 ? workers - 1 : 0;
        try {
            threads_.reserve(threads);
            for (std::uint32_t i = 0; i < threads; ++i)
                threads_.emplace_back([this] { worker_loop(); });
        } catch (...) {
            shut_down();
            throw;
        }
    }

    ~Impl() { shut_down(); }

    void run(std::uint64_t count, std::function<void(std::uint64_t)> const& task)
    {
        if (threads_.empty() || count < 2) {
            for (std::uint64_t i = 0; i < count; ++i)
                task(i);
            return;
        }
        {
            std::scoped_lock lock(mutex_);
            task_ = &task;
            count_ = count;
            next_ = 0;
            remaining_ = count;
            error_ = nullptr;
            ++generation_;
        }
        work_ready_.notify_all();
        claim_and_run();

        std::exception_ptr error;
        {
            std::unique_lock lock(mutex_);
            work_done_.wait(lock, [this] { return remaining_ == 0; });
            // No index is left to claim, so no thread reads the caller's task any more.
            task_ = nullptr;
            error = std::move(error_);
            error_ = nullptr;
        }
        if (error)
            std::rethrow_exception(error);
    }

    std::uint32_t thread_count() const { return static_cast<std::uint32_t>(threads_.size()); }

private:
    void worker_loop()
    {
        std::uint64_t seen = 0;
        for (;;) {
            {
                std::unique_lock lock(mutex_);
                work_ready_.wait(lock, [&] { return stopping_ || generation_ != seen; });
                if (stopping_)
                    return;
                seen = generation_;
            }
            claim_and_run();
        }
    }

    // Claims indices of the current run until none is left; the task runs outside the lock.
    void claim_and_run()
    {
        for (;;) {
            std::function<void(std::uint64_t)> const* task = nullptr;
            std::uint64_t index = 0;
            {
                std::scoped_lock lock(mutex_);
                if (next_ >= count_)
                    return;
                index = next_++;
                task = task_;
            }
            try {
                (*task)(index);
            } catch (...) {
                std::scoped_lock lock(mutex_);
                if (!error_)
                    error_ = std::current_exception();
            }
            bool last = false;
            {
                std::scoped_lock lock(mutex_);
                last = --remaining_ == 0;
            }
            if (last)
                work_done_.notify_all();
        }
    }

    void shut_down()
    {
        {
            std::scoped_lock lock(mutex_);
            stopping_ = true;
        }
        work_ready_.notify_all();
        for (std::thread& thread : threads_) {
            if (thread.joinable())
                thread.join();
        }
        error_ = nullptr;
    }

    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable work_ready_;
    std::condition_variable work_done_;
    std::function<void(std::uint64_t)> const* task_ = nullptr;
    std::uint64_t count_ = 0;
    std::uint64_t next_ = 0;
    std::uint64_t remaining_ = 0;
    std::uint64_t generation_ = 0;
    bool stopping_ = false;
    std::exception_ptr error_;
};

WorkerPool::WorkerPool(std::uint32_t workers) : impl_(std::make_unique<Impl>(workers)) {}

WorkerPool::~WorkerPool() = default;

void WorkerPool::run(std::uint64_t count, std::function<void(std::uint64_t)> const& task)
{
    impl_->run(count, task);
}

std::uint32_t WorkerPool::thread_count() const { return impl_->thread_count(); }

std::vector<WorkRange> split_ranges(std::uint64_t count, std::uint64_t parts)
{
    std::uint64_t chunk = 16;
    if (count >= 32) {
        if (parts == 0) {
            chunk = count / 16 * 16;
        } else {
            chunk = count / std::min(parts, count / 16);
            chunk = std::max<std::uint64_t>(chunk / 16 * 16, 16);
        }
    }
    std::vector<WorkRange> ranges;
    for (std::uint64_t start = 0; start < count; start += chunk)
        ranges.push_back({start, std::min(chunk, count - start)});
    if (ranges.empty())
        ranges.push_back({0, 0});
    return ranges;
}
