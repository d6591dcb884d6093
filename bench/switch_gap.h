#pragma once

// What a switch of the default output costs a recording of a tone that plays on
// throughout: the stretch of the tone missing from the file around each switch, and
// whether the recording followed the default at all.

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace bench {

// Whether each window holds the tone, from its levels (tests/support/tone_meter.h): at least
// half the tone's steady level, the median of the windows at or above `floor`. All false when
// none reaches `floor`.
std::vector<bool> tone_present(std::span<const double> levels, double floor);

// The blocks of `block` frames of interleaved audio that hold the test tone
// (tests/support/tone_meter.h), by tone_present with a quarter of its amplitude as the floor.
std::size_t tone_blocks(std::span<const float> interleaved, std::uint32_t channels,
                        std::uint32_t rate, std::size_t block);

// Under load: the share of a steady tone's 10 ms blocks a recording lacks. It had
// `wall_blocks` of recording time and holds the tone in `present` blocks; the reference
// recording of the same monitor at the same time held it in `reference_present` of its
// `reference_wall_blocks`, so that blocks the player itself failed to fill count against
// no one. A block the file lacks altogether (dropped rather than filled with silence) is
// missing as much as a silent one. 0 when the reference holds no tone; never below 0.
double missing_share(std::size_t present, double wall_blocks, std::size_t reference_present,
                     double reference_wall_blocks);

struct SwitchGaps {
    // The tone was back after every switch: no stretch without it longer than the reach of a
    // switch between its first and last window, nor after its last (a recorder that stays on
    // the sink it began on has it back only when the default returns there).
    bool follows = false;
    // For each switch, the windows without the tone within the reach of it, between the
    // tone's first and last window in the file, plus an even share of the time the file
    // dropped.
    std::vector<double> lost_ms;
};

// `present` holds one entry per 1 ms window of the file; `switch_ms`, ascending, when each
// switch was made in ms from the file's start (its offset from the file's time, a start
// lead or a late first sample, must stay well within `reach_ms`). A switch's gap is counted
// within `reach_ms` on either side of it. `dropped_ms` is the time the file lacks against
// the wall clock beyond what the same recorder's file lacks without switches: a recorder
// that does not fill a hole with silence drops the time instead, and where it did cannot be
// told from the file, so each switch gets an even share (none when below zero).
SwitchGaps switch_gaps(const std::vector<bool>& present, std::span<const double> switch_ms,
                       double reach_ms, double dropped_ms);

}  // namespace bench
