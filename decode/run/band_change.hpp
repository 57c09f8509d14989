#pragma once

// RADIO RETUNE: moving the running wideband capture and its whole decoder channel plan to
// another band without a restart. The control thread validates the request and prepares the
// new pipeline beside the running one; only the short commit (apply_retune) runs on the run
// loop, between two batches of blocks, through the RetuneMailbox.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/options.hpp"

class DecoderCapture;
class DecoderPool;
class LiveAudio;
class Radio;
class RetuneMailbox;
class SampleQueue;

struct RetuneRequest {
    double centre = 0.0;                   // Hz, the frequency the radio is asked to tune
    std::vector<DecoderChannel> channels;  // in request order
    bool check = false;                    // CHECK only validates; APPLY carries the change out
};

// "RADIO RETUNE CHECK|APPLY centre [MODE:frequency ...]", words separated by any white space.
// Throws the user's message on every malformed or unfitting request.
RetuneRequest parse_retune_request(std::string const& text, Options const& options);

// What a band change reads and replaces of its run. Everything is owned by the run loop and
// outlives the control thread. Only apply_retune, on the run loop, writes `options`, `capture`
// and the queue; the control thread reads `options` meanwhile without a lock because it is then
// waiting for that very commit.
struct BandChangeRun {
    Options& options;
    Radio& radio;
    DecoderPool* pool;  // null in receivers mode
    LiveAudio* live;    // null when live audio does not run
    std::function<std::unique_ptr<DecoderCapture>(Options const&)> build_pipeline;
    std::function<void(DecoderCapture&)> attach_capture;
    std::function<double(double)> capture_centre;
    RetuneMailbox& mailbox;
    std::unique_ptr<DecoderCapture>& capture;
    SampleQueue& queue;
    // Run loop, after the new options are in place: rebuilds what follows the capture's centre
    // (the wideband survey). May be empty.
    std::function<void()> follow_capture;
};

// Everything prepared off the sample path for one APPLY.
struct PreparedRetune {
    RetuneRequest request;
    Options options;                          // the run's options for the new band
    std::unique_ptr<DecoderCapture> capture;  // the new pipeline; after the swap, the old one
    std::function<void()> live_commit;        // installs the prepared live-audio sets; may be empty
};

// Control thread: validates (CHECK) or prepares and posts (APPLY) one request; returns the
// reply. Validation and preparation errors are thrown with the user's message and leave the
// running capture, the radio and the options untouched.
std::string handle_retune_request(BandChangeRun const& run, std::string const& text);

// Run loop, inside the mailbox step: retunes the radio, drops the queued samples of the old
// tuning, installs the prepared live-audio sets and swaps the new pipeline in; returns
// "OK RETUNE ...". When the radio refuses, the run goes on at the old band with a fresh
// pipeline and the radio's error is thrown.
std::string apply_retune(BandChangeRun const& run, PreparedRetune& prepared);
