// The classifier's confusion table: every signal of the catalogue at a clean level and near its
// modem's threshold, run through the classifier as an analysis channel of 3000 Hz would, and
// what it named the signal. Prints the markdown table of docs/classifier.md.
//
// Usage: classifier_confusion [seeds] [seconds] [row name...]
//        classifier_confusion --tracks ROW SNR SEED [seconds]   (every track of one run)

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "testbed/lib/classifier_run.hpp"
#include "testbed/lib/classifier_signals.hpp"

namespace {

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

    std::printf("| signal | SNR dB | named (runs of %d) | first named after s |\n|---|---|---|---|\n", seeds);
    for (const testbed::SignalCase& c : testbed::classifier_signal_cases()) {
        if (!only.empty() && std::find(only.begin(), only.end(), c.name) == only.end()) continue;
        const bool quiet = c.kind == testbed::SignalKind::noise;
        std::vector<double> levels{quiet ? 0.0 : 20.0};
        if (!quiet) levels.push_back(c.threshold_snr_db);
        for (const double snr : levels) {
            std::map<std::string, int> names;
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
                // What the signal was named: the named track nearest its centre, else every
                // track that would start a modem anywhere.
                const testbed::ClassifiedTrack* t = testbed::classified_near(run, c.centre_hz, 150.0);
                std::string name = "nothing";
                if (t != nullptr) {
                    name = testbed::named(t->last);
                    delay_sum += t->classified_at - 1000.0 - 1.0;
                    ++delays;
                } else {
                    for (const testbed::ClassifiedTrack* m : testbed::modem_tracks(run)) {
                        name = "elsewhere: " + testbed::named(m->last);
                        break;
                    }
                }
                names[name]++;
            }
            std::string cell;
            for (const auto& [name, count] : names) {
                if (!cell.empty()) cell += ", ";
                cell += name + " x" + std::to_string(count);
            }
            char delay[32] = "-";
            if (delays > 0) std::snprintf(delay, sizeof delay, "%.1f", delay_sum / delays);
            std::printf("| %s | %s | %s | %s |\n", c.name.c_str(), quiet ? "-" : (snr == 20.0 ? "+20" : std::to_string(static_cast<int>(snr)).c_str()),
                        cell.c_str(), delay);
            std::fflush(stdout);
        }
    }
    return 0;
}
