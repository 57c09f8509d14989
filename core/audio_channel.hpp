#pragma once

// One live audio channel: what it receives and where its audio goes. Read by the option layer,
// the live audio engine and the control socket; its spec text lives with the live engine.

#include <cstdint>
#include <string>

enum class AudioModulation : std::uint32_t { USB = 0, LSB = 1, AM = 2, FM = 3 };

struct AudioChannel {
    std::string id;
    std::string sink;    // an existing PulseAudio sink or "@DEFAULT_SINK@"; empty = none
    std::string wav;     // WAV file path; empty = none
    std::string socket;  // absolute path of a Unix audio socket; empty = none
    double frequency = 0.0;  // Hz: the carrier for USB and LSB, the centre for AM and FM
    double bandwidth = 3000.0;  // Hz, RF
    double audio_gain = 10.0;
    double low_cut = 0.0;  // Hz from the carrier where a sideband passband starts
    bool agc = true;
    std::uint32_t audio_rate = 48000;  // Hz
    AudioModulation modulation = AudioModulation::USB;
    bool enabled = true;  // only enabled channels must fit the running capture

    friend bool operator==(const AudioChannel&, const AudioChannel&) = default;
};
