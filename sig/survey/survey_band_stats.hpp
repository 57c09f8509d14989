#pragma once

namespace sig {

// The shape of one emitter's band in the survey's averaged power spectrum. Levels are dB ratios.
struct SurveyBandStats {
    double bandwidth_hz = 0.0;     // as given; 0 when the input was rejected
    double symmetry = 1.0;         // 1 - |lower - upper| / (lower + upper) around the centre bin
    double flatness = 0.0;         // geometric over arithmetic mean of the band, 0..1
    double peak_db = 0.0;          // largest bin over the band mean
    double in_band_db = 0.0;       // band mean over the mean of the surrounding bins
    double edge_db = 0.0;          // the weaker of the two edge contrasts
    double centre_peak_db = 0.0;   // largest of the 3 centre bins over the bins 2..6 away
    double core_db = 0.0;          // sum of the 3 centre bins over the mean of the other band bins
    bool valid = false;
};

}  // namespace sig
