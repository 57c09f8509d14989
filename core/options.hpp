#pragma once

// The whole run configuration, built at start-up and read by the receivers, the decoder pool
// and the run loops, which therefore find it below themselves.

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "core/analysis_channel.hpp"
#include "core/audio_channel.hpp"
#include "core/decoder_channel.hpp"
#include "core/digital_mode.hpp"

// Built once by parse_options, then only read. Every range and cross-field rule lives in the
// parser; a default-constructed record is only a starting point, and it has no journal or
// picture directory until the parser assigns them.
struct Options {
    std::vector<AudioChannel> audio_channels;
    std::vector<AnalysisChannel> analysis_channels;
    std::string signal_journal;
    std::string wefax_images;
    bool survey = false;
    bool known_channels = false;
    bool known_channels_report = false;
    double survey_bandwidth = 1500000;  // Hz
    std::uint32_t survey_max_decoders = 16;
    double survey_min_snr = 6;  // dB over the local floor
    std::string survey_journal;
    std::string audio_control;
    std::string audio_command;
    bool receivers_only = false;
    bool wideband = false;
    bool pskreporter = false;
    bool wsprnet = false;
    std::string history_db;
    std::uint32_t history_days = 7;
    std::string callsign;
    std::string grid;
    std::vector<DigitalMode> modes{DigitalMode::FT8};
    std::vector<DecoderChannel> decoder_channels;
    std::uint32_t decoders = 0;
    std::uint32_t workers = 0;  // 0: the parser chooses
    std::int32_t decode_depth = 3;
    double decoder_timeout = 12;  // s
    double wspr_timeout = 60;     // s
    double buffer_seconds = 8;
    std::string decoder = "jt9";
    std::string all_txt = "ALL.TXT";
    std::string work_dir;
    std::string js8_decoder = "quillon";
    std::string wspr_decoder = "wsprd";
    std::string start_utc;    // "YYYYMMDD_HHMMSS" of a decoder IQ replay
    std::int32_t iq_rate = 64000;  // Hz
    double if_bandwidth = 200000;  // Hz: channels must lie within frequency +- 0.45 of it
    std::string backend = "sdrplay";
    std::string rx888_library;
    std::string rx888_firmware;
    std::string rx888_rate = "full";
    std::string rx888_coverage = "bands";
    std::string rx888_gpu = "auto";
    double rx888_recovery = 130;   // s
    double rx888_attenuation = 10; // dB
    double rx888_gain = 0;         // dB
    bool rx888_bias_t = false;
    bool rx888_reference = false;
    std::string usb_mode = "isochronous";
    std::int32_t sample_rate = 0;  // Hz; 0 until the parser chooses one
    std::int32_t audio_rate = 48000;  // Hz
    std::string rtl_host = "127.0.0.1";
    std::uint32_t rtl_port = 1234;
    std::uint32_t direct_sampling = 0;  // 0 off, 1 I branch, 2 Q branch
    double rtl_gain = 25;  // dB
    double frequency = 0;  // Hz: audio-mode dial or AM carrier; wideband capture centre
    double bandwidth = 3000;  // Hz: audio receive bandwidth; wideband decoder channel width
    std::uint32_t modulation = 0;  // 0 USB, 1 LSB, 2 AM
    double audio_gain = 10;
    double duration = 0;  // s; 0 is unlimited
    double ppm = 0;
    std::uint32_t gain_reduction = 50;  // dB
    std::uint32_t lna_state = 0;
    bool agc = true;
    bool rf_notch = false;
    bool mw_notch = false;
    bool list_devices = false;
    bool list_frequencies = false;
    bool help = false;
    bool version = false;
    bool stats = false;
    bool daemon = false;
    bool kill = false;
    std::string pid_file = "norvane.pid";
    std::string log_file = "norvane.log";
    bool create_sink = true;
    std::string serial;
    std::string antenna;
    std::string api_library;
    std::string iq_file;
    std::string wav;
    std::string sink = "norvane_rx";

    friend bool operator==(Options const&, Options const&) = default;
};

// The width a decoder channel occupies above its dial frequency: the channel bandwidth, never
// below 4000 Hz for FT8, whose signals spread over the whole audio passband.
inline double decoder_channel_width(Options const& options, DecoderChannel const& channel)
{
    if (channel.mode == DigitalMode::FT8)
        return std::max(4000.0, options.bandwidth);
    return options.bandwidth;
}

// The frequency the receiver tunes to. In audio mode the tuner sits 8 kHz beside the dial so
// the receiver's DC spike stays out of the audio, on whichever side keeps it inside 1 kHz..2 GHz.
inline double tuner_frequency(Options const& options)
{
    if (options.wideband)
        return options.frequency;
    double const beside = options.modulation == 0 ? options.frequency + 8000 : options.frequency - 8000;
    if (beside < 1000)
        return options.frequency + 8000;
    if (beside > 2000000000)
        return options.frequency - 8000;
    return beside;
}
