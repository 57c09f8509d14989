#pragma once

struct Daemon;
struct Options;
class Radio;
class SampleQueue;

// The audio mode after the backend exists: builds the demodulator (tuning offset from the
// radio, 0 for an IQ file) and the output, writes the set-up line, runs live reception or the
// IQ file replay, finishes the output and reports clipped samples. Without a radio only the
// --iq-file replay can run.
void run_audio_mode(Options const& options, Radio* radio, SampleQueue& queue, Daemon& daemon);
