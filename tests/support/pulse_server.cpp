#include "tests/support/pulse_server.hpp"

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <stdexcept>

PulseServer::PulseServer(std::filesystem::path const& dir) : dir_(dir)
{
    for (char const* sub : {"runtime", "home", "state"})
        std::filesystem::create_directories(dir_ / sub);
    socket_ = (dir_ / "runtime" / "native").string();
    env_ = environment_with({"XDG_RUNTIME_DIR=" + (dir_ / "runtime").string(),
                             "PULSE_RUNTIME_PATH=" + (dir_ / "runtime").string(),
                             "PULSE_STATE_PATH=" + (dir_ / "state").string(), "HOME=" + (dir_ / "home").string(),
                             "PULSE_SERVER=unix:" + socket_},
                            {"DBUS_SESSION_BUS_ADDRESS"});
    char const* previous = std::getenv("PULSE_SERVER");
    had_previous_ = previous != nullptr;
    previous_server_ = had_previous_ ? previous : "";
    ::setenv("PULSE_SERVER", ("unix:" + socket_).c_str(), 1);
    start();
}

PulseServer::~PulseServer()
{
    server_.reset();
    if (had_previous_)
        ::setenv("PULSE_SERVER", previous_server_.c_str(), 1);
    else
        ::unsetenv("PULSE_SERVER");
}

bool PulseServer::start()
{
    failure_.clear();
    try {
        server_ = std::make_unique<BackgroundProcess>(
            std::vector<std::string> {"pulseaudio", "--daemonize=no", "--exit-idle-time=-1", "-n", "--system=no",
                                      "--disallow-exit", "--use-pid-file=no", "--log-target=stderr",
                                      "--log-level=info",
                                      "--load=module-native-protocol-unix auth-anonymous=1 socket=" + socket_},
            env_, (dir_ / "pulseaudio.out").string());
    } catch (std::exception const& error) {
        failure_ = std::string("No PulseAudio server can run here: ") + error.what();
        return false;
    }
    if (!server_->wait_for_error_text("Daemon startup complete.", std::chrono::seconds(20))) {
        failure_ = "The PulseAudio server did not start:\n" + server_->errors();
        return false;
    }
    return true;
}

void PulseServer::stop() { server_.reset(); }

ProcessResult PulseServer::pactl(std::vector<std::string> args) const
{
    args.insert(args.begin(), "pactl");
    ProcessRun run;
    run.argv = args;
    run.env = env_;
    run.timeout_ms = 20000;
    return run_process(run);
}

std::vector<std::string> PulseServer::modules() const
{
    // pactl lists "index\tname\targuments\tusers".
    ProcessResult const listed = pactl({"list", "short", "modules"});
    std::vector<std::string> result;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        std::size_t const name = line.find('\t');
        if (name == std::string::npos)
            continue;
        std::size_t const arguments = line.find('\t', name + 1);
        std::size_t const users = arguments == std::string::npos ? arguments : line.find('\t', arguments + 1);
        result.push_back(line.substr(name + 1, users == std::string::npos ? users : users - name - 1));
    }
    return result;
}

std::size_t PulseServer::count_modules(std::string const& name) const
{
    std::size_t count = 0;
    for (std::string const& module : modules())
        count += module.rfind(name + "\t", 0) == 0 ? 1 : 0;
    return count;
}

std::vector<std::string> PulseServer::names(std::string const& kind) const
{
    ProcessResult const listed = pactl({"list", "short", kind});
    std::vector<std::string> result;
    std::istringstream lines(listed.out);
    for (std::string line; std::getline(lines, line);) {
        std::size_t const name = line.find('\t');
        if (name == std::string::npos)
            continue;
        std::size_t const end = line.find('\t', name + 1);
        result.push_back(line.substr(name + 1, end == std::string::npos ? end : end - name - 1));
    }
    return result;
}
