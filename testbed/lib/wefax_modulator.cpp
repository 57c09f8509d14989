#include "testbed/lib/wefax_modulator.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace testbed {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr double kRateHz = 12000.0;

class FmWriter {
public:
    explicit FmWriter(double amplitude) : amplitude_(amplitude) {}

    void tone(double hz, double samples) {
        end_ += samples;
        const double step = 2.0 * kPi * hz / kRateHz;
        while (static_cast<double>(out_.size()) < end_) {
            phase_ += step;
            if (phase_ > 2.0 * kPi) phase_ -= 2.0 * kPi;
            out_.push_back(static_cast<float>(amplitude_ * std::sin(phase_)));
        }
    }

    double now() const { return end_; }
    std::vector<float> take() { return std::move(out_); }

private:
    double amplitude_;
    std::vector<float> out_;
    double end_ = 0.0;
    double phase_ = 0.0;
};

// Black and white alternating at tone_hz, for seconds; optionally with a steady stretch.
void alternate(FmWriter& fm, const WefaxTransmission& t, double tone_hz, double seconds, double dropout_at = 0.0,
               double dropout = 0.0) {
    const double half = kRateHz / tone_hz / 2.0;
    const double begin = fm.now();
    const double end = begin + seconds * kRateHz;
    bool white = true;
    bool dropped = dropout <= 0.0;
    while (fm.now() + 0.5 < end) {
        if (!dropped && fm.now() >= begin + dropout_at * kRateHz) {
            fm.tone(t.centre_hz, dropout * kRateHz);
            dropped = true;
            continue;
        }
        fm.tone(t.centre_hz + (white ? t.deviation_hz : -t.deviation_hz), std::min(half, end - fm.now()));
        white = !white;
    }
}

double level_hz(const WefaxTransmission& t, double v) { return t.centre_hz - t.deviation_hz + 2.0 * t.deviation_hz * v / 255.0; }

}  // namespace

int wefax_width(int ioc) { return static_cast<int>(std::lround(ioc * kPi)); }

double wefax_chart_start(const WefaxTransmission& t) {
    const double period = 60.0 / t.lpm * kRateHz;
    return std::round(t.start_tone_s * kRateHz) + std::floor(t.phasing_s * t.lpm / 60.0) * period;
}

GreyPicture wefax_test_chart(int width, int height) {
    GreyPicture chart{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height)};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t v = 0;
            if (y < height / 4) {
                v = static_cast<std::uint8_t>(x * 255 / (width - 1));  // gradient
            } else if (y < height / 2) {
                v = static_cast<std::uint8_t>(((x * 6 / width) % 2) ? 200 : 60);  // bands
            } else {
                const bool grid = (x % (width / 8)) < width / 100 || (y % 12) < 2;
                const bool block = ((x / (width / 16)) + (y / 10)) % 3 == 0;
                v = grid ? 0 : (block ? 90 : 240);
            }
            chart.grey[static_cast<std::size_t>(y) * width + x] = v;
        }
    }
    return chart;
}

std::vector<float> modulate_wefax(const GreyPicture& chart, const WefaxTransmission& t) {
    if (chart.width != wefax_width(t.ioc)) throw std::invalid_argument("chart width does not fit the index");
    FmWriter fm(t.amplitude);
    const int start_hz = t.start_tone_hz != 0 ? t.start_tone_hz : (t.ioc == 288 ? 675 : 300);
    alternate(fm, t, start_hz, t.start_tone_s);
    fm.tone(t.centre_hz - t.deviation_hz, std::round(t.start_tone_s * kRateHz) - fm.now());

    const double period = 60.0 / t.lpm * kRateHz;
    const int phasing_lines = static_cast<int>(std::floor(t.phasing_s * t.lpm / 60.0));
    for (int line = 0; line < phasing_lines; ++line) {
        const double missing = line == 0 ? (1.0 - std::clamp(t.first_pulse_share, 0.0, 1.0)) * 0.05 * period : 0.0;
        if (missing > 0.0) fm.tone(t.centre_hz - t.deviation_hz, missing);
        fm.tone(t.centre_hz + t.deviation_hz, 0.05 * period - missing);
        fm.tone(t.centre_hz - t.deviation_hz, 0.95 * period);
    }
    const double pixel = period / chart.width;
    for (int y = 0; y < chart.height; ++y)
        for (int x = 0; x < chart.width; ++x)
            fm.tone(level_hz(t, chart.grey[static_cast<std::size_t>(y) * chart.width + x]), pixel);
    alternate(fm, t, 450.0, t.stop_tone_s, t.stop_dropout_at_s, t.stop_dropout_s);
    fm.tone(t.centre_hz - t.deviation_hz, t.black_after_s * kRateHz);
    return fm.take();
}

}  // namespace testbed
