#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "decode/decode_job.hpp"

struct DecoderChannel;
struct Options;
class PskReporter;

// Runs the external decoders for finished intervals on a fixed set of worker threads, each in
// its own directory of a private workspace, and appends their spots to ALL.TXT. The queue is
// bounded: live, the oldest queued interval is dropped when the decoders fall behind; on IQ
// file replay the submitter waits for room instead. Built once per wideband run (decoder and
// hybrid modes), closed once at its end.
class DecoderPool {
public:
    // Resolves the decoder programs, creates the workspace, opens ALL.TXT, builds the WSPRnet
    // uploader and the history writer the options ask for and starts the workers. stop: the
    // process-wide stop flag (may be null); psk: the run's PSK Reporter client, which the pool
    // reports through (and stops when it closes) with --pskreporter, and which must then be given.
    DecoderPool(Options const& options, std::atomic<int> const* stop, std::shared_ptr<PskReporter> psk);
    // Cancels what is left (as close(false, nullptr)) and removes the workspace.
    ~DecoderPool();
    DecoderPool(DecoderPool const&) = delete;
    DecoderPool& operator=(DecoderPool const&) = delete;

    // Queues one interval (run-loop thread). Throws a stored worker failure, or "Decoder pool is
    // closed"; a set stop flag cancels the pool and drops the job without an error.
    void submit(DecodeJob job);

    // Stops taking jobs, then lets the queue finish (drain) or abandons it, joins the workers and
    // stops the reporters. A set stop flag turns a drain into a cancel. Later calls return at once.
    void close(bool drain, std::atomic<int> const* stop);

    // Throws the first worker failure, if any.
    void rethrow_failure() const;

    // Jobs whose decoder failed or timed out.
    std::uint64_t failures() const;

    // "Decoder jobs: submitted=..." with the per-mode and reporter parts, no newline.
    std::string status_line() const;

    // For a live band change to these channels: raises the queue capacity to twice their number
    // when that is more, and resolves the decoder program of every mode not yet resolved. Throws
    // the lookup's message; what was resolved before stays.
    void prepare_channels(std::vector<DecoderChannel> const& channels);

    class Impl;

private:
    std::unique_ptr<Impl> impl_;
};
