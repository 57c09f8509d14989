// Writes an IQ recording (little-endian PCM16 I,Q pairs, the daemon's IQ file format) in which
// 12000 Hz audio recordings appear as upper-sideband signals at their dial frequencies: the
// test signals of the decoder-mode end-to-end tests. Run with --help for the usage.
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <stdexcept>
#include <string>
#include <vector>

#include "testbed/lib/iq_synth.hpp"
#include "testbed/lib/wav_reader.hpp"

namespace {

constexpr char const* kUsage = R"(Usage: iq_synth --output FILE --center HZ --rate HZ --duration S
                --signal WAV:DIAL_HZ[:START_S] [--signal ...]
                [--snr DB] [--seed N] [--gain-db DB] [--gap START_S:LENGTH_S]

Writes FILE as little-endian signed 16-bit I,Q pairs at --rate complex samples per second,
centred on --center Hz, --duration seconds long. Each --signal is a 12000 Hz mono 16-bit WAV
file sent as upper sideband on DIAL_HZ: audio frequency a appears at RF DIAL_HZ + a. START_S
(default 0) is where the recording begins in the capture; it may be negative to cut its start.
Every signal must lie inside the capture: |DIAL_HZ - center| + 6000 below rate / 2.

  --snr DB            add white Gaussian noise so that the first signal stands DB above the
                      noise in 2500 Hz of its demodulated audio (its level measured between its
                      first and last non-zero sample); without it there is no noise
  --seed N            noise seed (default 1); the same arguments always give the same file
  --gain-db DB        level of every signal (default 0: audio full scale is IQ full scale)
  --gap START_S:LENGTH_S
                      leave LENGTH_S seconds of samples out from START_S on, as a receiver
                      that lost them would: the file is that much shorter

Values beyond full scale are clipped and counted on standard error. The whole capture is
kept in memory: 8 bytes per sample (16 with --snr), plus 8 bytes per sample over the
length of the longest signal.
Wide captures hold far more noise than one sideband: with --snr, lower --gain-db until nothing
clips (ft8sim writes full-scale audio; the example below needs -40 dB).
Example: ft8sim "CQ K1ABC FN42" 1500 0 0 0 1 99 and then
  iq_synth --output ft8.iq --center 14100000 --rate 192000 --duration 30 \
           --signal 000000_000001.wav:14074000:0 --gain-db -40 --snr -10
)";

[[noreturn]] void usage_error(std::string const& message)
{
    std::fprintf(stderr, "iq_synth: %s\n%s", message.c_str(), kUsage);
    std::exit(2);
}

double number(std::string const& text, char const* what)
{
    std::size_t used = 0;
    double value = 0.0;
    try {
        value = std::stod(text, &used);
    } catch (std::exception const&) {
        used = 0;
    }
    if (used == 0 || used != text.size())
        usage_error(std::string("invalid ") + what + ": " + text);
    return value;
}

std::vector<std::string> split(std::string const& text, char separator)
{
    std::vector<std::string> parts;
    std::size_t begin = 0;
    for (;;) {
        auto const end = text.find(separator, begin);
        parts.push_back(text.substr(begin, end == std::string::npos ? end : end - begin));
        if (end == std::string::npos)
            return parts;
        begin = end + 1;
    }
}

}  // namespace

int main(int argc, char** argv)
{
    std::vector<std::string> const args(argv + 1, argv + argc);
    testbed::IqSynthConfig config;
    std::vector<std::string> signal_specs;
    std::string output;
    bool have_center = false;
    for (std::size_t i = 0; i < args.size(); ++i) {
        std::string const& option = args[i];
        if (option == "--help" || option == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (i + 1 >= args.size())
            usage_error(option.rfind("--", 0) == 0 ? option + " needs a value" : "unexpected argument " + option);
        std::string const& value = args[++i];
        if (option == "--output") {
            output = value;
        } else if (option == "--center") {
            config.center_hz = number(value, "centre");
            have_center = true;
        } else if (option == "--rate") {
            double const rate = number(value, "rate");
            if (rate < 1 || rate > 100000000 || rate != static_cast<int>(rate))
                usage_error("rate must be a whole number of Hz: " + value);
            config.rate_hz = static_cast<int>(rate);
        } else if (option == "--duration") {
            config.duration_s = number(value, "duration");
        } else if (option == "--signal") {
            signal_specs.push_back(value);
        } else if (option == "--snr") {
            config.add_noise = true;
            config.snr_db = number(value, "SNR");
        } else if (option == "--seed") {
            config.seed = static_cast<std::uint64_t>(number(value, "seed"));
        } else if (option == "--gain-db") {
            config.gain_db = number(value, "gain");
        } else if (option == "--gap") {
            auto const parts = split(value, ':');
            if (parts.size() != 2)
                usage_error("--gap takes START_S:LENGTH_S: " + value);
            config.gap_start_s = number(parts[0], "gap start");
            config.gap_length_s = number(parts[1], "gap length");
        } else {
            usage_error("unknown option " + option);
        }
    }
    if (output.empty() || !have_center || config.rate_hz == 0 || config.duration_s <= 0.0 || signal_specs.empty())
        usage_error("--output, --center, --rate, --duration and at least one --signal are required");

    try {
        std::vector<testbed::IqSynthSignal> signals;
        for (auto const& spec : signal_specs) {
            // The WAV path may itself hold colons: the numbers are the last one or two fields.
            auto parts = split(spec, ':');
            if (parts.size() < 2)
                usage_error("--signal takes WAV:DIAL_HZ[:START_S]: " + spec);
            testbed::IqSynthSignal signal;
            std::size_t numbers = 1;
            if (parts.size() >= 3) {
                std::size_t used = 0;
                try {
                    std::stod(parts[parts.size() - 2], &used);
                } catch (std::exception const&) {
                    used = 0;
                }
                numbers = used == parts[parts.size() - 2].size() && used > 0 ? 2 : 1;
            }
            if (numbers == 2) {
                signal.dial_hz = number(parts[parts.size() - 2], "dial frequency");
                signal.start_s = number(parts.back(), "start");
            } else {
                signal.dial_hz = number(parts.back(), "dial frequency");
            }
            parts.resize(parts.size() - numbers);
            std::string path = parts.front();
            for (std::size_t p = 1; p < parts.size(); ++p)
                path += ":" + parts[p];
            auto audio = testbed::read_wav_mono16(path);
            if (audio.rate_hz != 12000)
                throw std::runtime_error(path + ": expected 12000 Hz, found " + std::to_string(audio.rate_hz));
            signal.audio = std::move(audio.samples);
            signals.push_back(std::move(signal));
        }
        auto const iq = testbed::synthesize_iq(config, signals);
        auto const clipped = testbed::write_iq_file(output, iq);
        if (clipped > 0)
            std::fprintf(stderr, "iq_synth: %llu values clipped at full scale; lower --gain-db\n",
                         static_cast<unsigned long long>(clipped));
    } catch (std::exception const& error) {
        std::fprintf(stderr, "iq_synth: %s\n", error.what());
        return 1;
    }
    return 0;
}
