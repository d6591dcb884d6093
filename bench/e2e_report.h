#pragma once

// What the end-to-end benchmark prints: each run as it ends, then the medians over the
// rounds and the ratios, each ratio taken within a round.

#include <string>
#include <vector>

#include "bench/e2e_options.h"
#include "bench/recorder.h"

namespace bench {

// The first three fields of /proc/loadavg.
std::string load_average();

void print_idle(const Idle& idle);
void print_bare_encoder(double hot, double paced, int seconds);
void print_measure(const char* name, const Measure& m);
void print_fidelity(const char* name, const Fidelity& f);
void print_switches(const char* name, const SwitchGaps& gaps);

// What the rounds measured beside each recorder's own figures.
struct RoundFigures {
    std::vector<Idle> idles;
    std::vector<double> hot_encoder;
    std::vector<double> paced_encoder;
    std::vector<double> stop_latencies;  // ms, after the rounds
};

// The medians over the rounds, the ratios and the goals.
void print_summary(const Options& options, const std::vector<Recorder>& recorders,
                   const RoundFigures& rounds);

}  // namespace bench
