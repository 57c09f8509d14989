#include "testbed/lib/sstv_modulator.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <stdexcept>

namespace testbed {
namespace {

constexpr double kPi = std::numbers::pi;

enum class Family { MARTIN, SCOTTIE, PD };

struct ModeRow {
    const char* name;
    int vis_code;
    Family family;
    int width;
    int height;
    double scan_ms;
};

// The sender's view of each mode: colour or luminance scan time per line.
constexpr ModeRow kModes[] = {
    {"M1", 44, Family::MARTIN, 320, 256, 146.432},   {"M2", 40, Family::MARTIN, 320, 256, 73.216},
    {"S1", 60, Family::SCOTTIE, 320, 256, 138.24},   {"S2", 56, Family::SCOTTIE, 320, 256, 88.064},
    {"SDX", 76, Family::SCOTTIE, 320, 256, 345.6},   {"PD50", 93, Family::PD, 320, 256, 91.52},
    {"PD90", 99, Family::PD, 320, 256, 170.24},      {"PD120", 95, Family::PD, 640, 496, 121.6},
    {"PD160", 98, Family::PD, 512, 400, 195.584},    {"PD180", 96, Family::PD, 640, 496, 183.04},
    {"PD240", 97, Family::PD, 640, 496, 244.48},     {"PD290", 94, Family::PD, 800, 616, 228.8},
};

const ModeRow& row_of(const std::string& mode) {
    for (const ModeRow& row : kModes)
        if (mode == row.name) return row;
    throw std::invalid_argument("no SSTV mode " + mode);
}

// Phase-continuous FM, each tone ending at its exact (fractional) time: rounding is never
// carried from one tone to the next.
class FmWriter {
public:
    explicit FmWriter(const SstvTransmitter& t) : t_(t) {}

    void tone(double hz, double ms) {
        end_ += ms / 1000.0 * t_.rate_hz;
        const double step = 2.0 * kPi * (hz + t_.tune_offset_hz) / t_.rate_hz;
        while (static_cast<double>(out_.size()) < end_) {
            phase_ += step;
            if (phase_ > 2.0 * kPi) phase_ -= 2.0 * kPi;
            out_.push_back(static_cast<float>(t_.amplitude * std::sin(phase_)));
        }
    }

    void scan(const std::vector<double>& levels, double ms) {
        const double each = ms / static_cast<double>(levels.size());
        for (const double v : levels) tone(1500.0 + 800.0 * v / 255.0, each);
    }

    std::vector<float> take() { return std::move(out_); }

private:
    SstvTransmitter t_;
    std::vector<float> out_;
    double end_ = 0.0;
    double phase_ = 0.0;
};

void write_vis(FmWriter& fm, const SstvTransmitter& t, int code, int parity_bit) {
    fm.tone(t.first_leader_hz, 300.0);
    fm.tone(1200.0, 10.0);
    fm.tone(1900.0 + t.second_leader_tilt_hz, 150.0);
    fm.tone(1900.0 - t.second_leader_tilt_hz, 150.0);
    fm.tone(1200.0, 30.0);
    for (int j = 0; j < 8; ++j) {
        const int bit = j < 7 ? (code >> j) & 1 : parity_bit;
        fm.tone(bit ? 1100.0 : 1300.0, 30.0);
    }
    fm.tone(t.stop_bit_hz, 30.0);
}

std::vector<double> channel(const RgbPicture& p, int y, int c) {
    std::vector<double> values(static_cast<std::size_t>(p.width));
    for (int x = 0; x < p.width; ++x) values[static_cast<std::size_t>(x)] = p.rgb[(static_cast<std::size_t>(y) * p.width + x) * 3 + c];
    return values;
}

double luma(const RgbPicture& p, int y, int x) {
    const std::uint8_t* px = &p.rgb[(static_cast<std::size_t>(y) * p.width + x) * 3];
    return 0.299 * px[0] + 0.587 * px[1] + 0.114 * px[2];
}

void write_lines(FmWriter& fm, const SstvTransmitter& t, const ModeRow& m, const RgbPicture& p) {
    if (p.width != m.width || p.height != m.height)
        throw std::invalid_argument(std::string("picture size does not fit SSTV mode ") + m.name);
    const double s = m.scan_ms;
    switch (m.family) {
    case Family::MARTIN:
        for (int y = 0; y < m.height; ++y) {
            fm.tone(t.sync_hz, 4.862);
            fm.tone(1500.0, 0.572);
            fm.scan(channel(p, y, 1), s);
            fm.tone(1500.0, 0.572);
            fm.scan(channel(p, y, 2), s);
            fm.tone(1500.0, 0.572);
            fm.scan(channel(p, y, 0), s);
            fm.tone(1500.0, 0.572);
        }
        break;
    case Family::SCOTTIE:
        fm.tone(t.sync_hz, 9.0);
        for (int y = 0; y < m.height; ++y) {
            fm.tone(1500.0, 1.5);
            fm.scan(channel(p, y, 1), s);
            fm.tone(1500.0, 1.5);
            fm.scan(channel(p, y, 2), s);
            fm.tone(t.sync_hz, 9.0);
            fm.tone(1500.0, 1.5);
            fm.scan(channel(p, y, 0), s);
        }
        break;
    case Family::PD:
        for (int y = 0; y + 1 < m.height; y += 2) {
            std::vector<double> y0(static_cast<std::size_t>(m.width)), y1(y0), cr(y0), cb(y0);
            for (int x = 0; x < m.width; ++x) {
                const auto i = static_cast<std::size_t>(x);
                y0[i] = luma(p, y, x);
                y1[i] = luma(p, y + 1, x);
                // Both lines of the pair share their colour difference: the mean of the two.
                double r = 0.0, b = 0.0, l = 0.0;
                for (int dy = 0; dy < 2; ++dy) {
                    const std::uint8_t* px = &p.rgb[(static_cast<std::size_t>(y + dy) * p.width + x) * 3];
                    r += px[0];
                    b += px[2];
                    l += luma(p, y + dy, x);
                }
                cr[i] = std::clamp((r - l) / 2.0 / 1.402 + 128.0, 0.0, 255.0);
                cb[i] = std::clamp((b - l) / 2.0 / 1.772 + 128.0, 0.0, 255.0);
            }
            fm.tone(t.sync_hz, 20.0);
            fm.tone(1500.0, 2.08);
            fm.scan(y0, s);
            fm.scan(cr, s);
            fm.scan(cb, s);
            fm.scan(y1, s);
        }
        break;
    }
}

}  // namespace

RgbPicture sstv_test_picture(int width, int height) {
    RgbPicture p{width, height, std::vector<std::uint8_t>(static_cast<std::size_t>(width) * height * 3)};
    static constexpr std::uint8_t kBars[8][3] = {{255, 255, 255}, {255, 255, 0}, {0, 255, 255}, {0, 255, 0},
                                                {255, 0, 255},   {255, 0, 0},   {0, 0, 255},   {0, 0, 0}};
    for (int y = 0; y < height; ++y) {
        for (int x = 0; x < width; ++x) {
            std::uint8_t* px = &p.rgb[(static_cast<std::size_t>(y) * width + x) * 3];
            if (y < height / 3) {
                const std::uint8_t* bar = kBars[x * 8 / width];
                std::copy(bar, bar + 3, px);
            } else if (y < height / 2) {
                const auto grey = static_cast<std::uint8_t>(x * 255 / (width - 1));
                px[0] = px[1] = px[2] = grey;
            } else {
                const double dx = x - width * 0.7;
                const double dy = y - height * 0.75;
                const double r = height * 0.15;
                if (dx * dx + dy * dy < r * r) {
                    px[0] = 240;
                    px[1] = 200;
                    px[2] = 40;
                } else {
                    px[0] = static_cast<std::uint8_t>(x * 255 / (width - 1));
                    px[1] = 90;
                    px[2] = static_cast<std::uint8_t>((y - height / 2) * 255 / (height - height / 2));
                }
            }
        }
    }
    return p;
}

SstvGeometry sstv_geometry(const std::string& mode) {
    const ModeRow& row = row_of(mode);
    return {row.width, row.height, row.vis_code};
}

std::vector<std::string> sstv_mode_names() {
    std::vector<std::string> names;
    for (const ModeRow& row : kModes) names.emplace_back(row.name);
    return names;
}

int vis_parity(int code) {
    int ones = 0;
    for (int j = 0; j < 7; ++j) ones += (code >> j) & 1;
    return ones % 2;
}

std::vector<float> modulate_vis(int code, int parity_bit, const SstvTransmitter& transmitter) {
    FmWriter fm(transmitter);
    write_vis(fm, transmitter, code, parity_bit);
    return fm.take();
}

std::vector<float> modulate_sstv_lines(const std::string& mode, const RgbPicture& picture,
                                       const SstvTransmitter& transmitter) {
    FmWriter fm(transmitter);
    write_lines(fm, transmitter, row_of(mode), picture);
    return fm.take();
}

std::vector<float> modulate_sstv(const std::string& mode, const RgbPicture& picture, const SstvTransmitter& transmitter) {
    const ModeRow& row = row_of(mode);
    FmWriter fm(transmitter);
    write_vis(fm, transmitter, row.vis_code, vis_parity(row.vis_code));
    if (transmitter.pause_ms > 0.0) fm.tone(1500.0, transmitter.pause_ms);
    write_lines(fm, transmitter, row, picture);
    return fm.take();
}

}  // namespace testbed
