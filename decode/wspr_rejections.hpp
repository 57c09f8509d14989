#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

// The spots that the WSPRnet uploader refused as invalid. One bad spot condemns only itself,
// never the reception: the first refusal is written to standard error once, later ones are
// only counted and reported as a total when the pool closes.
class WsprRejections {
public:
    // Runs submit (one WsprReporter::submit). An InvalidWsprSpot it throws is counted (the first
    // one written as a line); any other exception propagates.
    void guard(std::function<void()> const& submit);

    std::uint64_t count() const { return count_.load(); }

    // "WSPRnet rejected N invalid spots", or empty when none was refused.
    std::string summary() const;

private:
    std::atomic<std::uint64_t> count_{0};
};
