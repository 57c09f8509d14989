#pragma once

#include <cstdint>
#include <memory>
#include <span>

#include "core/sig/modem_context.hpp"
#include "sig/modems/modem.hpp"

namespace sig {

// One SSTV picture mode the receiver knows.
struct SstvModeSpec {
    const char* name;
    std::int32_t vis_code;
    std::int32_t family;  // 0 Martin, 1 Scottie, 2 PD
    std::int32_t width;
    std::int32_t height;
    double scan_ms;  // one colour or luminance scan of one line
};

// The modes, in the order they are searched: Martin 1 and 2, Scottie 1, 2 and DX, PD50 to PD290.
std::span<const SstvModeSpec> sstv_modes();

// Slow-scan television receiver. It keeps a running sum of the instantaneous frequency, finds
// a VIS header naming one of the known modes, waits for the whole picture, then locates the
// line syncs, fits the real line period (so a sender whose clock is off gives no slant),
// samples every line, converts colour and saves the picture as
// "sstv-<UTC>-<dial kHz>-<mode>.png" in the context's picture directory. What happens is
// reported as picture events: start, progress every 32 lines, picture written, end.
// set_frequency is ignored: the tones of the mode fix where it listens, and the measured
// leader frequency corrects a mistuned receiver. A discontinuity or reset drops a picture
// being received without an event.
class SstvModem final : public Modem {
public:
    explicit SstvModem(const ModemContext& context);
    ~SstvModem() override;

    Mode mode() const override;
    void process(const AudioBlock& block) override;
    void set_frequency(double audio_hz) override;
    void reset() override;
    ModemOutput take_output() override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace sig
