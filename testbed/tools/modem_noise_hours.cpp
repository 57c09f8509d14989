// Measures what the keyboard modems print on pure noise: each hour of white Gaussian noise (one
// seed per hour, seeds 1, 2, 3 ...) goes through PSK31, PSK63, RTTY and CW receivers in the
// analyzer's blocks of 0.1 s, and the program prints, as a markdown table, how many characters
// each printed in each hour and what they were. CW's spaces only separate what it printed, so
// they are not counted; the other modes' spaces are decoded characters like any other.
// The figures in docs/modems.md come from this program.
//   modem_noise_hours [hours]
#include <algorithm>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "core/sig/candidate.hpp"
#include "sig/modems/modem_factory.hpp"

namespace {

constexpr std::size_t kBlockSamples = 1200;
constexpr std::size_t kHourBlocks = 3600 * 12000 / kBlockSamples;
constexpr double kNoiseRms = 0.1;

struct Receiver {
    sig::Mode mode;
    double audio_hz;
    std::unique_ptr<sig::Modem> modem;
    std::vector<std::string> printed;  // per hour
};

std::unique_ptr<sig::Modem> make(sig::Mode mode, double audio_hz) {
    sig::Candidate candidate;
    candidate.audio_hz = audio_hz;
    return sig::make_modem(mode, candidate, {}, {});
}

// Control characters shown by name, so that a table cell stays on one line.
std::string shown(const std::string& text) {
    std::string out;
    for (const char ch : text) {
        if (ch == '\n') {
            out += "\\n";
        } else if (ch == '|') {
            out += "\\|";
        } else if (static_cast<unsigned char>(ch) < 0x20) {
            char code[8];
            std::snprintf(code, sizeof code, "\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(ch)));
            out += code;
        } else {
            out += ch;
        }
    }
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    const int hours = std::max(1, argc > 1 ? std::atoi(argv[1]) : 8);
    std::vector<Receiver> receivers;
    receivers.push_back({sig::Mode::PSK31, 1000.0, nullptr, {}});
    receivers.push_back({sig::Mode::PSK63, 1000.0, nullptr, {}});
    receivers.push_back({sig::Mode::RTTY, 1500.0, nullptr, {}});
    receivers.push_back({sig::Mode::CW, 1500.0, nullptr, {}});

    for (int hour = 1; hour <= hours; ++hour) {
        // A fresh receiver and a fresh noise stream each hour: the hours are independent trials.
        for (Receiver& receiver : receivers) {
            receiver.modem = make(receiver.mode, receiver.audio_hz);
            receiver.printed.emplace_back();
        }
        std::mt19937_64 engine(static_cast<std::uint64_t>(hour));
        std::normal_distribution<double> normal(0.0, kNoiseRms);
        sig::AudioBlock block;
        block.samples.resize(kBlockSamples);
        for (std::size_t b = 0; b < kHourBlocks; ++b) {
            for (float& x : block.samples) x = static_cast<float>(normal(engine));
            block.time = static_cast<double>(b * kBlockSamples) / 12000.0;
            ++block.sequence;
            for (Receiver& receiver : receivers) {
                receiver.modem->process(block);
                receiver.printed.back() += receiver.modem->take_output().text;
            }
        }
        std::fprintf(stderr, "hour %d of %d done\n", hour, hours);
    }

    std::printf("| mode | characters printed in each hour (seeds 1 to %d) | total | what |\n", hours);
    std::printf("|---|---|---|---|\n");
    for (const Receiver& receiver : receivers) {
        std::string counts;
        std::string what;
        std::size_t total = 0;
        for (std::size_t h = 0; h < receiver.printed.size(); ++h) {
            const std::string& text = receiver.printed[h];
            const auto spaces = static_cast<std::size_t>(std::count(text.begin(), text.end(), ' '));
            const std::size_t count = receiver.mode == sig::Mode::CW ? text.size() - spaces : text.size();
            total += count;
            counts += (h == 0 ? "" : ", ") + std::to_string(count);
            if (text.empty()) continue;
            what += (what.empty() ? "hour " : "; hour ") + std::to_string(h + 1) + ": \"" + shown(text) + "\"";
        }
        std::printf("| %s | %s | %zu | %s |\n", sig::mode_name(receiver.mode), counts.c_str(), total,
                    what.empty() ? "nothing" : what.c_str());
    }
    return 0;
}
