#include "sig/journal_sink.hpp"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>
#include <thread>

#include "core/append_whole.hpp"
#include "core/log_line.hpp"
#include "core/sig/mode.hpp"
#include "core/unique_fd.hpp"
#include "sig/event_time.hpp"
#include "sig/sig_line.hpp"

namespace sig {
namespace {

// Length of the valid UTF-8 sequence starting at data[i], or 0 when there is none.
std::size_t utf8_sequence_length(std::string_view data, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(data[k]); };
    const unsigned char lead = byte(i);
    std::size_t length = 0;
    unsigned char second_low = 0x80;
    unsigned char second_high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3;
        if (lead == 0xE0) second_low = 0xA0;   // below: an overlong form
        if (lead == 0xED) second_high = 0x9F;  // above: a UTF-16 surrogate
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4;
        if (lead == 0xF0) second_low = 0x90;   // below: an overlong form
        if (lead == 0xF4) second_high = 0x8F;  // above: beyond U+10FFFF
    } else {
        return 0;
    }
    if (i + length > data.size()) return 0;
    if (byte(i + 1) < second_low || byte(i + 1) > second_high) return 0;
    for (std::size_t k = 2; k < length; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF) return 0;
    return length;
}

// "2024-05-01T12:00:00.250Z"; a time outside years 0..9999 is written like a missing one, as
// 1970-01-01T00:00:00.000Z.
std::string record_time(double t) {
    std::int64_t seconds = 0;
    long millis = 0;
    if (is_calendar_time(t)) {
        const double whole = std::floor(t);
        seconds = static_cast<std::int64_t>(whole);
        millis = std::lround((t - whole) * 1000.0);
        if (millis >= 1000) {
            seconds += 1;
            millis -= 1000;
        }
        if (!is_calendar_second(seconds)) {
            seconds = 0;
            millis = 0;
        }
    }
    const std::tm f = utc_fields(seconds);
    char buffer[128];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", f.tm_year + 1900, f.tm_mon + 1,
                  f.tm_mday, f.tm_hour, f.tm_min, f.tm_sec, millis);
    return buffer;
}

void add_key(std::string& record, const char* key) {
    record += ",\"";
    record += key;
    record += "\":";
}

void add_string(std::string& record, const char* key, std::string_view value) {
    add_key(record, key);
    record += json_escape(value);
}

void add_number(std::string& record, const char* key, const std::string& value) {
    add_key(record, key);
    record += value;
}

bool is_known_kind(EventKind kind) { return static_cast<std::uint32_t>(kind) <= 8; }

// Why a record was not written, and whether it was the wait for another writer that ran out.
struct Failure {
    std::string text;
    bool lock_timed_out = false;
};

// Takes the exclusive lock, waiting at most kLockWait for another writer, or not at all when
// `wait` is false; the failure otherwise.
std::optional<Failure> lock_journal(int fd, bool wait) {
    const auto deadline = std::chrono::steady_clock::now() + JournalSink::kLockWait;
    for (;;) {
        if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return std::nullopt;
        if (errno == EINTR) continue;
        if (errno != EWOULDBLOCK) return Failure{std::string("lock: ") + std::strerror(errno)};
        if (!wait) return Failure{"lock: another writer holds the journal", true};
        if (std::chrono::steady_clock::now() >= deadline)
            return Failure{"lock: another writer held the journal for more than " +
                               std::to_string(JournalSink::kLockWait.count()) +
                               " ms; records are dropped without waiting until it lets go",
                           true};
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

std::string dropped_text(std::uint64_t records) { return std::to_string(records) + " record(s) dropped"; }

}  // namespace

std::string json_escape(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() + 2);
    out.push_back('"');
    for (std::size_t i = 0; i < bytes.size();) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        if (c == '"' || c == '\\') {
            out.push_back('\\');
            out.push_back(static_cast<char>(c));
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 32 || c == 127) {
            char buffer[8];
            std::snprintf(buffer, sizeof buffer, "\\u%04X", static_cast<unsigned>(c));
            out += buffer;
        } else if (c >= 128) {
            const std::size_t length = utf8_sequence_length(bytes, i);
            if (length == 0) {
                out += "\\uFFFD";
                ++i;
                continue;
            }
            out.append(bytes.substr(i, length));
            i += length;
            continue;
        } else {
            out.push_back(static_cast<char>(c));
        }
        ++i;
    }
    out.push_back('"');
    return out;
}

std::string format_journal_record(const ChannelInfo& channel, const Event& event) {
    std::string record = "{\"t\":";
    record += json_escape(record_time(event.t));
    add_string(record, "receiver", channel.receiver);
    add_string(record, "channel", channel.channel);
    add_string(record, "mode", mode_name(event.mode));
    if (!event.variant.empty()) add_string(record, "variant", event.variant);
    add_number(record, "rf_hz", format_number(event.rf_hz, "%.0f"));
    add_number(record, "audio_hz", format_number(event.audio_hz, "%.1f"));
    add_number(record, "bw_hz", format_number(event.bw_hz, "%.0f"));
    add_number(record, "track", std::to_string(event.track));
    add_string(record, "kind", is_known_kind(event.kind) ? event_kind_word(event.kind) : "unknown");
    add_number(record, "snr", format_number(event.snr, "%.1f"));
    switch (event.kind) {
    case EventKind::TEXT:
        add_string(record, "text", event.text);
        add_key(record, "calls");
        record += '[';
        for (std::size_t k = 0; k < event.calls.size(); ++k) {
            const CallEvidence& call = event.calls[k];
            if (k > 0) record += ',';
            record += "{\"call\":" + json_escape(call.call);
            add_string(record, "grid", call.grid);
            add_number(record, "conf", format_number(call.conf, "%.2f"));
            add_string(record, "evidence", call.evidence);
            record += '}';
        }
        record += ']';
        break;
    case EventKind::SPOT:
        add_string(record, "call", event.call);
        add_number(record, "conf", format_number(event.conf, "%.2f"));
        if (!event.calls.empty()) {
            add_string(record, "grid", event.calls.front().grid);
            add_string(record, "evidence", event.calls.front().evidence);
        }
        break;
    case EventKind::WEFAX_START:
        add_number(record, "lpm", std::to_string(event.lpm));
        add_number(record, "ioc", std::to_string(event.ioc));
        break;
    case EventKind::WEFAX_PROGRESS:
    case EventKind::WEFAX_STOP: add_number(record, "lines", std::to_string(event.lines)); break;
    case EventKind::WEFAX_IMAGE:
        add_number(record, "lines", std::to_string(event.lines));
        add_string(record, "path", event.text);
        break;
    default: break;
    }
    record += '}';
    return record;
}

JournalSink::JournalSink(std::string path) : path_(std::move(path)) {}

JournalSink::~JournalSink() {
    if (dropped_ > 0) log_line("Signal journal " + path_ + ": " + dropped_text(dropped_));
}

std::uint64_t JournalSink::lock_timeouts() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return lock_timeouts_;
}

void JournalSink::on_event(const ChannelInfo& channel, const Event& event) {
    const std::string record = format_journal_record(channel, event) + "\n";
    std::lock_guard<std::mutex> lock(mutex_);

    std::optional<Failure> failure;
    // Non-blocking and no links: a FIFO without a reader, a terminal or a planted link must not
    // stall or redirect the analyzers that share this sink.
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC | O_NONBLOCK | O_NOCTTY | O_NOFOLLOW,
                       0644));
    if (fd.get() < 0) {
        failure = Failure{std::strerror(errno)};
    } else {
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0)
            failure = Failure{std::string("stat: ") + std::strerror(errno)};
        else if (!S_ISREG(st.st_mode))
            failure = Failure{"not a regular file"};
    }
    if (!failure) {
        failure = lock_journal(fd.get(), !lock_given_up_);
        if (!failure) {
            // A record cut short by a full disk is taken back off: the next one must not be glued
            // to its fragment.
            if (const int error = append_whole(fd.get(), record); error != 0)
                failure = Failure{std::string("write: ") + std::strerror(error)};
            ::flock(fd.get(), LOCK_UN);
        }
    }
    if (!failure) {
        if (dropped_ > 0) log_line("Signal journal " + path_ + ": writing again; " + dropped_text(dropped_));
        dropped_ = 0;
        error_reported_ = false;
        lock_given_up_ = false;
        return;
    }
    ++dropped_;
    if (failure->lock_timed_out && !lock_given_up_) {
        lock_given_up_ = true;
        ++lock_timeouts_;
    }
    if (error_reported_) return;
    error_reported_ = true;
    log_line("Signal journal " + path_ + ": " + failure->text);
}

}  // namespace sig
