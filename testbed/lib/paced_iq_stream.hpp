#pragma once

#include <complex>
#include <cstdint>
#include <functional>
#include <vector>

// The sample stream of a live rtl_tcp server, for whole-program tests of live reception: bytes
// go out at the pace of the wall clock, and a recording can be placed at a UTC interval
// boundary the way a station on the air would transmit it.
namespace testbed {

// Unsigned 8-bit I,Q pairs as an RTL-SDR delivers them: v maps to round(v * 128 + 127.5),
// held to 0..255.
std::vector<std::uint8_t> rtl_tcp_bytes(std::vector<std::complex<float>> const& iq);

struct PacedIqStream {
    std::vector<std::uint8_t> recording;  // I,Q byte pairs, sent once; quiet carrier-free bytes around it
    int rate_hz = 0;                      // pairs per second of the wall clock
    // When > 0, the recording begins at the next UTC time that is a whole multiple of this many
    // seconds, at least half a second after the first bytes; otherwise it begins at once.
    double align_s = 0.0;
    // The recording starts again as soon as it ends, for runs longer than any file one would
    // keep; a recording of whole cycles of its tones repeats without a seam.
    bool loop = false;
};

// A generator for RtlTcpServerScript: each call waits until at least 10 ms of pairs are due
// and returns them, so the client receives rate_hz pairs per second, endlessly.
std::function<void(std::vector<std::uint8_t>&)> paced_iq_generator(PacedIqStream stream);

}  // namespace testbed
