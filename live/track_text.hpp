#pragma once

// The latest decoded text of every analysis track, for ANALYZE STATUS. One per live engine; it is
// the last event sink of every analyzer the engine builds. Text events append to their track's
// text, which keeps only its last 80 bytes (never starting inside a UTF-8 character); a lost
// event forgets the track; every other event passes by.
//
// Threads: on_event comes from every analyzer (its worker, or the frame thread on IQ replay)
// while it holds its own processing lock; the control thread reads and forgets. One mutex guards
// the map and nothing else is locked while it is held.

#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

#include "core/sig/candidate.hpp"
#include "sig/event_sink.hpp"

class TrackText final : public sig::EventSink {
public:
    static constexpr std::size_t kMaxBytes = 80;

    void on_event(sig::ChannelInfo const& channel, sig::Event const& event) override;

    // The text of (channel, track); empty when there is none.
    std::string text(std::string const& channel, std::uint32_t track) const;

    // Every entry of the channel, whatever its track.
    void forget(std::string const& channel);

private:
    mutable std::mutex mutex_;
    std::map<std::pair<std::string, std::uint32_t>, std::string> texts_;
};

// One track line of ANALYZE STATUS:
//   track id=ID mode=MODE[-VARIANT] hz=RF bw=BW snr=S.S age=A.A text="TEXT"
// RF is dial + audio (dial - audio on a lower sideband) to the nearest hertz; the variant and
// the text are escaped as in SIG lines. Numbers out of any sensible range (non-finite, or too
// large for a line) are held within it, so the line always ends with its quoted text.
std::string format_track_line(std::string const& channel, double dial_hz, bool usb, sig::Candidate const& track,
                              std::string const& text);
