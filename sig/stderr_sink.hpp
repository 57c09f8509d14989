#pragma once

#include <cstddef>
#include <mutex>
#include <string>

#include "sig/event_sink.hpp"

namespace sig {

// Writes one "SIG" line per event to standard error. One sink serves every analysis channel; a
// line is never longer than kMaxLineBytes: a long decoded text is shortened (never inside a
// UTF-8 character) so that the line keeps its closing quote and the fields after it.
class StderrSink final : public EventSink {
public:
    static constexpr std::size_t kMaxLineBytes = 500;

    void on_event(const ChannelInfo& channel, const Event& event) override;

private:
    std::mutex mutex_;
};

// The line the sink writes for an event, without its newline.
std::string bounded_sig_line(const ChannelInfo& channel, const Event& event);

}  // namespace sig
