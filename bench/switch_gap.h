#pragma once

// What a switch of the default output costs a recording of a tone that plays on
// throughout: the stretch of the tone missing from the file around each switch, and
// whether the recording followed the default at all.

#include <cstddef>
#include <span>
#include <vector>

namespace bench {

// Whether each window holds the tone, from its levels (tests/support/tone_meter.h): at least
// half the tone's steady level, the median of the windows at or above `floor`. All false when
// none reaches `floor`.
std::vector<bool> tone_present(std::span<const double> levels, double floor);

struct SwitchGaps {
    // The tone came back after every switch (a recorder that stays on the sink it began on
    // has it back only when the default returns there).
    bool follows = false;
    // For each switch, the windows without the tone within the reach of it, between the
    // tone's first and last window in the file.
    std::vector<double> lost_ms;
};

// `present` holds one entry per 1 ms window of the file; `switch_ms`, ascending, when each
// switch was made in ms from the file's start (its offset from the file's time, a start
// lead or a late first sample, must stay well within `reach_ms`). A switch's gap is counted
// within `reach_ms` on either side of it; the recording follows when, after every switch,
// the tone is in at least half of the windows of the second half of that reach.
SwitchGaps switch_gaps(const std::vector<bool>& present, std::span<const double> switch_ms,
                       double reach_ms);

}  // namespace bench
