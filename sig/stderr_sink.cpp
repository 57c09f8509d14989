#include "sig/stderr_sink.hpp"

#include "core/log_line.hpp"
#include "sig/sig_line.hpp"

namespace sig {
namespace {

// Where a shortened line ends: a little under the limit, so that a text whose escapes grow does
// not need many rounds.
constexpr std::size_t kShortenTarget = StderrSink::kMaxLineBytes - 8;

bool is_continuation(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

}  // namespace

std::string bounded_sig_line(const ChannelInfo& channel, const Event& event) {
    std::string text = event.text;
    std::string line = format_sig_line(channel, event, text);
    while (line.size() > StderrSink::kMaxLineBytes && !text.empty()) {
        const std::size_t excess = line.size() - kShortenTarget;
        if (text.size() <= excess) {
            text.clear();
        } else {
            std::size_t cut = text.size() - excess;
            while (cut > 0 && is_continuation(text[cut])) --cut;
            text.resize(cut);
        }
        line = format_sig_line(channel, event, text);
    }
    if (line.size() > StderrSink::kMaxLineBytes) {
        std::size_t cut = StderrSink::kMaxLineBytes;
        while (cut > 0 && is_continuation(line[cut])) --cut;
        line.resize(cut);
    }
    return line;
}

void StderrSink::on_event(const ChannelInfo& channel, const Event& event) {
    const std::string line = bounded_sig_line(channel, event);
    std::lock_guard<std::mutex> lock(mutex_);
    log_line(line);
}

}  // namespace sig
