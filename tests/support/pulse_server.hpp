#pragma once

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "tests/support/background_process.hpp"
#include "tests/support/run_process.hpp"

// A private PulseAudio server for one test: its own runtime, state and home directories under
// `dir`, a socket that anyone may use without a cookie, no default configuration. While it
// lives, this process's PULSE_SERVER points at it (so our clients find it); env() is the
// environment for child processes (pactl, parec, norvane).
class PulseServer {
public:
    explicit PulseServer(std::filesystem::path const& dir);
    ~PulseServer();
    PulseServer(PulseServer const&) = delete;
    PulseServer& operator=(PulseServer const&) = delete;

    // Empty when the server runs; otherwise why it could not (the test is then skipped).
    std::string const& failure() const { return failure_; }
    std::vector<std::string> const& env() const { return env_; }
    std::string const& socket() const { return socket_; }

    // What the server has logged (its standard error).
    std::string log() const { return server_ ? server_->errors() : std::string(); }
    // Stops the server (its clients see it disappear) and starts a new one on the same socket.
    void stop();
    bool start();

    ProcessResult pactl(std::vector<std::string> args) const;
    // "name\targuments" of every loaded module.
    std::vector<std::string> modules() const;
    std::size_t count_modules(std::string const& name) const;
    // Names of the sinks or sources ("sinks", "sources") the server has.
    std::vector<std::string> names(std::string const& kind) const;

private:
    std::filesystem::path dir_;
    std::string socket_;
    std::vector<std::string> env_;
    std::unique_ptr<BackgroundProcess> server_;
    std::string failure_;
    std::string previous_server_;
    bool had_previous_ = false;
};
