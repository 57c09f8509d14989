#include "live/make_analysis_channel.hpp"

#include <utility>

#include "live/track_text.hpp"

sig::Analyzer::Config analysis_channel_config(AnalysisChannel const& channel, AnalysisSettings const& settings,
                                              std::shared_ptr<TrackText> const& track_text)
{
    sig::Analyzer::Config config;
    config.channel = channel.id;
    config.receiver = settings.receiver;
    config.dial_hz = channel.dial_hz;
    config.usb = channel.usb;
    config.bandwidth_hz = channel.bandwidth_hz;
    config.modes_auto = channel.modes_auto;
    config.modes = channel.modes;
    config.rtty = channel.rtty;
    config.wefax = channel.wefax;
    config.report = channel.report;
    config.olivia = channel.olivia;
    config.image_dir = settings.image_dir;
    config.sinks = settings.sinks;
    if (channel.report && settings.reporter)
        config.sinks.push_back(settings.reporter);
    if (track_text)
        config.sinks.push_back(track_text);
    config.threaded = !settings.iq_replay;
    return config;
}

std::shared_ptr<sig::Analyzer> make_analysis_channel(AnalysisChannel const& channel, AnalysisSettings const& settings,
                                                     std::shared_ptr<TrackText> const& track_text)
{
    return std::make_shared<sig::Analyzer>(analysis_channel_config(channel, settings, track_text));
}
