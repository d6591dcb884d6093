#pragma once

// The recorders the end-to-end benchmark compares, each with what the rounds measured of it.

#include <vector>

#include "bench/e2e_options.h"
#include "bench/fidelity_probes.h"
#include "bench/recorder_runs.h"
#include "bench/switch_gap.h"

namespace bench {

double median(std::vector<double> values);

struct Recorder {
    const char* name;
    RunRecorder run;
    std::vector<Measure> measures;     // one per round
    std::vector<Fidelity> fidelity;    // one per round where it could be measured
    std::vector<SwitchGaps> switches;  // one per round where it could be measured

    std::vector<double> values_of(double (*get)(const Measure&)) const;
    double median_of(double (*get)(const Measure&)) const { return median(values_of(get)); }
    double min_of(double (*get)(const Measure&)) const;
    double max_of(double (*get)(const Measure&)) const;
};

// The helper, ffmpeg, ffmpeg with 10 ms fragments and the pipeline, in that order (the
// report relies on it), then the baseline helper when there is one.
std::vector<Recorder> all_recorders(const Options& options);

}  // namespace bench
