// The classifier's confusion table: every signal of the catalogue at a clean level and near its
// modem's threshold, run through the classifier as an analysis channel of 3000 Hz would, and
// what it named the signal, and which modems an analysis channel would start elsewhere. Prints
// the markdown table of docs/classifier.md.
//
// Usage: classifier_confusion [seeds] [seconds] [row name...]
//        classifier_confusion --tracks ROW SNR SEED [seconds]   (every track of one run)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/classifier_signals.hpp"

namespace {

constexpr double kClean = 20.0;   // the clean level, dB in 2500 Hz
constexpr double kNear = 150.0;   // a named track this close to the signal's centre names it
constexpr double kStart = 1000.0; // the first block's time (run_classifier)
constexpr double kPad = 1.0;      // silence before the signal (signal_recording)

std::string cell(const std::map<std::string, int>& counts) {
    std::string text;
    for (const auto& [name, count] : counts) {
        if (!text.empty()) text += ", ";
        text += name + " x" + std::to_string(count);
    }
    return text;
}

void print_tracks(const testbed::ClassifierRun& run) {
    for (const auto& [number, t] : run.tracks) {
        std::printf("track %u: %-16s %7.1f Hz bw %6.1f snr %5.1f snr2500 %6.1f q %.2f start %.2f classified %.2f lost %.2f\n",
                    number, testbed::named(t.last).c_str(), t.last.audio_hz, t.last.bandwidth_hz, t.last.snr_db,
                    t.last.snr_2500_db, t.last.quality, t.started_at - 1000.0,
                    t.classified_at < 0 ? -1.0 : t.classified_at - 1000.0, t.lost_at < 0 ? -1.0 : t.lost_at - 1000.0);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 5 && std::string(argv[1]) == "--tracks") {
        const testbed::SignalCase c = testbed::classifier_signal_case(argv[2]);
        const double snr = std::string(argv[3]) == "clean" ? std::numeric_limits<double>::infinity() : std::atof(argv[3]);
        const double seconds = argc > 5 ? std::atof(argv[5]) : 20.0;
        const auto audio = testbed::signal_recording(c, seconds, snr, std::strtoull(argv[4], nullptr, 10));
        print_tracks(testbed::run_classifier(audio, testbed::channel_classifier_config()));
        return 0;
    }
    const int seeds = argc > 1 ? std::atoi(argv[1]) : 5;
    const double seconds = argc > 2 ? std::atof(argv[2]) : 20.0;
    std::vector<std::string> only;
    for (int i = 3; i < argc; ++i) only.push_back(argv[i]);

    std::printf("| signal | SNR dB | named at the signal (%d runs) | first named after s | other modems started |\n"
                "|---|---|---|---|---|\n",
                seeds);
    for (const testbed::SignalCase& c : testbed::classifier_signal_cases()) {
        if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) continue;
        const bool quiet = c.kind == testbed::SignalKind::noise;
        std::vector<double> levels{quiet ? 0.0 : kClean};
        if (!quiet) levels.push_back(c.threshold_snr_db);
        for (const double snr : levels) {
            std::map<std::string, int> names;
            std::map<std::string, int> others;
            double delay_sum = 0.0;
            int delays = 0;
            for (int seed = 1; seed <= seeds; ++seed) {
                std::vector<float> audio;
                try {
                    audio = testbed::signal_recording(c, seconds, snr, static_cast<std::uint64_t>(seed));
                } catch (const std::exception& e) {
                    names[std::string("(") + e.what() + ")"]++;
                    continue;
                }
                const testbed::ClassifierRun run = testbed::run_classifier(audio, testbed::channel_classifier_config());
                const testbed::ClassifiedTrack* t = testbed::classified_near(run, c.centre_hz, kNear);
                names[t == nullptr ? "nothing" : testbed::named(t->last)]++;
                if (t != nullptr) {
                    delay_sum += t->classified_at - kStart - kPad;
                    ++delays;
                }
                // Modems the analyzer would start on other tracks, once per run and name.
                std::set<std::string> elsewhere;
                for (const testbed::ClassifiedTrack* m : testbed::modem_tracks(run))
                    if (m != t && !(t != nullptr && m->last.mode == t->last.mode &&
                                    std::fabs(m->last.audio_hz - t->last.audio_hz) <
                                        0.5 * std::max(m->last.bandwidth_hz, t->last.bandwidth_hz)))
                        elsewhere.insert(std::string(sig::mode_name(m->last.mode)));
                for (const std::string& name : elsewhere) others[name]++;
            }
            char delay[32] = "-";
            if (delays > 0) std::snprintf(delay, sizeof delay, "%.1f", delay_sum / delays);
            char level[16] = "-";
            if (!quiet) std::snprintf(level, sizeof level, "%+d", static_cast<int>(snr));
            std::printf("| %s | %s | %s | %s | %s |\n", c.name.c_str(), level, cell(names).c_str(), delay,
                        others.empty() ? "-" : cell(others).c_str());
            std::fflush(stdout);
        }
    }
    return 0;
}
