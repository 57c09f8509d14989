#include "app/capture_geometry.hpp"

#include "live/audio_channel_spec.hpp"
#include "sig/analysis_channel_spec.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <stdexcept>
#include <string>

#include "app/band_presets.hpp"
#include "core/capture_fit_error.hpp"
#include "core/capture_usable_fraction.hpp"

namespace {

// A receivers-mode passband scan starts from these edges, the limits of a dial frequency.
constexpr double receivers_lowest_start_hz = 2000000000;
constexpr double receivers_highest_start_hz = 0;

// The IF filter widths an SDRplay device offers; the capture width is the widest that the
// sample rate can carry.
constexpr std::array<double, 8> sdrplay_if_bandwidths_hz = {200000,  300000,  600000,  1536000,
                                                            5000000, 6000000, 7000000, 8000000};

struct Span {
    double lowest;
    double highest;

    void cover(double low, double high)
    {
        lowest = std::min(lowest, low);
        highest = std::max(highest, high);
    }
};

double upper_edge(Options const& options, DecoderChannel const& channel)
{
    return channel.frequency + decoder_channel_width(options, channel);
}

void automatic_centre(Options& options)
{
    double lowest = options.decoder_channels.front().frequency;
    double highest = upper_edge(options, options.decoder_channels.front());
    for (DecoderChannel const& channel : options.decoder_channels) {
        lowest = std::min(lowest, channel.frequency);
        highest = std::max(highest, upper_edge(options, channel));
    }
    // 8 kHz above the middle keeps the receiver's DC spike out of every channel.
    options.frequency = (lowest + highest) / 2 + 8000;
}

bool rx888_window_needed(Options const& options)
{
    if (options.backend != "rx888")
        return false;
    if (!options.decoder_channels.empty())
        return true;
    auto const enabled = [](auto const& channel) { return channel.enabled; };
    return std::any_of(options.audio_channels.begin(), options.audio_channels.end(), enabled) ||
           std::any_of(options.analysis_channels.begin(), options.analysis_channels.end(), enabled);
}

// The RX-888 samples HF directly, so its capture can sit anywhere between 0 Hz and Nyquist: it
// picks the smallest decimated rate whose window holds the whole selection.
void rx888_window_search(Options& options, CaptureRequest const& request)
{
    bool const half = options.rx888_rate == "half";
    double const adc_hz = half ? 64000000.0 : 128000000.0;
    double const corrected_hz = adc_hz * (1 + options.ppm / 1000000);

    Span span{2e30, 0};
    for (DecoderChannel const& channel : options.decoder_channels)
        span.cover(channel.frequency, upper_edge(options, channel));
    for (AudioChannel const& channel : options.audio_channels) {
        if (channel.enabled) {
            auto const [low, high] = audio_passband(channel);
            span.cover(low, high);
        }
    }
    for (AnalysisChannel const& channel : options.analysis_channels) {
        if (channel.enabled) {
            auto const [low, high] = passband_edges(channel);
            span.cover(low, high);
        }
    }

    if (options.rx888_coverage == "all") {
        if (span.highest > 0.9 * corrected_hz / 2)
            throw CaptureFitError(std::string("RX-888 coverage \"all\" reaches ") + (half ? "28.8" : "57.6") +
                                  " MHz; this selection goes higher");
        options.frequency = capture_usable_fraction * corrected_hz / 2;
        options.sample_rate = static_cast<std::int32_t>(adc_hz / 2);
        return;
    }

    for (int divisor = 256; divisor >= 2; divisor /= 2) {
        double const rate_hz = adc_hz / divisor;
        // Only 8, 16 and 32 MS/s are worth converting: slower wastes the ADC, faster the CPU.
        if (rate_hz < 7999999 || rate_hz > 32000320.000000004)
            continue;
        double const half_width = capture_usable_fraction * corrected_hz / divisor;
        double const nyquist = corrected_hz / 2;
        double const centre = request.center_given
                                  ? options.frequency
                                  : std::min(std::max((span.lowest + span.highest) / 2, half_width),
                                             nyquist - half_width);
        if (centre >= half_width - 1 && centre <= nyquist - half_width + 1 &&
            span.highest - centre <= half_width && centre - span.lowest <= half_width) {
            options.frequency = centre;
            options.sample_rate = static_cast<std::int32_t>(std::lround(rate_hz));
            return;
        }
    }
    throw CaptureFitError(std::string("RX-888 cannot fit this selection in one capture: at the ") +
                          (half ? "half ADC rate it covers 0-32 MHz" : "full ADC rate it covers 0-64 MHz") +
                          ", and at most 28.8 MHz of it at once");
}

void receivers_centre(Options& options)
{
    if (options.audio_channels.empty() && options.analysis_channels.empty())
        throw std::runtime_error("Audio receiver mode needs --center-frequency or audio channels");
    Span span{receivers_lowest_start_hz, receivers_highest_start_hz};
    for (AudioChannel const& channel : options.audio_channels) {
        auto const [low, high] = audio_passband(channel);
        span.cover(low, high);
    }
    for (AnalysisChannel const& channel : options.analysis_channels) {
        auto const [low, high] = passband_edges(channel);
        span.cover(low, high);
    }
    options.frequency = (span.lowest + span.highest) / 2 + 8000;
}

void capture_width(Options& options, CaptureRequest const& request)
{
    if (!options.iq_file.empty()) {
        if (options.start_utc.empty())
            throw std::runtime_error("Decoder IQ replay requires --start-utc YYYYMMDD_HHMMSS");
        if (options.iq_rate < 64000 || options.iq_rate > 10000000)
            throw std::runtime_error("Decoder IQ replay rate must be 64000..10M Hz");
        options.if_bandwidth = options.iq_rate;
        return;
    }
    if (!options.start_utc.empty() || request.iq_rate_given)
        throw std::runtime_error("--start-utc and --iq-rate require --iq-file");
    options.if_bandwidth = options.sample_rate;
    if (options.backend == "sdrplay") {
        double chosen = sdrplay_if_bandwidths_hz.front();
        for (double const width : sdrplay_if_bandwidths_hz) {
            if (width <= options.sample_rate)
                chosen = width;
        }
        options.if_bandwidth = chosen;
    }
}

bool any_channel_outside(Options const& options, double centre_hz)
{
    double const half_width = capture_usable_fraction * options.if_bandwidth;
    return std::any_of(options.decoder_channels.begin(), options.decoder_channels.end(),
                       [&](DecoderChannel const& channel) {
                           return channel_outside_capture(centre_hz, half_width, options, channel);
                       });
}

// A band whose channels span more than a useful capture (2 m) names the centre that holds them.
void band_table_centre(Options& options)
{
    for (BandPreset const& band : band_presets()) {
        if (band.capture_center_hz > 0 && !any_channel_outside(options, band.capture_center_hz)) {
            options.frequency = band.capture_center_hz;
            return;
        }
    }
}

}  // namespace

bool channel_outside_capture(double centre_hz, double half_width_hz, Options const& options,
                             DecoderChannel const& channel)
{
    double const low = channel.frequency - centre_hz;
    double const high = upper_edge(options, channel) - centre_hz;
    return !(low >= -half_width_hz && high <= half_width_hz);
}

bool apply_capture_geometry(Options& options, CaptureRequest const& request)
{
    bool const centre_automatic = !request.center_given && !options.decoder_channels.empty();
    if (centre_automatic)
        automatic_centre(options);

    bool const window_searched = rx888_window_needed(options);
    if (window_searched)
        rx888_window_search(options, request);
    else if (options.receivers_only && !request.center_given)
        receivers_centre(options);

    capture_width(options, request);

    if (!window_searched && centre_automatic && options.audio_channels.empty() &&
        options.analysis_channels.empty())
        band_table_centre(options);

    if (any_channel_outside(options, options.frequency))
        throw CaptureFitError("Decoder channels do not fit the usable capture bandwidth; increase "
                              "--sample-rate, change --center-frequency, or use closer frequencies");
    return window_searched;
}
