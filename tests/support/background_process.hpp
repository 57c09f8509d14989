#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>
#include <vector>

// A program running beside the test, with its standard output going to a file and its standard
// error collected by a reader thread (so that a chatty child never blocks on a full pipe).
// Stopped with SIGTERM and reaped when the object goes (or by stop).
class BackgroundProcess {
public:
    BackgroundProcess(std::vector<std::string> const& argv, std::vector<std::string> const& env,
                      std::string const& stdout_file);
    ~BackgroundProcess();
    BackgroundProcess(BackgroundProcess const&) = delete;
    BackgroundProcess& operator=(BackgroundProcess const&) = delete;

    // Waits until the child has written `text` to its standard error, or closed it.
    bool wait_for_error_text(std::string const& text, std::chrono::milliseconds timeout);
    std::string errors() const;
    // Sends the signal and reaps the child; returns its wait status. Later calls return it again.
    int stop(int signal_number);
    // Waits for the child to end by itself, at most the timeout; true when it did (status set).
    bool wait_exit(std::chrono::milliseconds timeout, int& status);

private:
    void read_errors(int fd);

    pid_t pid_ = -1;
    bool reaped_ = false;
    int status_ = 0;
    std::thread reader_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::string errors_;
    bool closed_ = false;
};
