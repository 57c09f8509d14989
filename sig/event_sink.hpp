#pragma once

#include "core/sig/channel_info.hpp"
#include "core/sig/event.hpp"

namespace sig {

// A consumer of signal events: the SIG-line writer, the journal, the PSK Reporter bridge and the
// live engine's per-track text. One sink object may serve every analysis channel and the survey
// at once, each calling from its own thread, so a sink serialises itself. on_event may throw; an
// analyzer reports a std::exception once and goes on with its other sinks.
class EventSink {
public:
    EventSink() = default;
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;
    virtual ~EventSink() = default;

    virtual void on_event(const ChannelInfo& channel, const Event& event) = 0;
};

}  // namespace sig
