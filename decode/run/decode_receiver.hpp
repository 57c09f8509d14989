#pragma once

#include "core/daemon.hpp"
#include "core/options.hpp"

class Radio;
class SampleQueue;

// The run loop of the wideband modes. Builds the decoder pool and the capture pipeline, prints
// the start-up banner, then either replays options.iq_file (radio null: not paced, every
// complete interval decoded) or starts the radio and feeds its blocks until the stop flag,
// --duration or a fatal receiver error. At the end the pool drains its queue, unless a signal
// stopped the run, and the end-of-run lines go to standard error. Fatal conditions throw
// std::runtime_error with the user's text.
//
// With --audio-control the run serves its control socket: RADIO requests go to the radio, and
// "RADIO RETUNE ..." moves the running capture and its decoder channels to another band between
// two batches of blocks (IQ replay answers RADIO requests with an error).
void decode_receiver(Options const& options, Radio* radio, SampleQueue& queue, Daemon& daemon);
