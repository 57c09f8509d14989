#include "app/audio_mode_run.hpp"

#include <memory>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/daemon.hpp"
#include "core/log_line.hpp"
#include "core/options.hpp"
#include "live/analysis_settings.hpp"
#include "live/live_audio.hpp"
#include "radio/audio_mode.hpp"
#include "radio/audio_output.hpp"
#include "radio/demodulator.hpp"
#include "radio/radio.hpp"

namespace {

char const* modulation_name(std::uint32_t modulation)
{
    switch (modulation) {
    case Demodulator::usb:
        return "USB";
    case Demodulator::lsb:
        return "LSB";
    default:
        return "AM";
    }
}

}  // namespace

void run_audio_mode(Options const& options, Radio* radio, SampleQueue& queue, Daemon& daemon)
{
    bool const replay = !options.iq_file.empty();
    if (!replay && radio == nullptr)
        throw std::runtime_error("Audio mode needs a receiver or --iq-file");

    double const tuning_offset_hz = replay ? 0.0 : radio->tuning_offset();
    // Declared before the output so that the output goes first on every way out.
    Demodulator demodulator(options.modulation, options.bandwidth, options.audio_gain, options.audio_rate,
                            tuning_offset_hz);
    AudioOutput output(options);

    std::ostringstream setup;
    setup << (replay ? std::string("IQ replay") : options.backend) << ": " << options.frequency << " Hz "
          << modulation_name(options.modulation) << ", bandwidth=" << options.bandwidth
          << " Hz, audio=" << options.audio_rate << " Hz mono";
    log_line(setup.str());

    if (replay)
        replay_iq_file(options, demodulator, output, daemon);
    else
        receive(options, *radio, demodulator, output, queue, daemon, [&options](Radio& live) {
            // RADIO requests only: the audio mode has no live channels of its own.
            double const rate = live.sample_rate();
            return std::static_pointer_cast<void>(std::make_shared<LiveAudio>(
                rate, options.frequency - live.tuning_offset(), rate, options.audio_control,
                std::vector<AudioChannel>{}, [&live](std::string const& request) { return live.control(request); },
                true, AnalysisSettings{}, nullptr));
        });
    output.finish();

    if (std::uint64_t const clipped = demodulator.clipped(); clipped > 0) {
        std::ostringstream line;
        line << "Clipped " << clipped << " audio samples; lower --audio-gain or RF gain";
        log_line(line.str());
    }
}
