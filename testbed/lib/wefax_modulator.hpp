#pragma once

#include <cstdint>
#include <vector>

// Our own weather-fax transmitter for tests: start tone, phasing lines, the chart, stop tone
// and a tail of black, as phase-continuous FM (black at centre - 400 Hz, white at centre +
// 400 Hz), every line starting at its exact (fractional) time.
namespace testbed {

// A greyscale chart, rows top first, one byte a pixel (0 black, 255 white).
struct GreyPicture {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> grey;
};

// The known test chart: bands of grey, a gradient, a grid of lines and filled blocks like
// text, the same for the same size.
GreyPicture wefax_test_chart(int width, int height);

struct WefaxTransmission {
    int lpm = 120;
    int ioc = 576;                 // 576: start tone 300 Hz; 288: 675 Hz
    double centre_hz = 1900.0;
    double deviation_hz = 400.0;   // white - centre and centre - black
    double amplitude = 0.5;
    double start_tone_s = 5.0;
    double phasing_s = 30.0;       // whole lines: white pulse of 5 % of the line, then black
    double stop_tone_s = 5.0;
    double black_after_s = 3.0;
    int start_tone_hz = 0;         // 0: the tone the index calls for
    // A stretch of steady centre frequency inside the stop tone, as a fade would leave:
    // its start after the tone began and its length, in seconds (no dropout when 0).
    double stop_dropout_at_s = 0.0;
    double stop_dropout_s = 0.0;
    // The share of the first phasing pulse that is sent (its end; black before it), as from a
    // sender that starts phasing partway into a pulse. The line grid is not moved.
    double first_pulse_share = 1.0;
};

// Pixels a line of this index carries: round(index x pi).
int wefax_width(int ioc);

// The samples at which the chart's first line begins.
double wefax_chart_start(const WefaxTransmission& transmission);

// The whole transmission of a chart whose width is wefax_width(ioc).
std::vector<float> modulate_wefax(const GreyPicture& chart, const WefaxTransmission& transmission);

}  // namespace testbed
