#pragma once

// The signal journal: one JSON object per line, one line per event, appended to one file under
// an exclusive file lock, because the analysis channels, the survey and other receivers'
// processes may all append to the same file.

#include <chrono>
#include <cstddef>
#include <cstdint>
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
    // Says how many records were dropped since the last one written, when any were.
    ~JournalSink() override;
    JournalSink(const JournalSink&) = delete;
    JournalSink& operator=(const JournalSink&) = delete;

    // Opens, locks, appends one record whole or not at all, and closes. Failures cost only this
    // event; the first one after a written record is printed once as "Signal journal PATH: TEXT",
    // and the records dropped meanwhile are counted and said once the journal takes records
    // again (or when the sink goes). After one wait for another writer's lock ran out, later
    // events only try the lock, without waiting, until a record is written again: analysis
    // keeps its pace while another process holds the journal, and the journal resumes once it
    // lets go.
    void on_event(const ChannelInfo& channel, const Event& event) override;

    const std::string& path() const { return path_; }

    // How many waits for another writer's lock ran out.
    std::uint64_t lock_timeouts() const;

private:
    std::string path_;
    mutable std::mutex mutex_;
    bool error_reported_ = false;  // a failure was printed and nothing was written since
    bool lock_given_up_ = false;   // a wait ran out and nothing was written since: do not wait
    std::uint64_t dropped_ = 0;    // records lost since the last one written
    std::uint64_t lock_timeouts_ = 0;
};

}  // namespace sig
