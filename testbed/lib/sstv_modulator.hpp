#pragma once

#include <cstdint>
#include <string>
#include <vector>

// Our own SSTV transmitter for tests: a VIS header and the scan lines of one picture as
// phase-continuous FM (sync 1200 Hz, black 1500 Hz, white 2300 Hz), for the Martin, Scottie
// and PD modes, timed to the fraction of a sample so long pictures do not drift.
namespace testbed {

// An RGB picture, rows top first, three bytes a pixel.
struct RgbPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> rgb;
};

// The known test picture: colour bars, a grey ramp, a colour gradient and a disc; large flat
// areas and a few hard edges, the same for the same size.
RgbPicture sstv_test_picture(int width, int height);

struct SstvTransmitter {
    double amplitude = 0.5;
    double tune_offset_hz = 0.0;  // every tone moves by this much, as from a mistuned receiver
    double rate_hz = 12000.0;
    // A sender off the standard, for tests of what a receiver tolerates (each tone before the
    // tune offset is added):
    double sync_hz = 1200.0;          // the line syncs
    double first_leader_hz = 1900.0;  // the header's first leader
    double second_leader_tilt_hz = 0.0;  // the second leader's first half this much above 1900 Hz, its second half as much below
    double stop_bit_hz = 1200.0;      // the header's stop bit
    double pause_ms = 0.0;            // black (1500 Hz) between the header and the first line
};

// The size a mode sends; throws std::invalid_argument for a mode this transmitter lacks.
struct SstvGeometry {
    int width = 0;
    int height = 0;
    int vis_code = 0;
};
SstvGeometry sstv_geometry(const std::string& mode);

// The names of every mode this transmitter sends.
std::vector<std::string> sstv_mode_names();

// A VIS header whose eight bits are the code's seven bits, least significant first, and then
// parity_bit.
std::vector<float> modulate_vis(int code, int parity_bit, const SstvTransmitter& transmitter);

// The even-parity bit of a seven-bit code.
int vis_parity(int code);

// The scan lines of a picture (of the mode's size) without a header.
std::vector<float> modulate_sstv_lines(const std::string& mode, const RgbPicture& picture,
                                       const SstvTransmitter& transmitter);

// A whole transmission: the mode's VIS header, then its lines.
std::vector<float> modulate_sstv(const std::string& mode, const RgbPicture& picture, const SstvTransmitter& transmitter);

}  // namespace testbed
