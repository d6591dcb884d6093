#pragma once

// The end-to-end benchmark's load mode: how much of a steady tone each recorder loses while
// the machine is busy. For each round, N threads spin and one writes to a file on disk,
// flushing it as it goes (all of them stop by themselves at a deadline past the round, and
// when the round ends however it ends); a player plays a steady 5 kHz tone into the sink,
// and every recorder (the helper at --nice, its peers, the baseline) records the sink's
// monitor at the same time, with a reference beside them: the server's own recorder (parec
// or pw-record) writing raw PCM, at real-time priority where it can have it. In each file,
// decoded, a 10 ms block holds the tone or not (bench/switch_gap.h); a recorder's share of
// missing blocks is taken against its own wall time and the share of blocks the reference
// found the tone in, so that what the player failed to play counts against no recorder.

#include <vector>

#include "bench/recorder.h"

namespace bench {

// Runs the rounds and prints each recorder's share per round and the medians; 0 when done,
// 1 when something could not run (the helper's failure included).
int run_under_load(RecorderRuns& runs, std::vector<Recorder>& recorders);

}  // namespace bench
