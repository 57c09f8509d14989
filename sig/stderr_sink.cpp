#include "sig/stderr_sink.hpp"

#include "core/log_line.hpp"
#include "sig/bounded_line.hpp"
#include "sig/sig_line.hpp"

namespace sig {

std::string bounded_sig_line(const ChannelInfo& channel, const Event& event) {
    return bounded_line(event.text, StderrSink::kMaxLineBytes,
                        [&](std::string_view text) { return format_sig_line(channel, event, text); });
}

void StderrSink::on_event(const ChannelInfo& channel, const Event& event) {
    const std::string line = bounded_sig_line(channel, event);
    std::lock_guard<std::mutex> lock(mutex_);
    log_line(line);
}

}  // namespace sig
