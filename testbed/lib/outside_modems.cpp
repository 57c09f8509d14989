#include "testbed/lib/outside_modems.hpp"

#include <cstdio>
#include <stdexcept>

#include "testbed/lib/wav_reader.hpp"
#include "tests/support/run_process.hpp"
#include "tests/support/temp_dir.hpp"

namespace testbed {

namespace {

std::string number_text(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

void require_success(ProcessResult const& result, std::string const& what)
{
    if (result.exit_status != 0)
        throw std::runtime_error(what + " failed: " + result.err);
}

std::vector<float> audio_of(std::filesystem::path const& wav, std::string const& what)
{
    WavAudio audio = read_wav_mono16(wav);
    if (audio.rate_hz != 12000)
        throw std::runtime_error(what + " wrote " + std::to_string(audio.rate_hz) + " Hz audio, not 12000 Hz");
    return std::move(audio.samples);
}

}  // namespace

std::vector<float> minimodem_rtty_audio(std::string const& text, double mark_hz, double space_hz, double baud)
{
    TempDir dir;
    ProcessRun tx;
    tx.argv = {"minimodem", "--tx", "--quiet", "-f", (dir / "rtty.wav").string(), "-R", "12000", "--baudot",
               "--stopbits", "1.5", "-M", number_text(mark_hz), "-S", number_text(space_hz), number_text(baud)};
    tx.stdin_text = text;
    require_success(run_process(tx), "minimodem");
    return audio_of(dir / "rtty.wav", "minimodem");
}

std::vector<float> ebook2cw_audio(std::string const& text, int wpm, int tone_hz)
{
    TempDir dir;
    auto const input = dir.write_file("text.txt", text + "\n");
    ProcessRun make;
    // ebook2cw keeps its settings under $HOME: keep them in the temporary directory.
    make.argv = {"ebook2cw", "-O", "-s", "12000", "-w", std::to_string(wpm), "-f", std::to_string(tone_hz),
                 "-c", "", "-o", "cw", input.string()};
    make.env = environment_with({"HOME=" + dir.path().string()});
    make.working_directory = dir.path().string();
    require_success(run_process(make), "ebook2cw");
    require_success(run_process({"oggdec", "-Q", "-o", (dir / "cw.wav").string(), (dir / "cw.ogg").string()}),
                    "oggdec");
    return audio_of(dir / "cw.wav", "ebook2cw");
}

}  // namespace testbed
