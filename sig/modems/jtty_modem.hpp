#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string_view>

#include "core/sig/decoded_line.hpp"
#include "core/sig/modem_context.hpp"
#include "sig/modems/modem.hpp"

namespace sig {

// The audio range the external decoder is told to search, from the channel's bandwidth.
struct JttyPassband {
    int low_hz = 200;
    int high_hz = 2800;
};

// 200 Hz up to the channel bandwidth less 100 Hz, in whole hertz, held within 600..2800.
JttyPassband jtty_passband(double channel_bandwidth_hz);

// One audio sample as the decoder reads it: held within -1..1, scaled by 32767 and rounded
// half away from zero; not-a-number gives 0.
std::int16_t jtty_sample(float value);

// One output line of the decoder (without its line feed): "JTTY", a 64-bit id, a word (a line
// whose word is "G" is not for us), three numbers, the seconds from the start of the audio
// stream, then the text. Anything else gives nothing. The line's time is stream_start plus its
// seconds, or 0 when the stream start is not known.
std::optional<DecodedLine> parse_jtty_line(std::string_view line, std::optional<double> stream_start);

// Bridge to the external JTTY decoder (NORVANE_JTTY, else "jtty-rx" on the PATH): one child per
// modem, fed the channel audio as native 16-bit samples at 12000 Hz on its standard input, its
// "JTTY" lines read back as decoded lines. A child that cannot start, stops reading (a block not
// taken within about 2 s), closes its output or ends is stopped and started again 30 s of audio
// later; the first such failure of a modem is reported on standard error, later ones are not.
// reset and set_frequency leave the child alone; the destructor ends it quietly. The child leads
// a process group of its own, and ending it ends the whole group: a helper it started in turn
// does not outlive it.
class JttyModem final : public Modem {
public:
    JttyModem(const ModemContext& context, JttyPassband passband);
    ~JttyModem() override;

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
