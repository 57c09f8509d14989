#pragma once

// The analyzer of one enabled analysis channel of the live engine: the channel's own settings,
// the run's receiver label, picture directory and sinks (the reporter only for a channel that
// reports), and the engine's track text as the last sink. On IQ replay the analyzer works on the
// pushing thread; otherwise it runs its own worker.

#include <memory>

#include "core/analysis_channel.hpp"
#include "live/analysis_settings.hpp"
#include "sig/analyzer.hpp"

class TrackText;

// Never empty. A fixed mode without a modem is printed and skipped by the analyzer; allocation,
// thread and decoder construction failures are thrown.
std::shared_ptr<sig::Analyzer> make_analysis_channel(AnalysisChannel const& channel, AnalysisSettings const& settings,
                                                     std::shared_ptr<TrackText> const& track_text);

// The analyzer configuration make_analysis_channel builds.
sig::Analyzer::Config analysis_channel_config(AnalysisChannel const& channel, AnalysisSettings const& settings,
                                              std::shared_ptr<TrackText> const& track_text);
