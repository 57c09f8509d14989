// Stand-in for the external JTTY decoder "jtty-rx", for tests of the modem that drives it.
//
//   jtty-rx --low HZ --high HZ
//
// It checks what it is given the way the real decoder relies on it (the two passband edges as
// whole numbers, standard input a stream socket, standard output a pipe, whole 16-bit samples),
// reads its standard input to the end, and acts out a script.
//
// Environment:
//   JTTY_STANDIN_LOG     file that gets one line per event: "start N --low L --high H" when run N
//                        starts (N counts the runs recorded in this file), "end N SAMPLES" at the
//                        end of its input, "error N TEXT" when a check fails (exit status 2).
//   JTTY_STANDIN_SCRIPT  file of lines "RUN SECONDS ACTION [ARGUMENT]": RUN is a run number or "*",
//                        the action runs once SECONDS of audio (12000 samples a second) were
//                        read, in file order.
//   JTTY_STANDIN_DUMP    run N writes every byte it reads to DUMP.N.
//
// Actions:
//   print TEXT      TEXT and a line feed; "{hz}" in TEXT becomes the frequency of the audio read
//                   so far (from its rising zero crossings, one decimal)
//   write TEXT      TEXT without a line feed
//   exit [CODE]     end at once with status CODE (0 by default), input unread
//   stall           stop reading without closing anything and wait to be killed
//   close-output    close standard output, go on reading
//   flood BYTES     BYTES bytes of "x" without a line feed
//   flood-forever   "x" without a line feed, without end (reading its input meanwhile)
//   flood-lines N   N lines "JTTY K X 1000 -10 0 0 line K", K = 1 .. N
//   fork-helper     start a helper process that ignores SIGTERM, holds neither standard input
//                   nor output and waits to be killed; logs "helper N PID"
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Action {
    std::string run;
    double seconds = 0.0;
    std::string verb;
    std::string argument;
};

std::string log_path;
int run_number = 1;

void log_event(const std::string& text) {
    if (log_path.empty()) return;
    const int fd = ::open(log_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0) return;
    const std::string line = text + "\n";
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

[[noreturn]] void fail(const std::string& text) {
    log_event("error " + std::to_string(run_number) + " " + text);
    std::fprintf(stderr, "jtty-rx: %s\n", text.c_str());
    std::exit(2);
}

void write_all(const std::string& text) {
    const char* data = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(STDOUT_FILENO, data, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        data += n;
        left -= static_cast<std::size_t>(n);
    }
}

bool whole_number(const char* text, long& value) {
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0';
}

int count_runs() {
    std::ifstream in(log_path);
    std::string line;
    int runs = 0;
    while (std::getline(in, line))
        if (line.rfind("start ", 0) == 0) ++runs;
    return runs;
}

std::vector<Action> read_script(const char* path) {
    std::vector<Action> actions;
    if (!path || !*path) return actions;
    std::ifstream in(path);
    if (!in) fail(std::string("cannot read script ") + path);
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream fields(line);
        Action action;
        if (!(fields >> action.run >> action.seconds >> action.verb)) fail("bad script line: " + line);
        if (action.run != "*" && action.run != std::to_string(run_number)) continue;
        std::getline(fields, action.argument);
        if (!action.argument.empty() && action.argument[0] == ' ') action.argument.erase(0, 1);
        actions.push_back(action);
    }
    return actions;
}

// The tone frequency of what was read, assuming 16-bit samples at 12000 Hz.
struct Crossings {
    std::int16_t previous = 0;
    std::uint64_t index = 0;
    std::uint64_t count = 0;
    double first = 0.0;
    double last = 0.0;

    void add(std::int16_t sample) {
        if (index > 0 && previous < 0 && sample >= 0) {
            const double at = static_cast<double>(index - 1) + static_cast<double>(-previous) / (sample - previous);
            if (count == 0) first = at;
            last = at;
            ++count;
        }
        previous = sample;
        ++index;
    }
    double hz() const { return count < 2 ? 0.0 : static_cast<double>(count - 1) * 12000.0 / (last - first); }
};

std::string expand(std::string text, const Crossings& crossings) {
    const std::size_t at = text.find("{hz}");
    if (at != std::string::npos) {
        char number[32];
        std::snprintf(number, sizeof number, "%.1f", crossings.hz());
        text.replace(at, 4, number);
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    if (const char* path = std::getenv("JTTY_STANDIN_LOG")) log_path = path;
    if (!log_path.empty()) run_number = count_runs() + 1;

    long low = 0;
    long high = 0;
    if (argc != 5 || std::strcmp(argv[1], "--low") != 0 || std::strcmp(argv[3], "--high") != 0 ||
        !whole_number(argv[2], low) || !whole_number(argv[4], high) || low <= 0 || high <= low || high > 6000)
        fail("usage: jtty-rx --low HZ --high HZ");
    log_event("start " + std::to_string(run_number) + " --low " + argv[2] + " --high " + argv[4]);

    struct stat input {};
    int type = 0;
    socklen_t type_size = sizeof type;
    if (::fstat(STDIN_FILENO, &input) != 0 || !S_ISSOCK(input.st_mode) ||
        ::getsockopt(STDIN_FILENO, SOL_SOCKET, SO_TYPE, &type, &type_size) != 0 || type != SOCK_STREAM)
        fail("standard input is not a stream socket");
    struct stat output {};
    if (::fstat(STDOUT_FILENO, &output) != 0 || !S_ISFIFO(output.st_mode)) fail("standard output is not a pipe");

    const std::vector<Action> actions = read_script(std::getenv("JTTY_STANDIN_SCRIPT"));
    int dump = -1;
    if (const char* prefix = std::getenv("JTTY_STANDIN_DUMP")) {
        const std::string path = std::string(prefix) + "." + std::to_string(run_number);
        dump = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (dump < 0) fail("cannot write " + path);
    }

    std::uint64_t bytes = 0;
    bool odd_byte = false;
    unsigned char held = 0;
    Crossings crossings;
    std::size_t next = 0;
    std::vector<unsigned char> buffer(65536);
    for (;;) {
        // Every action that is due runs before the next read.
        while (next < actions.size() && actions[next].seconds * 12000.0 <= static_cast<double>(bytes / 2)) {
            const Action& a = actions[next++];
            if (a.verb == "print") {
                write_all(expand(a.argument, crossings) + "\n");
            } else if (a.verb == "write") {
                write_all(expand(a.argument, crossings));
            } else if (a.verb == "exit") {
                std::_Exit(a.argument.empty() ? 0 : std::atoi(a.argument.c_str()));
            } else if (a.verb == "stall") {
                for (;;) ::pause();
            } else if (a.verb == "close-output") {
                ::close(STDOUT_FILENO);
            } else if (a.verb == "flood") {
                write_all(std::string(std::strtoull(a.argument.c_str(), nullptr, 10), 'x'));
            } else if (a.verb == "flood-forever") {
                // Goes on reading what arrives between writes: it floods, it does not stall.
                const std::string block(65536, 'x');
                for (;;) {
                    pollfd input_ready{STDIN_FILENO, POLLIN, 0};
                    if (::poll(&input_ready, 1, 0) > 0 && ::read(STDIN_FILENO, buffer.data(), buffer.size()) == 0) break;
                    write_all(block);
                }
            } else if (a.verb == "flood-lines") {
                const long lines = std::atol(a.argument.c_str());
                std::string text;
                for (long k = 1; k <= lines; ++k) text += "JTTY " + std::to_string(k) + " X 1000 -10 0 0 line " + std::to_string(k) + "\n";
                write_all(text);
            } else if (a.verb == "fork-helper") {
                const pid_t helper = ::fork();
                if (helper < 0) fail(std::string("fork: ") + std::strerror(errno));
                if (helper == 0) {
                    ::signal(SIGTERM, SIG_IGN);
                    const int null = ::open("/dev/null", O_RDWR);
                    ::dup2(null, STDIN_FILENO);
                    ::dup2(null, STDOUT_FILENO);
                    for (;;) ::pause();
                }
                log_event("helper " + std::to_string(run_number) + " " + std::to_string(helper));
            } else {
                fail("unknown action " + a.verb);
            }
        }
        const ssize_t got = ::read(STDIN_FILENO, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) fail(std::string("read: ") + std::strerror(errno));
        if (got == 0) break;
        if (dump >= 0) (void)!::write(dump, buffer.data(), static_cast<std::size_t>(got));
        for (ssize_t i = 0; i < got; ++i) {
            if (!odd_byte) {
                held = buffer[static_cast<std::size_t>(i)];
                odd_byte = true;
                continue;
            }
            const unsigned char pair[2] = {held, buffer[static_cast<std::size_t>(i)]};
            std::int16_t sample = 0;
            std::memcpy(&sample, pair, sizeof sample);  // the machine's own byte order
            crossings.add(sample);
            odd_byte = false;
        }
        bytes += static_cast<std::uint64_t>(got);
    }
    if (odd_byte) fail("input ended inside a sample (" + std::to_string(bytes) + " bytes)");
    log_event("end " + std::to_string(run_number) + " " + std::to_string(bytes / 2));
    return 0;
}
