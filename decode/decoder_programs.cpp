#include "decode/decoder_programs.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <iomanip>
#include <limits>
#include <locale>
#include <sstream>
#include <string_view>
#include <system_error>

#include "core/errno_error.hpp"
#include "core/spawn_support.hpp"
#include "core/station_checks.hpp"
#include "core/unique_fd.hpp"
#include "report/wspr_message.hpp"

extern char** environ;

namespace {

char const* js8_submode_letter(DigitalMode mode)
{
    switch (mode) {
    case DigitalMode::JS8_FAST: return "B";
    case DigitalMode::JS8_TURBO: return "C";
    case DigitalMode::JS8_SLOW: return "E";
    default: return "A";
    }
}

char const* missing_decoder_hint(DigitalMode mode)
{
    if (is_js8_mode(mode))
        return " (build the separate extras/js8-decoder program and use --js8-decoder PATH)";
    if (mode == DigitalMode::WSPR)
        return " (install wsjtx or use --wspr-decoder PATH)";
    return " (install wsjtx or use --decoder PATH)";
}

bool is_executable_file(std::filesystem::path const& path)
{
    struct stat info {};
    return ::access(path.c_str(), X_OK) == 0 && ::stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

constexpr double last_utc_second = 253402300799.0;  // 9999-12-31 23:59:59

// The whole second of an interval start that a calendar shows; empty for one no clock could
// show (not finite, before 1970, past year 9999).
std::optional<std::time_t> calendar_seconds(double start_utc)
{
    if (!std::isfinite(start_utc) || start_utc < 0.0 || start_utc > last_utc_second)
        return std::nullopt;
    return static_cast<std::time_t>(start_utc);
}

// The parsers must reject, not trip over, an interval start that no clock could show.
std::optional<std::string> utc_text(double start_utc, char const* format)
{
    auto const seconds = calendar_seconds(start_utc);
    if (!seconds)
        return std::nullopt;
    return format_utc(*seconds, format);
}

// Whole-token number conversions. A value that does not fit rejects the line it came from:
// one odd line from a decoder must never end the run.
std::optional<std::int64_t> to_integer(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    std::int64_t value = 0;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

std::optional<double> to_decimal(std::string_view text)
{
    if (!text.empty() && text.front() == '+')
        text.remove_prefix(1);
    double value = 0.0;
    auto const [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size() || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::vector<std::string_view> split_tokens(std::string_view text)
{
    std::vector<std::string_view> tokens;
    constexpr std::string_view blanks = " \t\n\v\f\r";
    std::size_t position = text.find_first_not_of(blanks);
    while (position != std::string_view::npos) {
        auto const end = text.find_first_of(blanks, position);
        tokens.push_back(text.substr(position, end == std::string_view::npos ? end : end - position));
        position = end == std::string_view::npos ? end : text.find_first_not_of(blanks, end);
    }
    return tokens;
}

// The FT8/FT4 line, matched by hand as the whole-line expression
//   ^\s*([0-9]{6})\s+(-?[0-9]+)\s+(-?[0-9]+\.[0-9]+)\s+([0-9]+)\s+([~+])\s+(.{1,37})(.*)$
// would match it ("." is any character but a line break). Every field up to the marker ends at
// the first blank, so no backtracking is needed; and std::regex, which matches (.*) recursively,
// would overflow a worker's stack on a line of some hundred kilobytes.
struct FtFields {
    std::string_view time;
    std::string_view snr;
    std::string_view dt;
    std::string_view audio;
    char marker = 0;
    std::string_view message;  // group 6: at most 37 characters
};

bool is_blank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }

class LineCursor {
public:
    explicit LineCursor(std::string_view text) : text_(text) {}
    std::size_t blanks()
    {
        std::size_t const from = at_;
        while (at_ < text_.size() && is_blank(text_[at_]))
            ++at_;
        return at_ - from;
    }
    std::size_t digits()
    {
        std::size_t const from = at_;
        while (at_ < text_.size() && is_digit(text_[at_]))
            ++at_;
        return at_ - from;
    }
    bool take(char c)
    {
        if (at_ < text_.size() && text_[at_] == c) {
            ++at_;
            return true;
        }
        return false;
    }
    std::size_t position() const { return at_; }
    std::string_view from(std::size_t start) const { return text_.substr(start, at_ - start); }
    std::string_view rest() const { return text_.substr(at_); }

private:
    std::string_view text_;
    std::size_t at_ = 0;
};

std::optional<FtFields> match_ft_line(std::string_view line)
{
    LineCursor cursor(line);
    FtFields fields;
    cursor.blanks();
    std::size_t start = cursor.position();
    if (cursor.digits() != 6 || cursor.blanks() == 0)
        return std::nullopt;
    fields.time = line.substr(start, 6);

    start = cursor.position();
    cursor.take('-');
    if (cursor.digits() == 0)
        return std::nullopt;
    fields.snr = cursor.from(start);
    if (cursor.blanks() == 0)
        return std::nullopt;

    start = cursor.position();
    cursor.take('-');
    if (cursor.digits() == 0 || !cursor.take('.') || cursor.digits() == 0)
        return std::nullopt;
    fields.dt = cursor.from(start);
    if (cursor.blanks() == 0)
        return std::nullopt;

    start = cursor.position();
    if (cursor.digits() == 0)
        return std::nullopt;
    fields.audio = cursor.from(start);
    if (cursor.blanks() == 0)
        return std::nullopt;

    if (cursor.take('~'))
        fields.marker = '~';
    else if (cursor.take('+'))
        fields.marker = '+';
    else
        return std::nullopt;
    std::size_t const blank_start = cursor.position();
    if (cursor.blanks() == 0)
        return std::nullopt;

    std::string_view rest = cursor.rest();
    if (rest.empty()) {
        // The expression gives the last blank back to (.{1,37}); a blank message is rejected
        // afterwards all the same.
        rest = line.substr(blank_start + 1);
        if (rest.empty())
            return std::nullopt;
        rest = rest.substr(rest.size() - 1);
    }
    if (rest.find_first_of("\n\r") != std::string_view::npos)
        return std::nullopt;
    fields.message = rest.substr(0, 37);
    return fields;
}

std::optional<DecodedSpot> parse_ft_line(std::string const& line, DigitalMode mode, double start_utc)
{
    auto const fields = match_ft_line(line);
    if (!fields)
        return std::nullopt;
    auto const time = utc_text(start_utc, "%H%M%S");
    if (!time || fields->time != *time)
        return std::nullopt;
    if (fields->marker != (mode == DigitalMode::FT4 ? '+' : '~'))
        return std::nullopt;
    auto const snr = to_integer(fields->snr);
    auto const dt = to_decimal(fields->dt);
    auto const audio = to_integer(fields->audio);
    if (!snr || !dt || !audio || *snr < -50 || *snr > 50 || std::fabs(*dt) > 10.0 || *audio > 6000)
        return std::nullopt;
    std::string message(fields->message);
    message.erase(message.find_last_not_of(' ') + 1);
    if (message.empty())
        return std::nullopt;
    for (char c : message) {
        if (c < 0x20 || c > 0x7E)
            return std::nullopt;
    }
    DecodedSpot spot;
    spot.snr = static_cast<std::int32_t>(*snr);
    spot.dt = *dt;
    spot.audio_hz = static_cast<std::int32_t>(*audio);
    spot.message = std::move(message);
    return spot;
}

constexpr std::string_view js8_frame_alphabet = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-+/?.";

std::optional<DecodedSpot> parse_js8_line(std::string const& line, DigitalMode mode, double start_utc)
{
    auto const tab = line.find('\t');
    if (tab == std::string::npos || line.size() > 4096)
        return std::nullopt;
    auto const tokens = split_tokens(std::string_view(line).substr(0, tab));
    if (tokens.size() != 9)
        return std::nullopt;
    auto const time = utc_text(start_utc, "%H%M%S");
    if (!time || tokens[0] != *time || tokens[4] != js8_submode_letter(mode))
        return std::nullopt;
    auto const snr = to_integer(tokens[1]);
    auto const dt = to_decimal(tokens[2]);
    auto const audio = to_integer(tokens[3]);
    auto const flags = to_integer(tokens[5]);
    if (!snr || !dt || !audio || !flags)
        return std::nullopt;
    if (*snr < -50 || *snr > 50 || std::fabs(*dt) > 10.0 || *audio < 0 || *audio > 6000 || *flags < 0 ||
        *flags > 7)
        return std::nullopt;
    std::string_view const frame = tokens[6];
    if (frame.size() != 12 || frame.find_first_not_of(js8_frame_alphabet) != std::string_view::npos)
        return std::nullopt;
    std::string sender(tokens[7] == "-" ? std::string_view() : tokens[7]);
    std::string grid(tokens[8] == "-" ? std::string_view() : tokens[8]);
    if ((!sender.empty() && !is_valid_callsign(sender)) || (!grid.empty() && !is_valid_locator(grid)))
        return std::nullopt;
    std::string message = line.substr(tab + 1);
    if (message.empty())
        return std::nullopt;
    for (char c : message) {
        auto const byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F)
            return std::nullopt;
    }
    DecodedSpot spot;
    spot.snr = static_cast<std::int32_t>(*snr);
    spot.dt = *dt;
    spot.audio_hz = static_cast<std::int32_t>(*audio);
    spot.flags = static_cast<std::int32_t>(*flags);
    spot.frame = std::string(frame);
    spot.sender = std::move(sender);
    spot.grid = std::move(grid);
    spot.message = std::move(message);
    return spot;
}

std::optional<DecodedSpot> parse_wspr_line(std::string const& line, double start_utc, double dial_hz)
{
    if (line.size() > 256)
        return std::nullopt;
    // Five leading tokens, then the message as the rest of the line.
    std::string_view rest(line);
    std::string_view head[5];
    constexpr std::string_view blanks = " \t\n\v\f\r";
    for (auto& token : head) {
        auto const begin = rest.find_first_not_of(blanks);
        if (begin == std::string_view::npos)
            return std::nullopt;
        rest.remove_prefix(begin);
        auto const end = std::min(rest.find_first_of(blanks), rest.size());
        token = rest.substr(0, end);
        rest.remove_prefix(end);
    }
    if (!std::isfinite(start_utc) || std::fmod(start_utc, 120.0) != 0.0)
        return std::nullopt;
    auto const time = utc_text(start_utc, "%H%M");
    if (!time || head[0] != *time)
        return std::nullopt;
    auto const snr = to_integer(head[1]);
    auto const dt = to_decimal(head[2]);
    auto const frequency_mhz = to_decimal(head[3]);
    auto const drift = to_integer(head[4]);
    if (!snr || !dt || !frequency_mhz || !drift)
        return std::nullopt;
    if (!std::isfinite(dial_hz) || dial_hz < 1000.0)
        return std::nullopt;
    if (*snr < -50 || *snr > 50 || std::fabs(*dt) > 10.0 || *drift < -10 || *drift > 10)
        return std::nullopt;
    double const audio = *frequency_mhz * 1000000.0 - dial_hz;
    if (!(audio >= 1349.5 && audio <= 1650.5))
        return std::nullopt;

    auto const first = rest.find_first_not_of(' ');
    if (first == std::string_view::npos)
        return std::nullopt;
    rest.remove_prefix(first);
    rest.remove_suffix(rest.size() - 1 - rest.find_last_not_of(' '));

    DecodedSpot spot;
    spot.snr = static_cast<std::int32_t>(*snr);
    spot.dt = *dt;
    spot.audio_hz = static_cast<std::int32_t>(std::lround(audio));
    spot.drift = static_cast<std::int32_t>(*drift);
    spot.message = std::string(rest);
    if (!parse_wspr_message(spot))
        return std::nullopt;
    return spot;
}

// --- running a decoder -------------------------------------------------------------------

void check_spawn_setup(int result)
{
    if (result != 0)
        throw std::runtime_error(std::string("Start decoder: ") + std::strerror(result));
}

// The decoder's process group from spawn to reaping.
class DecoderChild {
public:
    explicit DecoderChild(pid_t pid) : pid_(pid) {}
    DecoderChild(DecoderChild const&) = delete;
    DecoderChild& operator=(DecoderChild const&) = delete;
    ~DecoderChild()
    {
        if (!reaped_)
            kill_and_reap();
    }

    // True once the leader has exited; it stays unreaped so the group can still be killed.
    bool has_exited()
    {
        int const exited = child_has_exited(pid_);
        if (exited < 0)
            throw errno_error("Wait for decoder");
        return exited == 1;
    }

    void kill_and_reap()
    {
        status_ = ::kill_and_reap(pid_, KillScope::process_group);
        reaped_ = true;
    }

    int status() const { return status_; }

private:
    pid_t pid_;
    bool reaped_ = false;
    int status_ = 0;
};

using Clock = std::chrono::steady_clock;

}  // namespace

DecoderOutputRead read_decoder_output(int fd, std::string& output, Clock::time_point deadline)
{
    char buffer[8192];
    for (;;) {
        ssize_t const count = ::read(fd, buffer, sizeof buffer);
        if (count > 0) {
            if (output.size() + static_cast<std::size_t>(count) > decoder_output_limit_bytes)
                throw DecoderOutputTooLong();
            output.append(buffer, static_cast<std::size_t>(count));
            if (Clock::now() >= deadline)
                return DecoderOutputRead::deadline;
            continue;
        }
        if (count == 0)
            return DecoderOutputRead::end_of_file;
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return DecoderOutputRead::empty;
        throw errno_error("Read decoder output");
    }
}

bool is_js8_mode(DigitalMode mode)
{
    return mode == DigitalMode::JS8 || mode == DigitalMode::JS8_FAST || mode == DigitalMode::JS8_TURBO ||
           mode == DigitalMode::JS8_SLOW;
}

std::time_t utc_whole_seconds(double start_utc)
{
    auto const seconds = calendar_seconds(start_utc);
    if (!seconds)
        throw std::runtime_error("Invalid UTC timestamp");
    return *seconds;
}

std::string find_decoder_executable(std::string const& name, DigitalMode mode)
{
    namespace fs = std::filesystem;
    std::vector<fs::path> candidates;
    if (name.find('/') != std::string::npos) {
        candidates.push_back(fs::absolute(name));
    } else {
        char const* const path_variable = std::getenv("PATH");
        std::string_view const path = path_variable ? path_variable : "";
        std::size_t begin = 0;
        for (;;) {
            auto const end = path.find(':', begin);
            std::string_view const entry = path.substr(begin, end == std::string_view::npos ? end : end - begin);
            fs::path const directory = entry.empty() ? fs::path(".") : fs::path(entry);
            candidates.push_back(fs::absolute(directory / name));
            if (end == std::string_view::npos)
                break;
            begin = end + 1;
        }
    }
    for (auto const& candidate : candidates) {
        if (is_executable_file(candidate))
            return candidate.string();
    }
    throw std::runtime_error("Cannot find decoder executable: " + name + missing_decoder_hint(mode));
}

std::time_t parse_utc_timestamp(std::string const& text)
{
    constexpr char const* format = "%Y%m%d_%H%M%S";
    std::tm calendar{};
    std::istringstream in(text);
    in.imbue(std::locale::classic());
    in >> std::get_time(&calendar, format);
    if (text.size() != 15 || in.fail())
        throw std::runtime_error("UTC timestamp must be YYYYMMDD_HHMMSS");
    std::time_t const seconds = ::timegm(&calendar);
    if (seconds < 0 || format_utc(seconds, format) != text)
        throw std::runtime_error("Invalid UTC timestamp");
    return seconds;
}

void remove_directory_tree(std::filesystem::path const& path)
{
    if (path.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

std::vector<std::string> decoder_command_line(std::string const& decoder_path, std::string const& wav_name,
                                              DigitalMode mode, int decode_depth, int high_hz, double start_utc,
                                              double dial_hz)
{
    if (is_js8_mode(mode)) {
        return {decoder_path, "--mode", js8_submode_letter(mode), "--utc",
                format_utc(utc_whole_seconds(start_utc), "%H%M%S"),
                "--high", std::to_string(std::min(high_hz, 5000)), wav_name};
    }
    if (mode == DigitalMode::WSPR) {
        std::ostringstream mhz;
        mhz.imbue(std::locale::classic());
        mhz << std::fixed << std::setprecision(6) << dial_hz / 1000000.0;
        std::vector<std::string> arguments{decoder_path, "-a", ".", "-f", mhz.str()};
        if (decode_depth == 3)
            arguments.emplace_back("-d");
        else if (decode_depth == 1)
            arguments.emplace_back("-q");
        arguments.push_back(wav_name);
        return arguments;
    }
    bool const ft4 = mode == DigitalMode::FT4;
    return {decoder_path, ft4 ? "-5" : "-8", "-p", ft4 ? "7.5" : "15", "-d", std::to_string(decode_depth),
            "-w", "0", "-m", "1", "-L", "0", "-H", std::to_string(high_hz), "-c", "b", "-x", "b",
            "-Q", "0", "-a", ".", "-t", ".", wav_name};
}

DecoderRun run_decoder_process(std::string const& decoder_path, std::filesystem::path const& work_dir,
                               std::string const& wav_name, DigitalMode mode, int decode_depth, int high_hz,
                               std::atomic<bool> const& stop, double start_utc, double dial_hz,
                               double time_limit_s)
{
    auto const arguments =
        decoder_command_line(decoder_path, wav_name, mode, decode_depth, high_hz, start_utc, dial_hz);
    std::vector<char*> argv;
    for (auto const& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);

    int ends[2];
    if (::pipe2(ends, O_CLOEXEC) != 0)
        throw errno_error("Create decoder pipe");
    UniqueFd read_end(ends[0]);
    UniqueFd write_end(ends[1]);

    SpawnFileActions actions;
    if (actions.init_error() != 0)
        throw std::runtime_error("Cannot initialize decoder spawn actions");
    SpawnAttributes attributes;
    if (attributes.init_error() != 0)
        throw std::runtime_error("Cannot initialize decoder spawn attributes");
    check_spawn_setup(posix_spawn_file_actions_addchdir_np(actions.get(), work_dir.c_str()));
    check_spawn_setup(route_child_output(actions.get(), read_end.get(), write_end.get()));
    check_spawn_setup(start_own_process_group(attributes.get()));

    pid_t pid = 0;
    check_spawn_setup(::posix_spawn(&pid, decoder_path.c_str(), actions.get(), attributes.get(), argv.data(),
                                    environ));
    DecoderChild child(pid);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(pid), 10);
    write_end.close();
    int const fd = read_end.get();
    if (::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK) != 0)
        throw errno_error("Read decoder output");
    // Readable once the decoder has exited, so that the wait below ends then: its output pipe
    // reaches its end a moment before the exit can be seen, and without this the worker slept
    // out the rest of a 50 ms step after most short runs. A kernel without it (before 5.3)
    // leaves the exit to be found at the next step. Close-on-exec like every pidfd. (Called
    // directly: this C library's header declares the wrapper without C linkage.)
    UniqueFd const exit_fd(static_cast<int>(::syscall(SYS_pidfd_open, pid, 0u)));

    constexpr double longest_limit_s = 86400.0 * 365;  // keeps the deadline within the clock's range
    double const limit_s = time_limit_s > 0.0 ? std::min(time_limit_s, longest_limit_s) : 0.0;
    auto const deadline =
        Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(limit_s));

    DecoderRun run;
    bool end_of_output = false;
    for (;;) {
        if (!end_of_output)
            end_of_output = read_decoder_output(fd, run.output, deadline) == DecoderOutputRead::end_of_file;
        if (stop.load() || Clock::now() >= deadline) {
            run.stopped = stop.load();
            run.timed_out = !run.stopped;
            break;
        }
        if (child.has_exited()) {
            // Whatever the decoder wrote before exiting is in the pipe now; a helper it left
            // behind holding the pipe open must not keep the worker waiting, nor one that keeps
            // writing hold it past the time limit.
            if (!end_of_output) {
                DecoderOutputRead const rest = read_decoder_output(fd, run.output, deadline);
                end_of_output = rest == DecoderOutputRead::end_of_file;
                run.timed_out = rest == DecoderOutputRead::deadline;
            }
            break;
        }
        auto const left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        int const wait_ms = static_cast<int>(std::clamp<long long>(left + 1, 1, 50));
        pollfd entries[2];
        nfds_t watched = 0;
        if (!end_of_output)
            entries[watched++] = {fd, POLLIN, 0};
        if (exit_fd.get() >= 0)
            entries[watched++] = {exit_fd.get(), POLLIN, 0};
        ::poll(watched == 0 ? nullptr : entries, watched, wait_ms);
    }
    child.kill_and_reap();
    if (!end_of_output)
        read_decoder_output(fd, run.output, deadline);
    run.status = child.status();
    return run;
}

std::optional<DecodedSpot> parse_decoder_line(std::string const& line, DigitalMode mode, double start_utc,
                                              double dial_hz)
{
    if (is_js8_mode(mode))
        return parse_js8_line(line, mode, start_utc);
    if (mode == DigitalMode::WSPR)
        return parse_wspr_line(line, start_utc, dial_hz);
    return parse_ft_line(line, mode, start_utc);
}
