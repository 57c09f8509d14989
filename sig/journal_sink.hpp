#pragma once

// The signal journal: one JSON object per line, one line per event, appended to one file under
// an exclusive file lock, because the analysis channels, the survey and other receivers'
// processes may all append to the same file.

#include <chrono>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

#include "sig/event_sink.hpp"

namespace sig {

// A JSON string literal, quotes included. Invalid UTF-8 (a stray continuation byte, a cut
// sequence, an overlong form, a surrogate, a code point above U+10FFFF) becomes U+FFFD one lead
// byte at a time, so the record always parses.
std::string json_escape(std::string_view bytes);

// One journal record without its line feed.
std::string format_journal_record(const ChannelInfo& channel, const Event& event);

class JournalSink final : public EventSink {
public:
    // How long an event waits for another writer's lock before it is given up: a process that
    // holds the lock for ever must not stall every analyzer.
    static constexpr std::chrono::milliseconds kLockWait{1000};

    explicit JournalSink(std::string path);

    // Opens, locks, appends one record and closes. Failures cost only this event; the first one
    // after a written record is printed once as "Signal journal PATH: TEXT".
    void on_event(const ChannelInfo& channel, const Event& event) override;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    std::mutex mutex_;
    bool error_reported_ = false;  // a failure was printed and nothing was written since
};

}  // namespace sig
