#include "sig/modems/jtty_modem.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <locale>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "core/log_line.hpp"
#include "core/spawn_support.hpp"
#include "core/unique_fd.hpp"

extern char** environ;

namespace sig {
namespace {

constexpr double kRestartDelaySeconds = 30.0;
// A child that does not take one block of audio within this time has stopped reading.
constexpr auto kSendBound = std::chrono::milliseconds(2000);
// A decoder line is a few dozen bytes; one without a line feed past this is dropped.
constexpr std::size_t kPartialLineCap = 65536;
// What one block may read of the child's output: a child that writes without pause cannot hold
// the analyzer thread in the read loop.
constexpr std::size_t kReadPerBlock = 262144;
constexpr std::size_t kReadChunk = 4096;
constexpr int kExitPolls = 50;
constexpr auto kExitPollInterval = std::chrono::milliseconds(10);

bool is_space(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Reads one whole field as T with the classic locale; fails unless the field is used up.
template <typename T>
bool read_field(std::string_view field, T& value) {
    std::istringstream in{std::string(field)};
    in.imbue(std::locale::classic());
    in >> value;
    return !in.fail() && in.peek() == std::char_traits<char>::eof();
}

std::string delay_text() {
    std::ostringstream out;
    out << kRestartDelaySeconds;  // the stream's default format: "30"
    return out.str();
}

}  // namespace

JttyPassband jtty_passband(double channel_bandwidth_hz) {
    double high = channel_bandwidth_hz - 100.0;
    if (!(high >= 600.0)) high = 600.0;  // a bandwidth that is not a number gets the narrowest range too
    if (high > 2800.0) high = 2800.0;
    return {200, static_cast<int>(std::trunc(high))};
}

std::int16_t jtty_sample(float value) {
    if (std::isnan(value)) return 0;
    const double held = std::clamp(static_cast<double>(value), -1.0, 1.0);
    return static_cast<std::int16_t>(std::lround(held * 32767.0));
}

std::optional<DecodedLine> parse_jtty_line(std::string_view line, std::optional<double> stream_start) {
    std::string_view fields[7];
    std::size_t pos = 0;
    for (std::string_view& field : fields) {
        while (pos < line.size() && is_space(line[pos])) ++pos;
        const std::size_t start = pos;
        while (pos < line.size() && !is_space(line[pos])) ++pos;
        if (pos == start) return std::nullopt;
        field = line.substr(start, pos - start);
    }
    if (fields[0] != "JTTY" || fields[2] == "G") return std::nullopt;
    long long id = 0;
    double value = 0.0;
    int count = 0;
    double unused = 0.0;
    double seconds = 0.0;
    if (!read_field(fields[1], id) || !read_field(fields[3], value) || !read_field(fields[4], count) ||
        !read_field(fields[5], unused) || !read_field(fields[6], seconds))
        return std::nullopt;
    std::string_view text = line.substr(pos);
    while (!text.empty() && text.front() == ' ') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    DecodedLine decoded;
    decoded.id = static_cast<std::uint32_t>(static_cast<unsigned long long>(id));
    decoded.value = value;
    decoded.count = count;
    decoded.time = stream_start ? *stream_start + seconds : 0.0;
    decoded.text = std::string(text);
    return decoded;
}

struct JttyModem::Impl {
    ModemContext context;
    JttyPassband passband;
    pid_t pid = -1;
    UniqueFd audio;   // our end of the child's standard input
    UniqueFd output;  // read end of the child's standard output
    std::string partial;
    bool skipping_line = false;  // inside a line that was too long: drop up to its line feed
    std::optional<double> stream_start;  // UTC seconds of the first sample the child was sent
    bool failed = false;
    double failed_at = 0.0;
    bool warned = false;
    std::uint64_t dropped_lines = 0;
    std::uint64_t reported_drops = 0;
    double drops_reported_at = 0.0;
    std::vector<std::int16_t> samples;
    ModemOutput pending;

    std::string label() const { return "Analysis channel " + context.channel + ": "; }
    bool start(double t);
    bool send(double t);
    void read_output(double t);
    void take_bytes(const char* data, std::size_t size);
    void report_drops(double t);
    void stop(double t);
    void end_child();
};

bool JttyModem::Impl::start(double t) {
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) return false;
    UniqueFd ours(pair[0]);
    UniqueFd theirs(pair[1]);
    int pipe_ends[2];
    if (::pipe2(pipe_ends, O_CLOEXEC) != 0) return false;
    UniqueFd read_end(pipe_ends[0]);
    UniqueFd write_end(pipe_ends[1]);

    const char* configured = std::getenv("NORVANE_JTTY");
    const std::string program = configured && *configured ? configured : "jtty-rx";
    const std::string low = std::to_string(passband.low_hz);
    const std::string high = std::to_string(passband.high_hz);
    char* argv[] = {const_cast<char*>(program.c_str()), const_cast<char*>("--low"), const_cast<char*>(low.c_str()),
                    const_cast<char*>("--high"), const_cast<char*>(high.c_str()), nullptr};

    int error = 0;
    pid_t child = -1;
    {
        SpawnFileActions actions;
        SpawnAttributes attributes;
        error = actions.init_error() ? actions.init_error() : attributes.init_error();
        if (error == 0) error = posix_spawn_file_actions_adddup2(actions.get(), theirs.get(), STDIN_FILENO);
        if (error == 0) error = posix_spawn_file_actions_adddup2(actions.get(), write_end.get(), STDOUT_FILENO);
        if (error == 0) error = start_own_process_group(attributes.get());
        if (error == 0) error = posix_spawnp(&child, program.c_str(), actions.get(), attributes.get(), argv, environ);
    }
    theirs.close();
    write_end.close();
    if (error != 0) {
        failed = true;
        failed_at = t;
        if (!warned) {
            log_line(label() + "cannot run " + program + ": " + std::strerror(error));
            warned = true;
        }
        return false;
    }
    pid = child;
    // Both ends non-blocking: output is drained as far as it goes, audio is sent with a bound.
    for (const int fd : {ours.get(), read_end.get()}) {
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0) ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
    }
    audio = std::move(ours);
    output = std::move(read_end);
    partial.clear();
    skipping_line = false;
    stream_start.reset();
    return true;
}

bool JttyModem::Impl::send(double t) {
    const char* data = reinterpret_cast<const char*>(samples.data());
    std::size_t left = samples.size() * sizeof(std::int16_t);
    const auto deadline = std::chrono::steady_clock::now() + kSendBound;
    while (left > 0) {
        const ssize_t sent = ::send(audio.get(), data, left, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (sent > 0) {
            data += sent;
            left -= static_cast<std::size_t>(sent);
            continue;
        }
        if (sent < 0 && errno == EINTR) continue;
        if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            const auto remaining =
                std::chrono::ceil<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (remaining.count() <= 0) break;  // stalled: the child stopped reading
            // Its output is read meanwhile: a child that writes before it reads on must not
            // wait for us while we wait for it.
            pollfd ready[2] = {{audio.get(), POLLOUT, 0}, {output.get(), POLLIN, 0}};
            const int polled = ::poll(ready, 2, static_cast<int>(remaining.count()));
            if (polled < 0 && errno != EINTR) break;
            if (polled > 0 && ready[1].revents != 0) {
                read_output(t);
                if (pid < 0) return false;  // it ended: stopped already
            }
            continue;
        }
        break;
    }
    if (left == 0) return true;
    stop(t);
    return false;
}

void JttyModem::Impl::read_output(double t) {
    char chunk[kReadChunk];
    std::size_t budget = kReadPerBlock;
    while (output.get() >= 0 && budget > 0) {
        const ssize_t got = ::read(output.get(), chunk, std::min(sizeof chunk, budget));
        if (got > 0) {
            take_bytes(chunk, static_cast<std::size_t>(got));
            budget -= static_cast<std::size_t>(got);
            continue;
        }
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) break;
        stop(t);  // end of file, or a read error
        break;
    }
    report_drops(t);
}

void JttyModem::Impl::take_bytes(const char* data, std::size_t size) {
    while (size > 0) {
        const char* feed = static_cast<const char*>(std::memchr(data, '\n', size));
        const std::size_t piece = feed ? static_cast<std::size_t>(feed - data) : size;
        if (!skipping_line) {
            if (partial.size() + piece > kPartialLineCap) {
                partial.clear();
                skipping_line = true;
                ++dropped_lines;
            } else {
                partial.append(data, piece);
            }
        }
        if (!feed) break;
        if (!skipping_line) {
            if (auto line = parse_jtty_line(partial, stream_start)) pending.lines.push_back(std::move(*line));
        }
        partial.clear();
        skipping_line = false;
        data = feed + 1;
        size -= piece + 1;
    }
}

void JttyModem::Impl::report_drops(double t) {
    // The first loss is told at once, later ones as a running count at most every 30 s of audio.
    if (dropped_lines > reported_drops && (reported_drops == 0 || t - drops_reported_at >= kRestartDelaySeconds)) {
        log_line(label() + "JTTY decoder output lines over " + std::to_string(kPartialLineCap) +
                 " bytes dropped: " + std::to_string(dropped_lines));
        reported_drops = dropped_lines;
        drops_reported_at = t;
    }
}

void JttyModem::Impl::stop(double t) {
    if (!warned) {
        log_line(label() + "the JTTY decoder stopped; starting it again in " + delay_text() + " s");
        warned = true;
    }
    // Whatever the child printed before it failed is still read: no decoded line is lost.
    if (output.get() >= 0) {
        char chunk[kReadChunk];
        std::size_t budget = kReadPerBlock;
        while (budget > 0) {
            const ssize_t got = ::read(output.get(), chunk, std::min(sizeof chunk, budget));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            take_bytes(chunk, static_cast<std::size_t>(got));
            budget -= static_cast<std::size_t>(got);
        }
    }
    end_child();
    failed = true;
    failed_at = t;
}

void JttyModem::Impl::end_child() {
    audio.close();
    output.close();
    if (pid < 0) return;
    // The child leads a process group of its own: whatever it started goes with it, whether it
    // ended by itself once its input closed or has to be killed. It stays unreaped until then,
    // so the group cannot be mistaken for another.
    for (int attempt = 0; attempt < kExitPolls; ++attempt) {
        const int exited = child_has_exited(pid);
        if (exited < 0) {  // nothing left to reap
            pid = -1;
            return;
        }
        if (exited == 1) break;
        std::this_thread::sleep_for(kExitPollInterval);
    }
    kill_and_reap(pid, KillScope::process_group);
    pid = -1;
}

JttyModem::JttyModem(const ModemContext& context, JttyPassband passband) : impl_(std::make_unique<Impl>()) {
    impl_->context = context;
    impl_->passband = passband;
}

JttyModem::~JttyModem() { impl_->end_child(); }

Mode JttyModem::mode() const { return Mode::JTTY; }

void JttyModem::process(const AudioBlock& block) {
    Impl& s = *impl_;
    const double t = block.time;
    if (s.pid < 0) {
        if (s.failed && t - s.failed_at < kRestartDelaySeconds) return;
        if (!s.start(t)) return;
    }
    if (!s.stream_start) s.stream_start = t;
    s.samples.resize(block.samples.size());
    std::transform(block.samples.begin(), block.samples.end(), s.samples.begin(), jtty_sample);
    if (!s.samples.empty() && !s.send(t)) {
        s.report_drops(t);
        return;
    }
    s.read_output(t);
}

void JttyModem::set_frequency(double) {}

void JttyModem::reset() {}

ModemOutput JttyModem::take_output() {
    ModemOutput out = std::move(impl_->pending);
    impl_->pending = ModemOutput{};
    return out;
}

}  // namespace sig
