#include "testbed/lib/wsjt_recordings.hpp"

#include <cmath>
#include <sstream>
#include <stdexcept>

#include "testbed/lib/wav_reader.hpp"
#include "testbed/lib/wsjt_waveforms.hpp"
#include "tests/support/run_process.hpp"

namespace fs = std::filesystem;

namespace testbed {

std::vector<float> ft8sim_audio(fs::path const& dir, std::string const& message, double audio_hz)
{
    ProcessRun sim;
    sim.argv = {"ft8sim", message, std::to_string(audio_hz), "0.0", "0.0", "0.0", "1", "99"};
    sim.working_directory = dir.string();
    auto const result = run_process(sim);
    if (result.exit_status != 0)
        throw std::runtime_error("ft8sim failed: " + result.out + result.err);
    auto audio = read_wav_mono16(dir / "000000_000001.wav");
    fs::remove(dir / "000000_000001.wav");
    return audio.samples;
}

std::vector<float> wspr_audio(fs::path const& dir, std::string const& message, double audio_hz)
{
    ProcessRun sim;
    sim.argv = {"wsprsim", "-c", message};
    sim.working_directory = dir.string();
    auto const result = run_process(sim);  // exits 1 even when it succeeds
    std::istringstream text(result.out.substr(result.out.find(':') + 1));
    std::vector<int> symbols;
    for (int s; text >> s;)
        symbols.push_back(s);
    if (symbols.size() != 162)
        throw std::runtime_error("wsprsim printed no channel symbols: " + result.out + result.err);
    return wspr_audio_from_symbols(symbols, audio_hz, 1.0);
}

std::vector<float> ft4_audio(std::string const& message, double audio_hz)
{
    auto const result = run_process({"ft4code", message});
    std::istringstream text(result.out);
    std::string line;
    while (std::getline(text, line) && line.find("Channel symbols (105 tones)") == std::string::npos) {
    }
    std::getline(text, line);  // the field names above the tones
    std::getline(text, line);
    std::vector<int> tones;
    for (char c : line) {
        if (c >= '0' && c <= '3')
            tones.push_back(c - '0');
    }
    if (tones.size() != 105)
        throw std::runtime_error("ft4code printed no 105 tones: " + result.out);
    return ft4_audio_from_tones(tones, audio_hz, 1.0);
}

std::vector<float> scaled_audio(std::vector<float> audio, double db)
{
    auto const factor = static_cast<float>(std::pow(10.0, db / 20.0));
    for (float& v : audio)
        v *= factor;
    return audio;
}

}  // namespace testbed
