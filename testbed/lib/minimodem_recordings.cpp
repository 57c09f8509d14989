#include "testbed/lib/minimodem_recordings.hpp"

#include <cstdio>
#include <stdexcept>

#include "testbed/lib/wav_reader.hpp"
#include "tests/support/run_process.hpp"

namespace testbed {

std::vector<float> minimodem_rtty_audio(const std::filesystem::path& dir, const std::string& text, double baud,
                                        double mark_hz, double space_hz) {
    char baud_text[32], mark[32], space[32];
    std::snprintf(baud_text, sizeof baud_text, "%g", baud);
    std::snprintf(mark, sizeof mark, "%g", mark_hz);
    std::snprintf(space, sizeof space, "%g", space_hz);
    ProcessRun tx;
    tx.argv = {"minimodem", "--tx", "--quiet", "-f",   (dir / "rtty.wav").string(), "-R", "12000", "--baudot",
               "--stopbits", "1.5", "-M",      mark,   "-S",                        space, baud_text};
    tx.stdin_text = text;
    const ProcessResult result = run_process(tx);
    if (result.exit_status != 0) throw std::runtime_error("minimodem failed: " + result.err);
    WavAudio wav = read_wav_mono16(dir / "rtty.wav");
    if (wav.rate_hz != 12000) throw std::runtime_error("minimodem wrote " + std::to_string(wav.rate_hz) + " Hz audio");
    return std::move(wav.samples);
}

}  // namespace testbed
