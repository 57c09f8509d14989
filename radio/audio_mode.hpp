#pragma once

// The legacy audio mode's two loops: live reception from a radio, and replay of a recorded IQ
// file. Both demodulate through one Demodulator into one AudioOutput, both end on the stop
// flag or after --duration, and both throw their failures to the caller.

#include <functional>
#include <memory>

struct Daemon;
struct Options;
class AudioOutput;
class Demodulator;
class Radio;
class SampleQueue;

// The control socket of the audio mode lives in a higher layer: with --audio-control, receive
// asks this factory for it before the radio starts and keeps what it returns until it returns.
using ControlServerFactory = std::function<std::shared_ptr<void>(Radio& radio)>;

// Streams from the radio until stopped, --duration has run out, or an error. The radio is
// stopped and the queue closed on every way out.
void receive(Options const& options, Radio& radio, Demodulator& demodulator, AudioOutput& output,
             SampleQueue& queue, Daemon& daemon, ControlServerFactory const& control_server = {});

// Plays the --iq-file (PCM16 I,Q pairs at 64000 Hz) through the demodulator as fast as the
// output accepts. Unless stopped, the filter's tail and the converter are drained at the end.
void replay_iq_file(Options const& options, Demodulator& demodulator, AudioOutput& output, Daemon& daemon);
