#pragma once

namespace sig {

// The envelope of one emitter's recent complex samples.
struct SurveyEnvelopeFeatures {
    double kurtosis = 2.0;          // mean |x|^4 / (mean |x|^2)^2: 2 for Gaussian noise, 1 for a constant envelope
    double variation = 0.0;         // standard deviation of |x| over its mean
    bool on_off_keyed = false;
    double keying_peak_ratio = 0.0; // strongest envelope-spectrum line over its local median
    double keying_rate_hz = 0.0;    // frequency of that line
    bool valid = false;
};

}  // namespace sig
